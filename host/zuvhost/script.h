// A parsed zuvhost script: statements written as 4D methods write them, one a line, with the
// blocks of 4D's control flow, and the error that names where a script went wrong.
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

// A call the host could not make: it had no memory for an argument. zuvhost reports it with the
// call's position and stops with exit status 1, as for a fault the emulator saw; the command
// did not run.
class HostRefusal : public ScriptError {
 public:
  using ScriptError::ScriptError;
};

// Binary: an operator and its two operands; Negate: unary minus; Star: 4D's "*" as the last
// argument of a call (Replace string's "compare character codes").
enum class ExprType {
  Number,
  Real,
  Text,
  Date,
  Time,
  Variable,
  Element,
  Call,
  Binary,
  Negate,
  Star
};

struct Expr {
  ExprType type = ExprType::Number;
  Position position;            // a Binary's is its operator's
  int64_t number = 0;           // Number, and Time in seconds
  double real = 0;              // Real
  std::string text;             // Text (UTF-8), the name of a Variable, Element or Call, the
                                // operator of a Binary
  host::Date date;              // Date
  std::vector<Expr> args;       // a Call's arguments; an Element's index, a Binary's and a
                                // Negate's operands
  bool hasParentheses = false;  // a Call written with "(...)"
};

// Declare: "var $a; $b : Text" or "C_TEXT($a; $b)". If: branches for If and Else; Case: one
// branch a ": (...)" and one for Else; While and Repeat: one branch whose condition is the
// While's or the Until's; For: args are the counter, start, end and (maybe) step.
enum class StatementType { Assign, AssignElement, Evaluate, Declare, If, Case, While, Repeat, For };

struct Statement {
  struct Branch {
    bool hasCondition = false;  // false for an Else
    Expr condition;
    std::vector<Statement> body;
  };

  StatementType type = StatementType::Evaluate;
  Position position;
  std::string target;       // the variable of an assignment
  std::vector<Expr> index;  // AssignElement: the element's index
  Expr value;
  std::vector<Expr> args;  // Declare: the variables; For: counter, start, end, step
  std::string kindName;    // Declare: the kind as written ("Text", "C_TEXT")
  Position kindPosition;   // Declare: where the kind is written
  std::vector<Branch> branches;
};

using Script = std::vector<Statement>;

}  // namespace zuvhost
