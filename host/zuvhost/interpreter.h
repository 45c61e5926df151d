// Runs a parsed script in the host emulator: ZUV_ commands go to the plug-in through
// host::Emulator::call with arguments converted to the kinds manifest.json declares, the host
// commands and functions of 4D's language a script needs run here, the control flow of 4D
// (If, Case of, While, Repeat, For) runs the blocks, and a statement that is a value alone
// prints it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "checker.h"
#include "script.h"
#include "values.h"

namespace zuvhost {

class Interpreter {
 public:
  using Output = std::function<void(std::string_view bytes)>;

  Interpreter(host::Emulator& emulator, Output output);

  // Checks what can be known before anything runs (see checker.h) and gives every variable the
  // empty value of its kind. Throws ScriptError.
  void check(const Script& script);
  // Runs the statements in order; throws ScriptError at the first that fails.
  void run(const Script& script);

  // For the host commands.
  Typed evaluate(const Expr& expr);
  Typed evaluateAs(const Expr& expr, Kind kind);
  // The variable that `expr` names, created with `kind` when it does not exist yet; an existing
  // one must hold that kind (any number kind for a number).
  Typed& bindVariable(const Expr& expr, Kind kind);
  // The variable that `expr` names, of any kind; a new one holds no value (kind None).
  Typed& variableSlot(const Expr& expr);

 private:
  void execute(const std::vector<Statement>& body);
  void execute(const Statement& statement);
  bool holds(const Expr& condition);
  void runIf(const Statement& statement);
  void runFor(const Statement& statement);
  void assign(const std::string& name, Typed value, Position where);
  void assignElement(const Statement& statement);
  Typed& existingVariable(const Expr& expr);
  Typed element(const Expr& expr);
  Typed call(const Expr& expr);
  Typed callCommand(const Expr& expr, const host::CommandSpec& spec);
  std::vector<host::Value> argumentsFor(const Expr& call, const host::CommandSpec& spec);
  host::Value argumentFor(const host::CommandSpec& spec, size_t index, const Expr& arg);
  void storeOutputs(const host::CommandSpec& spec, const Expr& call, host::Outcome& outcome);

  host::Emulator& emulator_;
  Output output_;
  std::map<std::string, Typed> variables_;  // keyed by the lower-case name: 4D ignores case
};

// Converts a value for a cell of `kind`: numbers between the number kinds (a real rounded to a
// whole number), any other kind only to itself; anything else is an argument of the wrong kind.
Value convertTo(const Typed& typed, Kind kind, Position where);

std::string lowerCase(std::string_view s);

}  // namespace zuvhost
