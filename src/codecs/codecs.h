// The text codecs of the plug-in and the text filters of the transfers.
//
// HTML entities, URL (percent) encoding, Base64 and quoted-printable rewrite a 4D text in place:
// each reads the text's units, builds the new text in one pass and hands it to the host once
// with PA_SetUnistring. They serve ZUV_Text2HTML, ZUV_HTML2Text, ZUV_Text2URL, ZUV_URL2Text,
// ZUV_Text2Base64, ZUV_Base642Text, ZUV_Text2QP and ZUV_QP2Text, and filterText, which applies
// the text bits of a transfer's filter. uuencode lives in uuencode.h.
//
// State: the entity map is filled on the first HTML call and kept, with the constants built at
// load, until the plug-in is unloaded. No lock guards it: the host runs one call at a time and
// the codecs never yield.
//
// The *Units and *Bytes functions are the codecs' pure cores, on UTF-16 units or UTF-8 bytes;
// they make no host call. Sizes are counted in 64 bits: an output that would pass `limit` units
// (2,147,483,647, the most a text holds) fails, and the in-place codecs then leave the empty
// text, as they do when the host refuses a conversion, instead of wrapping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

#include <unicode/unistr.h>

#include "4DPluginAPI.h"
#include "text/conversion.h"

// ---- Constants and tables, built at load ---------------------------------------------------

extern const icu::UnicodeString kCR;
extern const icu::UnicodeString kCRLF;
extern const icu::UnicodeString kQuotedPrintableCR;
extern const icu::UnicodeString kQuotedPrintableCRLF;
extern const icu::UnicodeString kEmptyUnicodeString;
// The Base64 alphabet of RFC 2045: the value of a letter is its position.
extern const std::string kBase64Chars;

// The most units a text holds: sizes are signed 32-bit.
constexpr int64_t kMaxTextUnits = 2147483647;

// One row of the entity table: a UTF-16 unit and the zero-terminated ASCII text that stands for
// it, a named entity ("&eacute;") or a plain replacement ("(TM)"). The table ends with unit 0.
struct EntityRow {
  uint16_t unit;
  const char* text;
};
extern const EntityRow sEntities[];

struct IdentityHash {
  size_t operator()(uint16_t unit) const { return unit; }
};
using EntityMap = std::unordered_map<uint16_t, icu::UnicodeString, IdentityHash>;
// sEntities as a map, filled by fillEntityMap on first use; empty until then.
extern EntityMap sEntityMap;

// ---- Text filters --------------------------------------------------------------------------

constexpr int kFilterCRToCRLF = 0x4;
constexpr int kFilterCRLFToCR = 0x8;
constexpr int kFilterHTMLEncodeAll = 0x10;
constexpr int kFilterHTMLDecode = 0x20;
constexpr int kFilterHTMLEncodeKeepMarkup = 0x40;
constexpr int kFilterBase64Encode = 0x80;
constexpr int kFilterBase64Decode = 0x100;
constexpr int kFilterQPEncode = 0x200;
constexpr int kFilterQPDecode = 0x400;

// Applies the text bits of filter to text in place, in this order: line ends, HTML encoding,
// HTML decoding, Base64 encoding (unpadded), Base64 decoding (which skips characters outside
// its alphabet), quoted-printable. Bits that contradict each other (0x4 with 0x8, 0x10 or 0x40
// with 0x20, 0x80 with 0x100, 0x200 with 0x400) do nothing; the character-set bits are ignored.
void filterText(PA_Unistring& text, int filter);

// Replaces every occurrence of what by with, left to right, occurrences not overlapping; what is
// inserted is not searched again. No host call when what does not occur.
void findAndReplace(PA_Unistring& text, const icu::UnicodeString& what,
                    const icu::UnicodeString& with);
bool replaceAllUnits(std::u16string_view in, std::u16string_view what, std::u16string_view with,
                     std::u16string& out, int64_t limit = kMaxTextUnits);

// ---- HTML entities -------------------------------------------------------------------------

// Encoding modes: 0 every character of the table, 1 (and any other value) keeps "<", ">" and
// the double quote, 2 keeps "&" too. Decoding modes: 0 (and any other value) everything,
// 1 leaves "&amp;", "&lt;", "&gt;" and "&quot;", 2 decodes everything and removes tags.
void fillEntityMap();
void htmlEncode(PA_Unistring& text, int mode);
void htmlDecode(PA_Unistring& text, int mode);
// The same codecs reading `in` and setting `target`, which may hold `in`; an empty `in` leaves
// `target` alone. So do the forms below.
void htmlEncode(std::u16string_view in, PA_Unistring& target, int mode);
void htmlDecode(std::u16string_view in, PA_Unistring& target, int mode);
bool htmlEncodeUnits(std::u16string_view in, int mode, std::u16string& out,
                     int64_t limit = kMaxTextUnits);
void htmlDecodeUnits(std::u16string_view in, int mode, std::u16string& out);

// ---- Base64 and quoted-printable -----------------------------------------------------------

// What the Base64 decoder does with a character outside its alphabet other than CR, LF and the
// "=" that ends the input: ZUV_Base642Text refuses it (the text becomes empty); the transfer
// filter skips it, as RFC 2045 asks of a decoder, so that a stray space or punctuation mark in a
// body loses none of the bytes around it.
enum class Base64Outsiders { kRefused, kSkipped };

void base64Encode(PA_Unistring& text, bool pad);
void base64Decode(PA_Unistring& text, Base64Outsiders outsiders = Base64Outsiders::kRefused);
void quotedEncode(PA_Unistring& text, bool textMode);
void quotedDecode(PA_Unistring& text);
void base64Encode(std::u16string_view in, PA_Unistring& target, bool pad);
void base64Decode(std::u16string_view in, PA_Unistring& target,
                  Base64Outsiders outsiders = Base64Outsiders::kRefused);
void quotedEncode(std::u16string_view in, PA_Unistring& target, bool textMode);
// An empty `in` sets `target` empty.
void quotedDecode(std::u16string_view in, PA_Unistring& target);
bool base64EncodeBytes(std::string_view bytes, bool pad, std::u16string& out,
                       int64_t limit = kMaxTextUnits);
// False for a character outside the alphabet that is not CR, LF or the "=" that ends the input,
// unless such characters are skipped.
bool base64DecodeUnits(std::u16string_view in, EncodedChars& out,
                       Base64Outsiders outsiders = Base64Outsiders::kRefused);
bool quotedEncodeBytes(std::string_view bytes, bool textMode, std::u16string& out,
                       int64_t limit = kMaxTextUnits);
void quotedDecodeUnits(std::u16string_view in, std::u16string& out);

// ---- URL encoding --------------------------------------------------------------------------

// Encoder modes 0, 1, 2 (bit 2 ignored); any other mode empties the text. Decoder mode -1 reads
// "=" escapes as quoted-printable does; an even mode turns "+" into a space.
void urlEncode(PA_Unistring& text, int mode);
void urlDecode(PA_Unistring& text, int mode);
void urlEncode(std::u16string_view in, PA_Unistring& target, int mode);
void urlDecode(std::u16string_view in, PA_Unistring& target, int mode);
bool urlEncodeUnits(std::u16string_view in, int mode, std::u16string& out,
                    int64_t limit = kMaxTextUnits);
void urlDecodeUnits(std::u16string_view in, int mode, std::u16string& out);

// ---- Shared helpers ------------------------------------------------------------------------

// The host's text record of a command's text result.
PA_Unistring* resultText(PluginBlock* block);
// The units of a host text, as a view (empty for a null or empty text).
std::u16string_view unitsOf(const PA_Unistring& text);
std::u16string_view unitsOf(const icu::UnicodeString& text);
// The units up to the first zero unit, or all of them: what the host hands over of a text.
std::u16string_view unitsBeforeZero(std::u16string_view units);
// Hands units to the host as the text's new contents; the host stops at the first zero unit.
void setUnits(PA_Unistring& text, const std::u16string& units);
// Hands all the units to the host, zero units included: for texts that come back as they were
// given (a queued text, a decrypted text, a rotated text), where a U+0000 is part of the data.
void setAllUnits(PA_Unistring& text, const std::u16string& units);
// Makes the text empty through the host.
void setEmpty(PA_Unistring& text);

// Stands in for the output text of an encoder and only counts what would be written to it, so
// that the encoder measures its output before it allocates: a text whose encoded form would pass
// the limit then fails at the cost of one reading, instead of first building gigabytes.
struct UnitCount {
  int64_t size = 0;
  void push_back(char16_t) { ++size; }
  void append(const char16_t*, size_t n) { size += static_cast<int64_t>(n); }
  void append(std::u16string_view units) { size += static_cast<int64_t>(units.size()); }
};

// Runs encode(output) twice, first on a UnitCount: fails when the output would pass limit units,
// else builds it in out, allocated once at its exact size.
template <typename Encode>
bool encodeMeasured(std::u16string& out, int64_t limit, Encode encode) {
  UnitCount count;
  encode(count);
  if (count.size > limit) return false;
  out.reserve(static_cast<size_t>(count.size));
  encode(out);
  return true;
}
