// The values a zuvhost script works with: each is a host::Value together with the kind that
// tells its cell apart (integer, longint and time all travel as numbers), and the conversions
// between them, UTF-8 and what a script prints.
#pragma once

#include <string>

#include "emulator.h"

namespace zuvhost {

struct Typed {
  host::Kind kind = host::Kind::None;
  host::Value value;
};

// The name of a kind as 4D's documentation writes it ("Longint", "BLOB", "Text array").
std::string kindDisplayName(host::Kind kind);

bool isNumberKind(host::Kind kind);

// The value a new variable of this kind holds: 0, the empty text, an empty BLOB...
host::Value defaultValue(host::Kind kind);

// A number stored into a cell of this kind, cut to the cell's width as 4D does.
int64_t numberOfKind(int64_t number, host::Kind kind);

// UTF-8 to UTF-16 and back; malformed input and unpaired surrogates become U+FFFD.
host::Text textFromUtf8(const std::string& utf8);
std::string utf8FromText(const host::Text& text);

// What a statement made of this value alone prints: texts and numbers with a line end, BLOBs
// and pictures as their raw bytes, arrays one element a line (from element 1).
std::string printedForm(const Typed& typed);

std::string formatDate(const host::Date& date);
std::string formatTime(int64_t seconds);

}  // namespace zuvhost
