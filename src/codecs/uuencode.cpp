// uuencode lines: a length character (the byte count + 32), then four characters for each group
// of three bytes, each a 6-bit value + 32 with 0 written as the grave accent, then CR.

#include "codecs/uuencode.h"

#include <algorithm>
#include <exception>

#include "text/conversion.h"
#include "text/units.h"

namespace uu {
namespace {

constexpr size_t kLineBytes = 45;
constexpr unsigned char kGrave = 96;

char16_t encodedValue(uint32_t value) {
  return value == 0 ? char16_t{kGrave} : static_cast<char16_t>(value + 32);
}

void appendGroup(std::u16string& out, const unsigned char* bytes, size_t n) {
  uint32_t group = uint32_t{bytes[0]} << 16 | (n > 1 ? uint32_t{bytes[1]} << 8 : 0) |
                   (n > 2 ? uint32_t{bytes[2]} : 0);
  out.push_back(encodedValue(group >> 18));
  out.push_back(encodedValue((group >> 12) & 63));
  out.push_back(encodedValue((group >> 6) & 63));
  out.push_back(encodedValue(group & 63));
}

bool isDataCharacter(unsigned char c) { return c >= 32 && c <= kGrave; }

// The decoder's output. The result ends at the first zero byte, so nothing after it is kept:
// a hostile text of lines of zero bytes would otherwise take about 50 bytes of memory per unit
// for an empty result. The lines after it are still read, since a refused character anywhere
// empties the result.
struct DecodedBytes {
  std::string& bytes;
  bool ended = false;

  void push(char byte) {
    if (ended) return;
    if (byte == 0) {
      ended = true;
      return;
    }
    bytes.push_back(byte);
  }
};

// Decodes one line (without its line end) and answers false for a refused character.
bool decodeLine(std::string_view line, DecodedBytes& out) {
  int count = (static_cast<unsigned char>(line[0]) - 32) & 63;
  size_t next = 1;
  uint32_t bits = 0;
  int held = 0;
  while (count > 0) {
    uint32_t value = 0;  // a missing character counts as 0
    if (next < line.size()) {
      auto c = static_cast<unsigned char>(line[next++]);
      if (!isDataCharacter(c)) return false;
      value = (c - 32u) & 63;
    }
    bits = bits << 6 | value;
    held += 6;
    if (held < 8) continue;
    held -= 8;
    out.push(static_cast<char>(bits >> held));
    bits &= (1u << held) - 1;
    --count;
  }
  for (; next < line.size(); ++next) {
    if (line[next] != ' ' && static_cast<unsigned char>(line[next]) != kGrave) return false;
  }
  return true;
}

}  // namespace

std::u16string encodeBytes(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size() / 3 * 4 + bytes.size() / kLineBytes * 2 + 8);
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t at = 0; at < bytes.size(); at += kLineBytes) {
    size_t n = std::min(kLineBytes, bytes.size() - at);
    out.push_back(static_cast<char16_t>(n + 32));
    for (size_t k = 0; k < n; k += 3) appendGroup(out, data + at + k, n - k);
    out.push_back(u'\r');
  }
  return out;
}

bool decodeBytes(std::string_view lines, std::string& out) {
  out.clear();
  out.reserve(lines.size() / 4 * 3);  // the most the lines can hold: no growth while decoding
  DecodedBytes decoded{out};
  size_t start = 0;
  while (start < lines.size()) {
    size_t end = lines.find_first_of("\r\n", start);
    if (end == std::string_view::npos) break;  // a last line without its line end
    if (end > start && !decodeLine(lines.substr(start, end - start), decoded)) return false;
    start = end + 1;
    if (lines[end] == '\r' && start < lines.size() && lines[start] == '\n') ++start;
  }
  return true;
}

void encode(const PA_Unistring& text, PA_Unistring& result) {
  try {
    if (text.fLength > kMaxEncodedUnits) return setEmpty(result);
    EncodedChars bytes = convertToChars(text.fString, text.fLength, kCharSetUTF8);
    if (bytes.chars == nullptr || bytes.length == 0) return setEmpty(result);
    setUnits(result, encodeBytes({bytes.chars, static_cast<size_t>(bytes.length)}));
  } catch (const std::exception&) {
    setEmpty(result);
  }
}

void decode(const PA_Unistring& text, PA_Unistring& result) {
  try {
    EncodedChars lines = convertToChars(text.fString, text.fLength, kCharSetUTF8);
    std::string bytes;
    if (lines.chars == nullptr || lines.length == 0 ||
        !decodeBytes({lines.chars, static_cast<size_t>(lines.length)}, bytes)) {
      return setEmpty(result);
    }
    DecodedChars units = convertToUnicode(bytes.c_str(), -1, kCharSetUTF8);
    PA_SetUnistring(&result, units.chars);
  } catch (const std::exception&) {
    setEmpty(result);
  }
}

}  // namespace uu
