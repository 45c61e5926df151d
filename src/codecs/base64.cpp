// Base64 (RFC 2045) between a 4D text's UTF-8 bytes and their encoded form, for ZUV_Text2Base64,
// ZUV_Base642Text and the text filters.
//
// Where the program's format differs from the RFC, callers rely on it and it stays: Base64 is
// written on one line and padded only on request.

#include <array>
#include <exception>
#include <string_view>

#if defined(__x86_64__)
#include <tmmintrin.h>
#endif

#include "codecs/codecs.h"
#include "codecs/text_bytes.h"
#include "text/conversion.h"

namespace {

// The Base64 alphabet of RFC 2045: the value of a letter is its position.
constexpr std::string_view kBase64Chars =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// What a byte is to the Base64 decoder: a letter's value, or one of these.
constexpr int8_t kInvalid = -1;
constexpr int8_t kLineEnd = -2;
constexpr int8_t kPad = -3;

std::array<int8_t, 256> makeBase64Values() {
  std::array<int8_t, 256> values;
  values.fill(kInvalid);
  for (size_t i = 0; i < kBase64Chars.size(); ++i) {
    values[static_cast<unsigned char>(kBase64Chars[i])] = static_cast<int8_t>(i);
  }
  values['\r'] = kLineEnd;
  values['\n'] = kLineEnd;
  values['='] = kPad;
  return values;
}

const std::array<int8_t, 256>& base64Values() {
  static const std::array<int8_t, 256> values = makeBase64Values();
  return values;
}

// Hands bytes read as UTF-8 to the host as the text's new contents, every unit of them: a zero
// byte decoded is a U+0000 of the text. The converted units are zero-terminated, as the host
// wants counted units to be.
void setUTF8(PA_Unistring& text, std::string_view bytes) {
  DecodedChars units = convertToUnicode(bytes.data(), static_cast<int>(bytes.size()), kCharSetUTF8);
  PA_SetUnistringUnits(&text, units.chars, units.length);
}

int64_t base64Length(int64_t bytes, bool pad) {
  int64_t rest = bytes % 3;
  int64_t last = rest == 0 ? 0 : (pad ? 4 : rest + 1);
  return bytes / 3 * 4 + last;
}

}  // namespace

bool base64EncodeBytes(std::string_view bytes, bool pad, std::u16string& out, int64_t limit) {
  int64_t length = base64Length(static_cast<int64_t>(bytes.size()), pad);
  if (length > limit) return false;
  out.resize(static_cast<size_t>(length));
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  const char* letters = kBase64Chars.data();
  char16_t* to = out.data();
  size_t n = bytes.size();
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t group = uint32_t{in[i]} << 16 | uint32_t{in[i + 1]} << 8 | in[i + 2];
    to[0] = static_cast<char16_t>(letters[group >> 18]);
    to[1] = static_cast<char16_t>(letters[(group >> 12) & 63]);
    to[2] = static_cast<char16_t>(letters[(group >> 6) & 63]);
    to[3] = static_cast<char16_t>(letters[group & 63]);
    to += 4;
  }
  if (i == n) return true;
  uint32_t group = uint32_t{in[i]} << 16 | (i + 1 < n ? uint32_t{in[i + 1]} << 8 : 0);
  *to++ = static_cast<char16_t>(letters[group >> 18]);
  *to++ = static_cast<char16_t>(letters[(group >> 12) & 63]);
  if (i + 1 < n) *to++ = static_cast<char16_t>(letters[(group >> 6) & 63]);
  if (pad) {
    if (i + 1 >= n) *to++ = u'=';
    *to++ = u'=';
  }
  return true;
}

namespace {

// Each letter's value already shifted to its place in a group of four, one table a place; every
// other byte has bit 24 set, which no group of four letters reaches.
using PlacedValues = std::array<std::array<uint32_t, 256>, 4>;
constexpr uint32_t kNotALetter = 0x1000000;

PlacedValues makePlacedValues() {
  const std::array<int8_t, 256>& values = base64Values();
  PlacedValues placed;
  for (int place = 0; place < 4; ++place) {
    for (int byte = 0; byte < 256; ++byte) {
      placed[place][byte] =
          values[byte] >= 0 ? static_cast<uint32_t>(values[byte]) << (18 - 6 * place) : kNotALetter;
    }
  }
  return placed;
}

#if defined(__x86_64__)

// Decodes blocks of sixteen letters from in[i] on, sixteen units at a time, and stops before the
// first block that holds anything else. Each block is narrowed to bytes with saturation, so a
// unit above 255 becomes 255 or 0, neither a letter. The bytes are classified by their two
// nibbles: lo & hi is non-zero for every byte outside the alphabet; for a letter, roll is what
// turns it into its value ('/' is the one letter that shares its high nibble with non-letters,
// hence its own test). Each block stores 16 bytes of which 12 count: the caller leaves 8 units
// beyond the last block, so the store stays inside the buffer.
__attribute__((target("ssse3"))) size_t decodeBlocksSSSE3(const char16_t* in, size_t i, size_t n,
                                                          char*& to) {
  const __m128i lutLo = _mm_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                      0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m128i lutHi = _mm_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                                      0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  const __m128i lutRoll = _mm_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m128i slash = _mm_set1_epi8(0x2F);
  const __m128i lowNibble = _mm_set1_epi8(0x0F);
  const __m128i zero = _mm_setzero_si128();
  const __m128i gather = _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  for (; i + 24 <= n; i += 16) {
    __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i + 8));
    __m128i bytes = _mm_packus_epi16(first, second);
    __m128i hiNibbles = _mm_and_si128(_mm_srli_epi32(bytes, 4), lowNibble);
    __m128i loNibbles = _mm_and_si128(bytes, lowNibble);
    __m128i lo = _mm_shuffle_epi8(lutLo, loNibbles);
    __m128i hi = _mm_shuffle_epi8(lutHi, hiNibbles);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(lo, hi), zero)) != 0xFFFF) break;
    __m128i isSlash = _mm_cmpeq_epi8(bytes, slash);
    __m128i roll = _mm_shuffle_epi8(lutRoll, _mm_add_epi8(isSlash, hiNibbles));
    __m128i values = _mm_add_epi8(bytes, roll);
    // Four 6-bit values to three bytes: pairs into 12 bits, then pairs of those into 24.
    __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
    __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(groups, gather));
    to += 12;
  }
  return i;
}

bool hasSSSE3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}

#endif

// Decodes whole groups of four letters from units[i] on, the common case, without the state of
// a group in progress; stops before the first group that holds anything else (a line end, the
// pad, an invalid unit) or is cut by the end. Answers where it stopped.
size_t decodeWholeGroups(std::u16string_view units, size_t i, char*& to) {
  static const PlacedValues placed = makePlacedValues();
  const char16_t* in = units.data();
#if defined(__x86_64__)
  if (hasSSSE3()) i = decodeBlocksSSSE3(in, i, units.size(), to);
#endif
  for (; i + 4 <= units.size(); i += 4) {
    if ((in[i] | in[i + 1] | in[i + 2] | in[i + 3]) >= 256) break;
    uint32_t group =
        placed[0][in[i]] | placed[1][in[i + 1]] | placed[2][in[i + 2]] | placed[3][in[i + 3]];
    if (group >= kNotALetter) break;
    to[0] = static_cast<char>(group >> 16);
    to[1] = static_cast<char>(group >> 8);
    to[2] = static_cast<char>(group);
    to += 3;
  }
  return i;
}

}  // namespace

// The letters are ASCII, so the text's units are read as they stand: a unit of 128 or more is
// outside the alphabet as its UTF-8 bytes would be.
bool base64DecodeUnits(std::u16string_view in, EncodedChars& out, Base64Outsiders outsiders) {
  const std::array<int8_t, 256>& values = base64Values();
  // Left uninitialised: every byte the answer counts is written first.
  out.allocBytes(static_cast<int64_t>(in.size() / 4 * 3 + 3));
  out.length = 0;
  char* to = out.chars;
  uint32_t group = 0;
  int letters = 0;
  for (size_t i = 0; i < in.size();) {
    if (letters == 0) {
      i = decodeWholeGroups(in, i, to);
      if (i == in.size()) break;
    }
    char16_t unit = in[i++];
    int value = unit < 256 ? values[unit] : kInvalid;
    if (value >= 0) {
      group = group << 6 | static_cast<uint32_t>(value);
      if (++letters < 4) continue;
      *to++ = static_cast<char>(group >> 16);
      *to++ = static_cast<char>(group >> 8);
      *to++ = static_cast<char>(group);
      group = 0;
      letters = 0;
    } else if (value == kPad) {
      break;
    } else if (value == kInvalid && outsiders == Base64Outsiders::kRefused) {
      return false;
    }
  }
  // A last group of two or three letters gives one or two bytes; a single letter gives none.
  if (letters == 2) *to++ = static_cast<char>(group >> 4);
  if (letters == 3) {
    *to++ = static_cast<char>(group >> 10);
    *to++ = static_cast<char>(group >> 2);
  }
  out.length = static_cast<int32_t>(to - out.chars);
  return true;
}

void base64Encode(std::u16string_view in, PA_Unistring& target, bool pad) {
  if (in.empty()) return;
  try {
    EncodedChars bytes = utf8Of(in);
    std::u16string out;
    if (base64EncodeBytes(viewOf(bytes), pad, out)) return setAllUnits(target, out);
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

void base64Decode(std::u16string_view in, PA_Unistring& target, Base64Outsiders outsiders) {
  if (in.empty()) return;
  try {
    EncodedChars bytes;
    if (base64DecodeUnits(in, bytes, outsiders)) return setUTF8(target, viewOf(bytes));
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

void base64Encode(PA_Unistring& text, bool pad) { base64Encode(unitsOf(text), text, pad); }

void base64Decode(PA_Unistring& text, Base64Outsiders outsiders) {
  base64Decode(unitsOf(text), text, outsiders);
}
