// The values a zuvhost script works with: each is a value together with the kind that tells
// its cell apart (integer, longint and time all hold whole numbers), the kinds a script has
// besides the host's (Boolean and Real never reach the plug-in), and the conversions between
// them, the host's values, UTF-8 and what a script prints.
#pragma once

#include <string>
#include <variant>

#include "emulator.h"

namespace zuvhost {

enum class Kind {
  Boolean,
  Integer,
  Longint,
  Real,
  Time,
  Date,
  Text,
  Picture,
  Blob,
  IntegerArray,
  LongintArray,
  TextArray,
  None  // no value: a command without result, or a variable not yet given a kind
};

using Value =
    std::variant<std::monostate, bool, int64_t, double, host::Date, host::Text, host::Picture,
                 host::Blob, host::IntegerArray, host::LongintArray, host::TextArray>;

struct Typed {
  Kind kind = Kind::None;
  Value value;
};

Kind fromHostKind(host::Kind kind);
// The host's values and ours hold the same alternatives but Boolean and Real.
host::Value toHostValue(Value value);
Value fromHostValue(host::Value value);

// The name of a kind as 4D's documentation writes it ("Longint", "BLOB", "Text array").
std::string kindDisplayName(Kind kind);
std::string kindDisplayName(host::Kind kind);

// Integer, Longint, Real and Time: the kinds arithmetic takes.
bool isNumberKind(Kind kind);
bool isArrayKind(Kind kind);
// The kind of an array's elements.
Kind elementKindOf(Kind array);

// The value a new variable of this kind holds: 0, False, the empty text, an empty BLOB...
Value defaultValue(Kind kind);

// A whole number stored into a cell of this kind, cut to the cell's width as 4D does.
int64_t numberOfKind(int64_t number, Kind kind);
// Any number as a double, and as a whole number rounded to the nearest (halves away from 0).
double realOf(const Value& number);
int64_t wholeOf(const Value& number);
// A real printed as 4D prints it: up to 15 significant digits, no trailing zeros.
std::string formatReal(double real);

// UTF-8 to UTF-16 and back; malformed input and unpaired surrogates become U+FFFD.
host::Text textFromUtf8(const std::string& utf8);
std::string utf8FromText(const host::Text& text);

// What a statement made of this value alone prints: texts and numbers with a line end, BLOBs
// and pictures as their raw bytes, arrays one element a line (from element 1).
std::string printedForm(const Typed& typed);

std::string formatDate(const host::Date& date);
std::string formatTime(int64_t seconds);

}  // namespace zuvhost
