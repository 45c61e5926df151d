// The text codecs of the plug-in.
//
// HTML entities, URL (percent) encoding, Base64 and quoted-printable rewrite a 4D text in place:
// each reads all of the text's units by its length, builds the new text in one pass and hands it
// to the host once with its length, so that a U+0000 passes them like any other character. They
// serve ZUV_Text2HTML, ZUV_HTML2Text, ZUV_Text2URL, ZUV_URL2Text, ZUV_Text2Base64, ZUV_Base642Text,
// ZUV_Text2QP and ZUV_QP2Text, and the text filters (text/filters.h). uuencode lives in uuencode.h.
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
#include "text/units.h"

// ---- The HTML entity table, built at load --------------------------------------------------

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
                     int64_t limit = kMaxLength);
void htmlDecodeUnits(std::u16string_view in, int mode, std::u16string& out);

// ---- Base64 --------------------------------------------------------------------------------

// What the Base64 decoder does with a character outside its alphabet other than CR, LF and the
// "=" that ends the input: ZUV_Base642Text refuses it (the text becomes empty); the transfer
// filter skips it, as RFC 2045 asks of a decoder, so that a stray space or punctuation mark in a
// body loses none of the bytes around it.
enum class Base64Outsiders { kRefused, kSkipped };

void base64Encode(PA_Unistring& text, bool pad);
void base64Decode(PA_Unistring& text, Base64Outsiders outsiders = Base64Outsiders::kRefused);
void base64Encode(std::u16string_view in, PA_Unistring& target, bool pad);
void base64Decode(std::u16string_view in, PA_Unistring& target,
                  Base64Outsiders outsiders = Base64Outsiders::kRefused);
bool base64EncodeBytes(std::string_view bytes, bool pad, std::u16string& out,
                       int64_t limit = kMaxLength);
// False for a character outside the alphabet that is not CR, LF or the "=" that ends the input,
// unless such characters are skipped.
bool base64DecodeUnits(std::u16string_view in, EncodedChars& out,
                       Base64Outsiders outsiders = Base64Outsiders::kRefused);

// ---- Quoted-printable ----------------------------------------------------------------------

void quotedEncode(PA_Unistring& text, bool textMode);
void quotedDecode(PA_Unistring& text);
void quotedEncode(std::u16string_view in, PA_Unistring& target, bool textMode);
// An empty `in` sets `target` empty.
void quotedDecode(std::u16string_view in, PA_Unistring& target);
bool quotedEncodeBytes(std::string_view bytes, bool textMode, std::u16string& out,
                       int64_t limit = kMaxLength);
void quotedDecodeUnits(std::u16string_view in, std::u16string& out);

// ---- URL encoding --------------------------------------------------------------------------

// Encoder modes 0, 1, 2 (bit 2 ignored); any other mode empties the text. Decoder mode -1 reads
// "=" escapes as quoted-printable does; an even mode turns "+" into a space.
void urlEncode(PA_Unistring& text, int mode);
void urlDecode(PA_Unistring& text, int mode);
void urlEncode(std::u16string_view in, PA_Unistring& target, int mode);
void urlDecode(std::u16string_view in, PA_Unistring& target, int mode);
bool urlEncodeUnits(std::u16string_view in, int mode, std::u16string& out,
                    int64_t limit = kMaxLength);
void urlDecodeUnits(std::u16string_view in, int mode, std::u16string& out);

// ---- Shared helpers ------------------------------------------------------------------------

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
