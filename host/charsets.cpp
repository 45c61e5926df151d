// Decoding goes to UTF-16 through ICU (malformed UTF-8 becomes U+FFFD per maximal subpart, and
// the single-byte tables come from ICU's converters); encoding then walks the code points one by
// one so that a character is written whole or not at all. The single-byte sets map all 256 bytes
// one to one, so byte round trips through them are lossless; a character they cannot hold becomes
// '?'.
#include "charsets.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include <unicode/ucnv.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

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

// Decodes UTF-8 into out, which has room for size units, the most that size bytes can become;
// answers the units written. Eight ASCII bytes are widened at a time, and a two-byte character
// is decoded in place; every other sequence goes through ICU's decoder, which makes each maximal
// ill-formed subpart one U+FFFD as ICU's UTF-8 converter does (and Python's "replace") and never
// gives a surrogate alone. A text converted piece by piece, cut between characters, thus gives
// what it gives whole.
size_t decodeUTF8Into(const unsigned char* source, size_t size, char16_t* out) {
  constexpr uint64_t kHighBits = 0x8080808080808080u;
  const int32_t end = static_cast<int32_t>(size);
  int32_t i = 0;
  size_t n = 0;
  while (i < end) {
    uint64_t eight;
    if (end - i >= 8 && (std::memcpy(&eight, source + i, 8), (eight & kHighBits) == 0)) {
      for (int j = 0; j < 8; ++j) out[n + j] = source[i + j];
      i += 8;
      n += 8;
      continue;
    }
    const unsigned char lead = source[i];
    if (lead < 0x80) {
      out[n++] = lead;
      ++i;
    } else if (lead >= 0xC2 && lead <= 0xDF && end - i >= 2 && U8_IS_TRAIL(source[i + 1])) {
      out[n++] = static_cast<char16_t>(((lead & 0x1F) << 6) | (source[i + 1] & 0x3F));
      i += 2;
    } else {
      UChar32 codePoint;
      U8_NEXT_OR_FFFD(source, i, end, codePoint);
      U16_APPEND_UNSAFE(out, n, codePoint);
    }
  }
  return n;
}

// Decodes a byte source (UTF-8 or a single-byte set) into out, which has room for size units.
size_t decodeBytesInto(const unsigned char* source, size_t size, int32_t from, char16_t* out) {
  if (from == kUTF8) return decodeUTF8Into(source, size, out);
  const SingleByteTable& table = tableFor(from);
  for (size_t i = 0; i < size; ++i) out[i] = table.decode[source[i]];
  return size;
}

// The source as UTF-16 units: read in place when it is UTF-16, aligned and `inPlace` (it does
// not overlap the destination), else decoded or copied into `storage`.
struct Units {
  const char16_t* data = nullptr;
  size_t size = 0;
};

Units decode(const unsigned char* source, size_t size, int32_t from, Converted& result,
             std::u16string& storage, bool inPlace) {
  if (from == kUTF16) {
    result.oddUTF16 = size % 2 != 0;
    if (inPlace && reinterpret_cast<uintptr_t>(source) % alignof(char16_t) == 0) {
      return Units{reinterpret_cast<const char16_t*>(source), size / 2};
    }
    storage.resize(size / 2);
    if (!storage.empty()) std::memcpy(storage.data(), source, storage.size() * 2);
    return Units{storage.data(), storage.size()};
  }
  storage.resize(size);
  storage.resize(decodeBytesInto(source, size, from, storage.data()));
  return Units{storage.data(), storage.size()};
}

// Copies the ASCII units at the start of units[0, n) to out as bytes; answers how many. Blocks
// of sixteen are checked and copied without an early exit, which the compiler makes vector code.
size_t copyASCIIRun(const char16_t* units, size_t n, unsigned char* out) {
  constexpr size_t kBlock = 16;
  size_t k = 0;
  for (; k + kBlock <= n; k += kBlock) {
    char16_t all = 0;
    for (size_t j = 0; j < kBlock; ++j) all |= units[k + j];
    if (all >= 0x80) break;
    for (size_t j = 0; j < kBlock; ++j) out[k + j] = static_cast<unsigned char>(units[k + j]);
  }
  for (; k < n && units[k] < 0x80; ++k) out[k] = static_cast<unsigned char>(units[k]);
  return k;
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
  const bool apart = destination + capacity <= source || source + size <= destination;
  // Bytes decoded to UTF-16 with room for the most units they can become: the decoder writes
  // the destination itself, and every unit is a whole character or half of a whole pair (no
  // decoder gives a surrogate alone).
  if (apart && to == kUTF16 && from != kUTF16 && capacity / 2 >= size &&
      reinterpret_cast<uintptr_t>(destination) % alignof(char16_t) == 0) {
    char16_t* out = reinterpret_cast<char16_t*>(destination);
    size_t n = decodeBytesInto(source, size, from, out);
    result.written = n * 2;
    return result;
  }
  std::u16string storage;
  Units units = decode(source, size, from, result, storage, apart);
  size_t i = 0;
  const bool toUTF8 = to == kUTF8;
  while (i < units.size) {
    char16_t unit = units.data[i];
    if (toUTF8 && unit < 0x80) {
      // The common case, a byte for a unit, without the general encoder.
      const size_t room = capacity - result.written;
      if (room == 0) break;
      const size_t n = copyASCIIRun(units.data + i, std::min(units.size - i, room),
                                    destination + result.written);
      result.written += n;
      i += n;
      continue;
    }
    int32_t codePoint = unit;
    size_t step = 1;
    if (U16_IS_LEAD(unit) && i + 1 < units.size && U16_IS_TRAIL(units.data[i + 1])) {
      codePoint = U16_GET_SUPPLEMENTARY(unit, units.data[i + 1]);
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
