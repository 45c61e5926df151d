// The text filters of a file or BLOB transfer applied chunk after chunk, so that what the chunks
// give together is exactly what filterUnits gives for the whole: each filter holds back what it
// cannot decide yet (a CR that may start a CR LF, the bytes of an unfinished Base64 group, an
// escape or entity cut in two, the quoted-printable line's column) until the next chunk or the
// transfer's end.
//
// The filters run in filterUnits's order, each on what the one before it gave: line ends, HTML
// encoding or decoding, Base64 encoding or decoding, quoted-printable decoding or encoding. Each
// applies the codec's own core to the part it can decide. A file or BLOB is binary data: a zero
// unit passes every filter as any other control character does, and nothing after it is lost
// (unlike a host text, which would end there). The Base64 decoding skips characters outside its
// alphabet, as filterUnits does. The encodings (Base64, quoted-printable) encode the bytes of the
// transfer's target character set, and the decodings give bytes of it, so that with a
// single-byte set on both sides the decoded form is the file or BLOB itself, and a body decodes
// to its own bytes: an escape "=00" is a zero byte, "=E9" the byte E9. Under UTF-8 the decodings
// read their bytes as filterUnits does. One FilterStream lives for one transfer; it makes host
// calls (the character-set conversions), so it runs in a 4D process's turn.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "4DPluginAPI.h"

class FilterStage;

// How many of the bytes end with a whole UTF-8 character: 0 for the beginning of one alone.
size_t wholeUTF8Length(std::string_view bytes);

class FilterStream {
 public:
  // The text bits of the filter (0x4 to 0x400), as filterUnits reads them; `charset` is the
  // character set whose bytes the encodings encode and the decodings give (filterUnits's own is
  // UTF-8).
  explicit FilterStream(int filter, PA_4DCharSet charset = kCharSetUTF8);
  ~FilterStream();
  // A copy goes on from the same point as the original, each by itself: a receive tries out
  // where its delimiter's bytes end on copies, and its own filters go on unchanged.
  FilterStream(const FilterStream& other);
  FilterStream& operator=(const FilterStream&) = delete;

  // The units the filters give for the next chunk's units.
  std::u16string push(std::u16string_view units);
  // What the filters still held, at the transfer's end. Nothing comes in after it.
  std::u16string finish();

 private:
  std::u16string run(std::u16string_view units, bool last);

  std::vector<std::unique_ptr<FilterStage>> stages_;
  // High surrogates whose low halves come with the next chunk: of the units given, and of the
  // units given out, which the character-set conversion must see whole.
  std::u16string inputHeld_;
  std::u16string held_;
};
