// A parsed zuvhost script: statements written as 4D methods write them, one a line, and the
// error that names where a script went wrong.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "emulator.h"

namespace zuvhost {

// 1-based line and column; columns count characters, not bytes.
struct Position {
  int line = 0;
  int column = 0;
};

// A syntax error, an unknown name, an argument of the wrong kind or any other fault of the
// script itself: zuvhost reports it with its position and stops with exit status 2.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(Position where, const std::string& message)
      : std::runtime_error(message), position(where) {}
  Position position;
};

enum class ExprType { Number, Text, Date, Time, Variable, Element, Call };

struct Expr {
  ExprType type = ExprType::Number;
  Position position;
  int64_t number = 0;           // Number, and Time in seconds
  std::string text;             // Text (UTF-8), the name of a Variable, Element or Call
  host::Date date;              // Date
  std::vector<Expr> args;       // a Call's arguments; an Element's index is args[0]
  bool hasParentheses = false;  // a Call written with "(...)"
};

enum class StatementType { Assign, AssignElement, Evaluate };

struct Statement {
  StatementType type = StatementType::Evaluate;
  Position position;
  std::string target;       // the variable of an assignment
  std::vector<Expr> index;  // AssignElement: the element's index
  Expr value;
};

using Script = std::vector<Statement>;

}  // namespace zuvhost
