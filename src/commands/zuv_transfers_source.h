// The network bytes behind what a BLOB receive converted last, kept so that what the receive
// took beyond its delimiter goes back into the stream as the peer sent it, before any character
// set conversion or text filter: the next receive then reads the peer's own bytes under its own
// filter, instead of bytes converted once already (ISO-8859-1 read as UTF-8, a CR made CR LF
// twice).
//
// The delimiter is found in the bytes produced, so the window finds the network bytes that
// produced them: it tries its bytes' conversion on copies of the conversion as it stood where
// they begin. Most conversions give the bytes of a delimiter with the network bytes that make
// it; the receive keeps those and gives back every byte after them. A filter that must look at
// what follows before it writes (a CR that may begin a CR LF, an HTML entity, a byte that a
// quoted-printable line ends with) has taken some bytes beyond the delimiter only to look at
// them: they go back too, when the filter, started afresh on them, gives exactly what followed
// the delimiter. A delimiter inside what one group of bytes makes (a Base64 group, an entity
// that an encoding writes) cannot be split: the group stays with the receive.
//
// One SourceWindow lives for one receive; its conversions make host calls, so it runs in the
// receive's 4D process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "commands/zuv_transfers_common.h"

class SourceWindow {
 public:
  // `start`: the receive's conversion before its first byte; `base`: the BLOB's size then.
  SourceWindow(const TransferConversion& start, int64_t base);

  // Converts a pass's chunk through the receive's conversion into `produced`, and takes the
  // chunk's bytes in. `sizeBefore` is the BLOB's size before the chunk's bytes are added.
  void convert(TransferConversion& conversion, std::string_view chunk, int64_t sizeBefore,
               std::string& produced);
  // After a pass whose bytes held no delimiter: lets go of bytes that lie too far back to matter
  // for a delimiter that ends in a later pass's bytes.
  void advance();
  // Forgets the last chunk taken in, which went back to the stream.
  void forgetLast(size_t n);

  // The BLOB's size where the bytes of the window begin to produce theirs.
  int64_t base() const { return base_; }
  // Every byte taken in since base().
  std::string_view bytes() const { return bytes_; }
  // The bytes of the window that follow the network bytes of a delimiter that ends `end` bytes
  // after base(); `produced` holds the BLOB's bytes from base() on.
  std::string_view beyond(int64_t end, std::string_view produced) const;

 private:
  size_t splitPoint(int64_t end, std::string_view produced) const;
  void rebase(size_t from);

  TransferConversion state_;        // the conversion where bytes_ begin
  const TransferConversion fresh_;  // one that has seen nothing, as the next receive's
  std::string bytes_;
  int64_t base_;
  // Where the window moves to after this pass: the conversion some way into the pass's chunk.
  std::optional<TransferConversion> next_;
  size_t nextFrom_ = 0;
  int64_t nextBase_ = 0;
};
