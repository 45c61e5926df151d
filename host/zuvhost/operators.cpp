#include "operators.h"

#include <cmath>
#include <vector>

namespace zuvhost {

namespace {

constexpr double kRealComparisonLevel = 1e-6;

bool isWholeKind(Kind kind) { return isNumberKind(kind) && kind != Kind::Real; }

bool isComparison(const std::string& op) {
  return op == "=" || op == "#" || op == "<" || op == ">" || op == "<=" || op == ">=";
}

// The kind of a number computed from two: Real wins, then Time, else Longint.
Kind numberResult(Kind left, Kind right) {
  if (left == Kind::Real || right == Kind::Real) return Kind::Real;
  if (left == Kind::Time || right == Kind::Time) return Kind::Time;
  return Kind::Longint;
}

Kind arithmeticKind(const std::string& op, Kind left, Kind right) {
  bool numbers = isNumberKind(left) && isNumberKind(right);
  if (op == "+") {
    if (left == Kind::Text && right == Kind::Text) return Kind::Text;
    if (left == Kind::Date && isWholeKind(right)) return Kind::Date;
    return numbers ? numberResult(left, right) : Kind::None;
  }
  if (op == "-") {
    if (left == Kind::Date && right == Kind::Date) return Kind::Longint;
    if (left == Kind::Date && isWholeKind(right)) return Kind::Date;
    return numbers ? numberResult(left, right) : Kind::None;
  }
  if (!numbers) return Kind::None;
  if (op == "*") return numberResult(left, right) == Kind::Real ? Kind::Real : Kind::Longint;
  if (op == "/") return Kind::Real;
  if (op == "%") return Kind::Longint;
  return Kind::None;
}

Kind comparisonKind(const std::string& op, Kind left, Kind right) {
  bool same =
      (isNumberKind(left) && isNumberKind(right)) ||
      (left == right && (left == Kind::Text || left == Kind::Date || left == Kind::Boolean));
  if (!same) return Kind::None;
  if (left == Kind::Boolean && op != "=" && op != "#") return Kind::None;
  return Kind::Boolean;
}

// Days since 1970-01-01 of a civil date, and back (the proleptic Gregorian calendar).
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

host::Date civilFromDays(int64_t z) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp + (mp < 10 ? 3 : -9);
  int64_t y = yoe + era * 400 + (m <= 2);
  if (y < 1 || y > 32767) return host::Date{};
  return host::Date{static_cast<int16_t>(d), static_cast<int16_t>(m), static_cast<int16_t>(y)};
}

bool isNullDate(const host::Date& date) {
  return date.year == 0 && date.month == 0 && date.day == 0;
}

int64_t dayNumber(const host::Date& date) {
  return isNullDate(date) ? 0 : daysFromCivil(date.year, date.month, date.day);
}

// The empty date stays empty whatever is added to it, as in 4D.
Typed dateArithmetic(const std::string& op, const Typed& left, const Typed& right) {
  const auto& date = std::get<host::Date>(left.value);
  if (right.kind == Kind::Date) {
    return Typed{Kind::Longint, dayNumber(date) - dayNumber(std::get<host::Date>(right.value))};
  }
  if (isNullDate(date)) return Typed{Kind::Date, date};
  int64_t days = std::get<int64_t>(right.value);
  int64_t moved = dayNumber(date) + (op == "+" ? days : -days);
  return Typed{Kind::Date, civilFromDays(moved)};
}

// Whole numbers wrap as 64-bit values instead of overflowing; a cell cuts them when stored.
int64_t wrapping(const std::string& op, int64_t a, int64_t b) {
  auto ua = static_cast<uint64_t>(a), ub = static_cast<uint64_t>(b);
  if (op == "+") return static_cast<int64_t>(ua + ub);
  if (op == "-") return static_cast<int64_t>(ua - ub);
  return static_cast<int64_t>(ua * ub);
}

Typed numberArithmetic(const std::string& op, const Typed& left, const Typed& right, Kind kind,
                       Position where) {
  if (op == "/" || op == "%") {
    if (realOf(right.value) == 0) throw ScriptError(where, "division by zero");
  }
  if (op == "%") {
    int64_t a = wholeOf(left.value), b = wholeOf(right.value);
    return Typed{Kind::Longint, b == -1 ? int64_t{0} : a % b};
  }
  if (kind == Kind::Real) {
    double a = realOf(left.value), b = realOf(right.value);
    double result = op == "+" ? a + b : op == "-" ? a - b : op == "*" ? a * b : a / b;
    return Typed{Kind::Real, result};
  }
  return Typed{kind, wrapping(op, wholeOf(left.value), wholeOf(right.value))};
}

template <typename T>
int compareValues(const T& a, const T& b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

int compareDates(const host::Date& a, const host::Date& b) {
  if (a.year != b.year) return compareValues(a.year, b.year);
  if (a.month != b.month) return compareValues(a.month, b.month);
  return compareValues(a.day, b.day);
}

int compare(const Typed& left, const Typed& right) {
  if (isNumberKind(left.kind)) {
    if (left.kind == Kind::Real || right.kind == Kind::Real) {
      // Reals closer than 4D's comparison level (10^-6) are equal, so that 0.1+0.2=0.3 holds.
      double a = realOf(left.value), b = realOf(right.value);
      return std::fabs(a - b) < kRealComparisonLevel ? 0 : compareValues(a, b);
    }
    return compareValues(wholeOf(left.value), wholeOf(right.value));
  }
  if (left.kind == Kind::Text) {
    return compareTexts(std::get<host::Text>(left.value), std::get<host::Text>(right.value));
  }
  if (left.kind == Kind::Date) {
    return compareDates(std::get<host::Date>(left.value), std::get<host::Date>(right.value));
  }
  return compareValues(std::get<bool>(left.value), std::get<bool>(right.value));
}

constexpr char16_t kWildcard = u'@';

bool startsWith(const host::Text& text, const host::Text& part) {
  return text.compare(0, part.size(), part) == 0;
}

bool endsWith(const host::Text& text, const host::Text& part) {
  return text.size() >= part.size() &&
         text.compare(text.size() - part.size(), part.size(), part) == 0;
}

// Whether `text` matches `pattern`, in which each "@" stands for any run of characters, the
// empty one included: the pattern's first piece starts the text, its last ends it, and the
// pieces between follow in order, each found as early as it can be, without overlapping.
bool matchesWildcards(const host::Text& text, const host::Text& pattern) {
  std::vector<host::Text> pieces;
  for (size_t from = 0;;) {
    size_t at = pattern.find(kWildcard, from);
    pieces.push_back(pattern.substr(from, at == host::Text::npos ? host::Text::npos : at - from));
    if (at == host::Text::npos) break;
    from = at + 1;
  }
  const host::Text& first = pieces.front();
  const host::Text& last = pieces.back();
  if (pieces.size() == 1) return text == first;
  if (text.size() < first.size() + last.size()) return false;
  if (!startsWith(text, first) || !endsWith(text, last)) return false;
  size_t next = first.size();
  size_t end = text.size() - last.size();
  for (size_t i = 1; i + 1 < pieces.size(); ++i) {
    if (pieces[i].empty()) continue;
    size_t found = text.find(pieces[i], next);
    if (found == host::Text::npos || found + pieces[i].size() > end) return false;
    next = found + pieces[i].size();
  }
  return true;
}

// = and # on texts, as 4D compares them: without regard to case, and with "@" in the right-hand
// text as a wildcard (in the left-hand one it is a character like any other).
bool textsMatch(const Typed& left, const Typed& right) {
  return matchesWildcards(foldCase(std::get<host::Text>(left.value)),
                          foldCase(std::get<host::Text>(right.value)));
}

bool comparisonHolds(const std::string& op, int order) {
  if (op == "=") return order == 0;
  if (op == "#") return order != 0;
  if (op == "<") return order < 0;
  if (op == ">") return order > 0;
  if (op == "<=") return order <= 0;
  return order >= 0;
}

char16_t foldUnit(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 32);
  // Latin-1's capitals but the multiplication sign.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
  return c;
}

}  // namespace

host::Text foldCase(const host::Text& text) {
  host::Text out = text;
  for (char16_t& c : out) c = foldUnit(c);
  return out;
}

int compareTexts(const host::Text& left, const host::Text& right) {
  return compareValues(foldCase(left), foldCase(right));
}

Kind binaryKind(const std::string& op, Kind left, Kind right) {
  if (op == "&" || op == "|") {
    return left == Kind::Boolean && right == Kind::Boolean ? Kind::Boolean : Kind::None;
  }
  if (isComparison(op)) return comparisonKind(op, left, right);
  return arithmeticKind(op, left, right);
}

std::string refusedOperands(const std::string& op, Kind left, Kind right) {
  return "'" + op + "' does not take a " + kindDisplayName(left) + " and a " +
         kindDisplayName(right);
}

Typed applyBinary(const std::string& op, const Typed& left, const Typed& right, Position where) {
  Kind kind = binaryKind(op, left.kind, right.kind);
  if (kind == Kind::None) throw ScriptError(where, refusedOperands(op, left.kind, right.kind));
  if (op == "&") return Typed{kind, std::get<bool>(left.value) && std::get<bool>(right.value)};
  if (op == "|") return Typed{kind, std::get<bool>(left.value) || std::get<bool>(right.value)};
  if (left.kind == Kind::Text && (op == "=" || op == "#")) {
    return Typed{kind, textsMatch(left, right) == (op == "=")};
  }
  if (isComparison(op)) return Typed{kind, comparisonHolds(op, compare(left, right))};
  if (kind == Kind::Text) {
    return Typed{kind, std::get<host::Text>(left.value) + std::get<host::Text>(right.value)};
  }
  if (left.kind == Kind::Date) return dateArithmetic(op, left, right);
  return numberArithmetic(op, left, right, kind, where);
}

Typed negate(const Typed& operand) {
  if (auto* real = std::get_if<double>(&operand.value)) return Typed{Kind::Real, -*real};
  Kind kind = operand.kind == Kind::Time ? Kind::Time : Kind::Longint;
  return Typed{kind, wrapping("-", 0, std::get<int64_t>(operand.value))};
}

}  // namespace zuvhost
