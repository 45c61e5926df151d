// What every transfer loop shares: the character-set pair of a file or BLOB filter, the
// conversion of one chunk and of a whole transfer, the receive of chunks that end between
// characters, the cut that keeps a UTF-8 chunk from ending inside a character,
// deadlines made from time-outs, where each loop gives time to other 4D processes, and the
// delimiter search of the receives. The text, file, BLOB and picture
// loops (zuv_transfers_*.cpp) use them, and so does the status wait of ZUV_TCPWaitStatus
// (zuv_streams.cpp).
//
// Nothing here keeps state beyond one command: a DelimiterSearch or a Deadline lives for one
// receive, a TransferConversion for one transfer.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "4DPluginAPI.h"
#include "network/tcp.h"
#include "text/conversion.h"
#include "text/filter_stream.h"

// The codes the transfer commands share.
constexpr int32_t kNoCharset = -7;  // a filter that names no usable character set
// A delimiter (or a BLOB replacement) that its character set cannot hold exactly: the host would
// make '?' of a character it lacks, and the bytes would match, or write, something else.
constexpr int32_t kInexactText = -8;

// What a receive answers for its delimiter's way back: 0 when exact, kInexactText when not, -1
// when the host refused it, as for a delimiter that the host could not convert.
inline int32_t delimiterExactnessCode(Exactness exactness) {
  if (exactness == Exactness::kExact) return 0;
  return exactness == Exactness::kInexact ? kInexactText : -1;
}

// Files and BLOBs move in chunks of this size, each converted by itself; a raw file send uses the
// larger chunk when the caller names none, since nothing is converted.
constexpr int32_t kTransferChunk = 32768;
constexpr int32_t kRawFileChunk = 131072;

// ---- Character-set pairs and chunks ------------------------------------------------------------

// Fills the pair of a file or BLOB transfer: `source` for the bytes taken in, `target` for the
// bytes produced. Several bits of one side are no error: 1005 wins over 7, 7 over 100. One side
// without a bit takes the other's character set. Leaves only the text bits in `filter`.
void getFilterCharsets(int& filter, PA_4DCharSet& source, PA_4DCharSet& target);

// How many bytes from the start of a UTF-8 chunk (length at least 1) may go on now: its last
// character, when it is a multi-byte one, complete or not, waits for the next chunk, unless the
// chunk is nothing but that character.
int getUTF8SendSize(const char* buffer, int length);

// The bytes at the end of a UTF-8 run that begin a character the run ends inside: a lead byte
// and the continuation bytes that follow it so far, 0 when the last character is whole. Bytes
// that could never become a character (a stray continuation, a lead that no byte may follow)
// are no beginning: 0.
int64_t incompleteUTF8Tail(const char* bytes, int64_t length);

// A file or BLOB transfer's character sets and text bits, as getFilterCharsets leaves them.
struct ChunkConversion {
  PA_4DCharSet source = 0;
  PA_4DCharSet target = 0;
  int textBits = 0;
  // Raw: no text bits and equal character sets; its bytes pass as they are.
  bool raw() const { return textBits == 0 && source == target; }
  // Text bits without any character set: nothing could be produced, so the loops answer
  // kNoCharset before they move a byte.
  bool producesNothing() const { return textBits != 0 && source == 0 && target == 0; }
};

// The bytes to produce from n source bytes of one chunk of a conversion without text bits (those
// are TransferConversion's): a copy when raw, else converted byte to byte by the host. What the
// host's conversion gives is answered unchecked.
EncodedChars convertChunk(const char* bytes, int n, const ChunkConversion& conversion);

// The conversion of a whole transfer, chunk after chunk: raw bytes pass as they are, character
// sets are converted chunk by chunk, and the text filters keep their state across the chunks
// (FilterStream), so that the bytes produced are those the filters give for the whole. The
// encodings encode the bytes in the target character set and the decodings give bytes of it:
// Base64 between ISO-8859-1 on both sides sends a binary file's own bytes, and decodes a binary
// attachment into its own.
class TransferConversion {
 public:
  explicit TransferConversion(int filter) {
    getFilterCharsets(filter, conversion_.source, conversion_.target);
    conversion_.textBits = filter;
    if (conversion_.textBits != 0) {
      filter_ = std::make_unique<FilterStream>(filter, conversion_.target);
    }
  }
  // A copy goes on from the same point as the original, each by itself.
  TransferConversion(const TransferConversion& other)
      : conversion_(other.conversion_),
        filter_(other.filter_ ? std::make_unique<FilterStream>(*other.filter_) : nullptr) {}
  TransferConversion& operator=(const TransferConversion& other) {
    if (this != &other) *this = TransferConversion(other);
    return *this;
  }
  TransferConversion(TransferConversion&&) noexcept = default;
  TransferConversion& operator=(TransferConversion&&) noexcept = default;
  ~TransferConversion() = default;

  const ChunkConversion& conversion() const { return conversion_; }
  bool raw() const { return conversion_.raw(); }
  bool cutsUTF8() const { return conversion_.source == kCharSetUTF8; }

  // The bytes to produce for n source bytes.
  EncodedChars next(const char* bytes, int n) {
    if (!filter_) return convertChunk(bytes, n, conversion_);
    DecodedChars units = convertToUnicode(bytes, n, conversion_.source);
    std::u16string_view view;
    if (units.chars != nullptr && units.length > 0) {
      view = {reinterpret_cast<const char16_t*>(units.chars), static_cast<size_t>(units.length)};
    }
    return produce(filter_->push(view));
  }
  // The bytes that the filters still held back at the transfer's end.
  EncodedChars finish() {
    if (!filter_) return EncodedChars();
    return produce(filter_->finish());
  }

 private:
  EncodedChars produce(const std::u16string& units) {
    if (units.empty()) return EncodedChars();
    return convertToChars(reinterpret_cast<const unsigned short*>(units.data()),
                          static_cast<int>(units.size()), conversion_.target);
  }

  ChunkConversion conversion_;
  std::unique_ptr<FilterStream> filter_;
};

// Sends converted bytes (none for an empty conversion) on the stream: tcp::send's answer.
int32_t sendConverted(tcp::TCPGlob* stream, const EncodedChars& bytes, bool flushFirst);

// ---- Receiving chunks ---------------------------------------------------------------------------

// The passes of a receive take the stream's next bytes and, when they are UTF-8, hold back the
// last character, complete or not, until the next pass: a chunk never ends inside a character,
// and a character cut at a pass's end is converted whole with the bytes that follow it. The
// held-back tail stays with the receive rather than going back into the stream, since a later
// pass would be given it alone, before what the socket holds, and would have to convert the
// beginning of a character by itself. At the receive's end the tail goes back to the front of a
// stream that is kept and still established; otherwise it is the transfer's last chunk, so that
// a released or ended stream takes none of the bytes along. A character that the receive's
// limit cuts is not taken at all: it goes back whole to the front of the stream, for the next
// receive, as ZUV_TCPReceive leaves it.
class ChunkReceiver {
 public:
  ChunkReceiver(tcp::TCPGlob* stream, bool cutsUTF8) : stream_(stream), cutsUTF8_(cutsUTF8) {}
  // Takes in at most `max` bytes, the held-back tail included, and keeps what may be converted
  // now in chunk(). Answers what tcp::receive answered (-1 for a failed receive).
  int32_t receive(int32_t max);

  std::string_view chunk() const { return view_; }
  int32_t size() const { return static_cast<int32_t>(view_.size()); }
  bool holdsTail() const { return !tail_.empty(); }
  // True once the limit fell inside the held-back character: the receive has all it may take,
  // and the tail goes back to the stream whatever becomes of it.
  bool cutByLimit() const { return cutByLimit_; }
  // Makes the held-back tail the chunk, at the receive's end.
  void takeTail() {
    clearChunk();
    chunk_.swap(tail_);
    view_ = chunk_;
  }
  // Gives the held-back tail back to the front of the stream.
  void returnTail() {
    putBack(tail_);
    tail_.clear();
  }
  // Gives the chunk, then the tail behind it, back to the front of the stream, for a receive
  // that has no room for them.
  void giveBack() {
    returnTail();
    putBack(view_);
    clearChunk();
  }

 private:
  void putBack(std::string_view bytes) {
    if (!bytes.empty()) {
      tcp::unreceive(stream_, bytes.data(), static_cast<int32_t>(bytes.size()), true);
    }
  }
  void clearChunk() {
    view_ = {};
    locked_.reset();
    chunk_.clear();
  }

  tcp::TCPGlob* stream_;
  bool cutsUTF8_;
  bool cutByLimit_ = false;
  unique_handle scratch_;
  // Held while the chunk is read in the scratch handle itself; released before every receive.
  std::unique_ptr<unique_handle_lock> locked_;
  std::string chunk_;
  std::string_view view_;
  std::string tail_;
};

// True when the held-back tail can go back into the stream at a receive's end: the stream stays
// and can still be read.
bool streamTakesTailBack(tcp::TCPGlob* stream, bool keepStream);

// ---- Deadlines
// -----------------------------------------------------------------------------------

// A time-out in ticks (1/60 s) in milliseconds: ticks × 50 / 3, in 64 bits, truncated, so that
// 1 tick is 16 ms, 3 ticks exactly 50 ms and no time-out wraps.
int64_t ticksToMilliseconds(int32_t ticks);

// A point on the network layer's steady clock after which a loop stops; none never passes.
class Deadline {
 public:
  static Deadline none() { return Deadline(); }
  static Deadline afterTicks(int32_t ticks);
  static Deadline afterSeconds(int32_t seconds);
  bool exists() const { return exists_; }
  // True once the clock is beyond the deadline.
  bool passed() const;

 private:
  Deadline() = default;
  explicit Deadline(std::chrono::steady_clock::time_point at) : exists_(true), at_(at) {}
  bool exists_ = false;
  std::chrono::steady_clock::time_point at_{};
};

// ---- Where the loops yield ----------------------------------------------------------------------

// How a transfer loop gives time to the other 4D processes, holding its stream's busy counter
// across every yield.
enum class YieldPoint {
  kNone,           // the loop yields only inside the network layer's sends
  kBetweenPasses,  // PA_Yield before each further pass, or after each chunk sent
  kAfterPoll,      // delay(kIdleTicks) after each status poll
};

struct LoopPacing {
  YieldPoint yield;
  // Ticks to sleep after a pass that received nothing (0: none), so that a loop waiting for a
  // slow peer does not spin.
  int32_t idleTicks;
};

// How long a pass that brought nothing waits for bytes before the loop yields or idles, in
// milliseconds: short enough not to hold the host, long enough that a waiting receive does not
// spin a core.
constexpr int kEmptyPassWait = 1;

// A sixth of a second: the status wait's poll interval and the receive loops' pause.
constexpr int32_t kIdleTicks = 6;

constexpr LoopPacing kTextReceivePacing{YieldPoint::kBetweenPasses, 0};
constexpr LoopPacing kStatusWaitPacing{YieldPoint::kAfterPoll, 0};
constexpr LoopPacing kFileSendPacing{YieldPoint::kBetweenPasses, 0};
constexpr LoopPacing kFileReceivePacing{YieldPoint::kBetweenPasses, kIdleTicks};
constexpr LoopPacing kPictureSendPacing{YieldPoint::kNone, 0};
constexpr LoopPacing kBlobSendPacing{YieldPoint::kBetweenPasses, 0};
constexpr LoopPacing kBlobReceivePacing{YieldPoint::kBetweenPasses, kIdleTicks};

// Gives time to other 4D processes at a loop's yield point.
void yieldAt(const LoopPacing& pacing);
// After a pass that received nothing: waits at most a millisecond for bytes, and sleeps the
// loop's idle ticks only when none came, so that a sender a moment behind costs no whole pause.
void idleAfterEmptyPass(tcp::TCPGlob* stream, const LoopPacing& pacing);

// ---- Delimiter search ---------------------------------------------------------------------------

// Finds a delimiter in a receive buffer that only grows: the first occurrence at or after the
// start in every byte received, zero bytes included, since texts keep their U+0000 as BLOBs keep
// their zero bytes. The search stays inside the buffer, and it remembers how far it got, so that
// a receive that searches its whole buffer on every pass still reads each byte about once.
//
// An empty delimiter matches nothing.
class DelimiterSearch {
 public:
  explicit DelimiterSearch(std::string_view delimiter) : delimiter_(delimiter) {}
  bool matchesSomething() const { return !delimiter_.empty(); }
  int64_t length() const { return static_cast<int64_t>(delimiter_.size()); }
  // The offset of the match in bytes[0, size), or -1. The bytes below an earlier call's size must
  // not have changed since.
  int64_t find(const char* bytes, int64_t size, int64_t start);

 private:
  std::string delimiter_;
  int64_t checkedFrom_ = 0;  // no match starts in [checkedFrom_, checkedTo_)
  int64_t checkedTo_ = 0;
};
