#include "values.h"

#include <cstdio>

namespace zuvhost {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void appendUtf16(host::Text& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

// Reads one UTF-8 sequence at `i` and advances past it; a malformed sequence yields U+FFFD and
// advances by its maximal valid prefix (at least one byte).
char32_t decodeUtf8At(const std::string& s, size_t& i) {
  unsigned char lead = static_cast<unsigned char>(s[i++]);
  if (lead < 0x80) return lead;
  int length = lead >= 0xF0 && lead <= 0xF4 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4) return kReplacement;
  char32_t c = lead & (0xFF >> (length + 1));
  for (int k = 1; k < length; ++k) {
    if (i >= s.size()) return kReplacement;
    unsigned char next = static_cast<unsigned char>(s[i]);
    bool lowOk = k != 1 || ((lead != 0xE0 || next >= 0xA0) && (lead != 0xED || next < 0xA0) &&
                            (lead != 0xF0 || next >= 0x90) && (lead != 0xF4 || next < 0x90));
    if ((next & 0xC0) != 0x80 || !lowOk) return kReplacement;
    c = (c << 6) | (next & 0x3F);
    ++i;
  }
  return c;
}

std::string arrayLines(const host::Value& value) {
  std::string out;
  if (auto* a = std::get_if<host::IntegerArray>(&value)) {
    for (size_t i = 1; i < a->elements.size(); ++i) out += std::to_string(a->elements[i]) + "\n";
  } else if (auto* b = std::get_if<host::LongintArray>(&value)) {
    for (size_t i = 1; i < b->elements.size(); ++i) out += std::to_string(b->elements[i]) + "\n";
  } else if (auto* c = std::get_if<host::TextArray>(&value)) {
    for (size_t i = 1; i < c->elements.size(); ++i) out += utf8FromText(c->elements[i]) + "\n";
  }
  return out;
}

std::string numberLine(const Typed& typed) {
  int64_t n = std::get<int64_t>(typed.value);
  return (typed.kind == host::Kind::Time ? formatTime(n) : std::to_string(n)) + "\n";
}

}  // namespace

std::string kindDisplayName(host::Kind kind) {
  switch (kind) {
    case host::Kind::Integer:
      return "Integer";
    case host::Kind::Longint:
      return "Longint";
    case host::Kind::Time:
      return "Time";
    case host::Kind::Date:
      return "Date";
    case host::Kind::Text:
      return "Text";
    case host::Kind::Picture:
      return "Picture";
    case host::Kind::Blob:
      return "BLOB";
    case host::Kind::IntegerArray:
      return "Integer array";
    case host::Kind::LongintArray:
      return "Longint array";
    case host::Kind::TextArray:
      return "Text array";
    case host::Kind::None:
      break;
  }
  return "no value";
}

bool isNumberKind(host::Kind kind) {
  return kind == host::Kind::Integer || kind == host::Kind::Longint || kind == host::Kind::Time;
}

host::Value defaultValue(host::Kind kind) {
  switch (kind) {
    case host::Kind::Integer:
    case host::Kind::Longint:
    case host::Kind::Time:
      return int64_t{0};
    case host::Kind::Date:
      return host::Date{};
    case host::Kind::Text:
      return host::Text{};
    case host::Kind::Picture:
      return host::Picture{};
    case host::Kind::Blob:
      return host::Blob{};
    case host::Kind::IntegerArray:
      return host::IntegerArray{};
    case host::Kind::LongintArray:
      return host::LongintArray{};
    case host::Kind::TextArray:
      return host::TextArray{};
    case host::Kind::None:
      break;
  }
  return std::monostate{};
}

int64_t numberOfKind(int64_t number, host::Kind kind) {
  if (kind == host::Kind::Integer) return static_cast<int16_t>(number);
  return static_cast<int32_t>(number);
}

host::Text textFromUtf8(const std::string& utf8) {
  host::Text out;
  for (size_t i = 0; i < utf8.size();) appendUtf16(out, decodeUtf8At(utf8, i));
  return out;
}

std::string utf8FromText(const host::Text& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    bool high = c >= 0xD800 && c < 0xDC00;
    bool low = c >= 0xDC00 && c < 0xE000;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (high || low) {
      c = kReplacement;
    }
    appendUtf8(out, c);
  }
  return out;
}

std::string formatDate(const host::Date& date) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", date.year, date.month, date.day);
  return buffer;
}

std::string formatTime(int64_t seconds) {
  const char* sign = seconds < 0 ? "-" : "";
  uint64_t magnitude = seconds < 0 ? 0 - static_cast<uint64_t>(seconds) : seconds;
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%s%02llu:%02llu:%02llu", sign,
                static_cast<unsigned long long>(magnitude / 3600),
                static_cast<unsigned long long>(magnitude / 60 % 60),
                static_cast<unsigned long long>(magnitude % 60));
  return buffer;
}

std::string printedForm(const Typed& typed) {
  const host::Value& v = typed.value;
  if (std::holds_alternative<int64_t>(v)) return numberLine(typed);
  if (auto* date = std::get_if<host::Date>(&v)) return formatDate(*date) + "\n";
  if (auto* text = std::get_if<host::Text>(&v)) return utf8FromText(*text) + "\n";
  if (auto* blob = std::get_if<host::Blob>(&v)) return blob->hasHandle ? blob->bytes : "";
  if (auto* picture = std::get_if<host::Picture>(&v)) {
    return picture->formats.empty() ? "" : picture->formats.front().bytes;
  }
  return arrayLines(v);
}

}  // namespace zuvhost
