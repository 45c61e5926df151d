// Decoding goes to UTF-16 through ICU's converters (malformed UTF-8 becomes U+FFFD per maximal
// subpart); encoding then walks the code points one by one so that a character is written
// whole or not at all. The single-byte sets map all 256 bytes one to one, so byte round trips
// through them are lossless; a character they cannot hold becomes '?'.
#include "charsets.h"

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <unicode/ucnv.h>
#include <unicode/utf16.h>

namespace host::charsets {
namespace {

struct SingleByteTable {
  std::array<char16_t, 256> decode{};
  std::unordered_map<char16_t, unsigned char> encode;
};

UConverter* openConverter(std::initializer_list<const char*> names) {
  for (const char* name : names) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(name, &status);
    if (U_SUCCESS(status)) return converter;
  }
  throw std::runtime_error("ICU has no converter for a host character set");
}

SingleByteTable buildTable(std::initializer_list<const char*> names) {
  SingleByteTable table;
  UConverter* converter = openConverter(names);
  for (int byte = 0; byte < 256; ++byte) {
    char in = static_cast<char>(byte);
    UChar out[4] = {};
    UErrorCode status = U_ZERO_ERROR;
    ucnv_reset(converter);
    int32_t n = ucnv_toUChars(converter, out, 4, &in, 1, &status);
    char16_t unit = (U_SUCCESS(status) && n == 1) ? static_cast<char16_t>(out[0]) : u'\uFFFD';
    table.decode[byte] = unit;
    if (unit != u'\uFFFD') table.encode.emplace(unit, static_cast<unsigned char>(byte));
  }
  ucnv_close(converter);
  return table;
}

const SingleByteTable& tableFor(int32_t charset) {
  static const SingleByteTable macRoman =
      buildTable({"macos-0_2-10.2", "x-mac-roman", "macintosh"});
  static const SingleByteTable latin1 = buildTable({"ISO-8859-1"});
  return charset == kMacRoman ? macRoman : latin1;
}

std::u16string decodeUTF8(const unsigned char* source, size_t size) {
  std::u16string units;
  if (size == 0) return units;
  UConverter* converter = openConverter({"UTF-8"});
  units.resize(size + 1);
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = ucnv_toUChars(
      converter, reinterpret_cast<UChar*>(units.data()), static_cast<int32_t>(units.size()),
      reinterpret_cast<const char*>(source), static_cast<int32_t>(size), &status);
  ucnv_close(converter);
  units.resize(U_SUCCESS(status) || status == U_STRING_NOT_TERMINATED_WARNING ? n : 0);
  return units;
}

std::u16string decode(const unsigned char* source, size_t size, int32_t from, Converted& result) {
  if (from == kUTF16) {
    result.oddUTF16 = size % 2 != 0;
    std::u16string units(size / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), source, units.size() * 2);
    return units;
  }
  if (from == kUTF8) return decodeUTF8(source, size);
  const SingleByteTable& table = tableFor(from);
  std::u16string units(size, u'\0');
  for (size_t i = 0; i < size; ++i) units[i] = table.decode[source[i]];
  return units;
}

// Encodes one code point (-1: an unpaired surrogate) into out; answers the byte count.
size_t encodeOne(int32_t codePoint, int32_t to, unsigned char* out) {
  if (to == kMacRoman || to == kLatin1) {
    const SingleByteTable& table = tableFor(to);
    auto found = codePoint >= 0 && codePoint <= 0xFFFF
                     ? table.encode.find(static_cast<char16_t>(codePoint))
                     : table.encode.end();
    out[0] = found == table.encode.end() ? '?' : found->second;
    return 1;
  }
  if (codePoint < 0) codePoint = 0xFFFD;
  if (to == kUTF16) {
    char16_t units[2];
    size_t n = 0;
    if (codePoint > 0xFFFF) {
      units[n++] = static_cast<char16_t>(U16_LEAD(codePoint));
      units[n++] = static_cast<char16_t>(U16_TRAIL(codePoint));
    } else {
      units[n++] = static_cast<char16_t>(codePoint);
    }
    std::memcpy(out, units, n * 2);
    return n * 2;
  }
  if (codePoint < 0x80) {
    out[0] = static_cast<unsigned char>(codePoint);
    return 1;
  }
  if (codePoint < 0x800) {
    out[0] = static_cast<unsigned char>(0xC0 | (codePoint >> 6));
    out[1] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
    return 2;
  }
  if (codePoint < 0x10000) {
    out[0] = static_cast<unsigned char>(0xE0 | (codePoint >> 12));
    out[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
    return 3;
  }
  out[0] = static_cast<unsigned char>(0xF0 | (codePoint >> 18));
  out[1] = static_cast<unsigned char>(0x80 | ((codePoint >> 12) & 0x3F));
  out[2] = static_cast<unsigned char>(0x80 | ((codePoint >> 6) & 0x3F));
  out[3] = static_cast<unsigned char>(0x80 | (codePoint & 0x3F));
  return 4;
}

}  // namespace

bool known(int32_t charset) {
  return charset == kUTF16 || charset == kUTF8 || charset == kMacRoman || charset == kLatin1;
}

Converted convert(const unsigned char* source, size_t size, int32_t from,
                  unsigned char* destination, size_t capacity, int32_t to) {
  Converted result;
  std::u16string units = decode(source, size, from, result);
  size_t i = 0;
  while (i < units.size()) {
    char16_t unit = units[i];
    int32_t codePoint = unit;
    size_t step = 1;
    if (U16_IS_LEAD(unit) && i + 1 < units.size() && U16_IS_TRAIL(units[i + 1])) {
      codePoint = U16_GET_SUPPLEMENTARY(unit, units[i + 1]);
      step = 2;
    } else if (U16_IS_SURROGATE(unit)) {
      codePoint = -1;
    }
    unsigned char bytes[4];
    size_t n = encodeOne(codePoint, to, bytes);
    if (result.written + n > capacity) break;
    std::memcpy(destination + result.written, bytes, n);
    result.written += n;
    i += step;
  }
  return result;
}

}  // namespace host::charsets
