#include "values.h"

#include <cmath>
#include <cstdio>
#include <limits>

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

std::string arrayLines(const Value& value) {
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
  if (auto* real = std::get_if<double>(&typed.value)) return formatReal(*real) + "\n";
  int64_t n = std::get<int64_t>(typed.value);
  return (typed.kind == Kind::Time ? formatTime(n) : std::to_string(n)) + "\n";
}

template <typename T, typename Variant>
struct IsAlternative;
template <typename T, typename... Ts>
struct IsAlternative<T, std::variant<Ts...>> : std::disjunction<std::is_same<T, Ts>...> {};

// Moves the alternative `from` holds into a variant of the other family; one it lacks (a
// Boolean or a Real for the host) leaves it empty.
template <typename To, typename From>
To moveAlternative(From&& from) {
  return std::visit(
      [](auto&& held) -> To {
        using Held = std::decay_t<decltype(held)>;
        if constexpr (IsAlternative<Held, To>::value) {
          return To(std::move(held));
        } else {
          return To{};
        }
      },
      std::move(from));
}

}  // namespace

Kind fromHostKind(host::Kind kind) {
  switch (kind) {
    case host::Kind::Integer:
      return Kind::Integer;
    case host::Kind::Longint:
      return Kind::Longint;
    case host::Kind::Time:
      return Kind::Time;
    case host::Kind::Date:
      return Kind::Date;
    case host::Kind::Text:
      return Kind::Text;
    case host::Kind::Picture:
      return Kind::Picture;
    case host::Kind::Blob:
      return Kind::Blob;
    case host::Kind::IntegerArray:
      return Kind::IntegerArray;
    case host::Kind::LongintArray:
      return Kind::LongintArray;
    case host::Kind::TextArray:
      return Kind::TextArray;
    case host::Kind::None:
      break;
  }
  return Kind::None;
}

host::Value toHostValue(Value value) { return moveAlternative<host::Value>(std::move(value)); }
Value fromHostValue(host::Value value) { return moveAlternative<Value>(std::move(value)); }

std::string kindDisplayName(Kind kind) {
  switch (kind) {
    case Kind::Boolean:
      return "Boolean";
    case Kind::Integer:
      return "Integer";
    case Kind::Longint:
      return "Longint";
    case Kind::Real:
      return "Real";
    case Kind::Time:
      return "Time";
    case Kind::Date:
      return "Date";
    case Kind::Text:
      return "Text";
    case Kind::Picture:
      return "Picture";
    case Kind::Blob:
      return "BLOB";
    case Kind::IntegerArray:
      return "Integer array";
    case Kind::LongintArray:
      return "Longint array";
    case Kind::TextArray:
      return "Text array";
    case Kind::None:
      break;
  }
  return "no value";
}

std::string kindDisplayName(host::Kind kind) { return kindDisplayName(fromHostKind(kind)); }

bool isNumberKind(Kind kind) {
  return kind == Kind::Integer || kind == Kind::Longint || kind == Kind::Real || kind == Kind::Time;
}

bool isArrayKind(Kind kind) {
  return kind == Kind::IntegerArray || kind == Kind::LongintArray || kind == Kind::TextArray;
}

Kind elementKindOf(Kind array) {
  switch (array) {
    case Kind::IntegerArray:
      return Kind::Integer;
    case Kind::LongintArray:
      return Kind::Longint;
    case Kind::TextArray:
      return Kind::Text;
    default:
      return Kind::None;
  }
}

Value defaultValue(Kind kind) {
  switch (kind) {
    case Kind::Boolean:
      return false;
    case Kind::Integer:
    case Kind::Longint:
    case Kind::Time:
      return int64_t{0};
    case Kind::Real:
      return 0.0;
    case Kind::Date:
      return host::Date{};
    case Kind::Text:
      return host::Text{};
    case Kind::Picture:
      return host::Picture{};
    case Kind::Blob:
      return host::Blob{};
    case Kind::IntegerArray:
      return host::IntegerArray{};
    case Kind::LongintArray:
      return host::LongintArray{};
    case Kind::TextArray:
      return host::TextArray{};
    case Kind::None:
      break;
  }
  return std::monostate{};
}

int64_t numberOfKind(int64_t number, Kind kind) {
  if (kind == Kind::Integer) return static_cast<int16_t>(number);
  return static_cast<int32_t>(number);
}

double realOf(const Value& number) {
  if (auto* real = std::get_if<double>(&number)) return *real;
  return static_cast<double>(std::get<int64_t>(number));
}

int64_t wholeOf(const Value& number) {
  if (auto* whole = std::get_if<int64_t>(&number)) return *whole;
  double rounded = std::round(std::get<double>(number));
  // Out of range and not-a-number have no whole value; 4D leaves them at the range's ends.
  if (!(rounded > -9.2e18)) return std::numeric_limits<int64_t>::min();
  if (!(rounded < 9.2e18)) return std::numeric_limits<int64_t>::max();
  return static_cast<int64_t>(rounded);
}

std::string formatReal(double real) {
  if (std::isnan(real)) return "NaN";
  if (std::isinf(real)) return real > 0 ? "INF" : "-INF";
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", real);
  std::string text = buffer;
  return text == "-0" ? "0" : text;
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
  const Value& v = typed.value;
  if (auto* boolean = std::get_if<bool>(&v)) return *boolean ? "True\n" : "False\n";
  if (std::holds_alternative<int64_t>(v) || std::holds_alternative<double>(v)) {
    return numberLine(typed);
  }
  if (auto* date = std::get_if<host::Date>(&v)) return formatDate(*date) + "\n";
  if (auto* text = std::get_if<host::Text>(&v)) return utf8FromText(*text) + "\n";
  if (auto* blob = std::get_if<host::Blob>(&v)) return blob->hasHandle ? blob->bytes : "";
  if (auto* picture = std::get_if<host::Picture>(&v)) {
    return picture->formats.empty() ? "" : picture->formats.front().bytes;
  }
  return arrayLines(v);
}

}  // namespace zuvhost
