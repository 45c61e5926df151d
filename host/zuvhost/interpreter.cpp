#include "interpreter.h"

#include <algorithm>
#include <cctype>
#include <new>
#include <stdexcept>

#include "host_commands.h"
#include "operators.h"

namespace zuvhost {

namespace {

// Visits the elements of whichever array `value` holds, as a vector of its element type.
template <typename Fn>
bool withElements(Value& value, Fn&& fn) {
  if (auto* a = std::get_if<host::IntegerArray>(&value)) return fn(a->elements), true;
  if (auto* b = std::get_if<host::LongintArray>(&value)) return fn(b->elements), true;
  if (auto* c = std::get_if<host::TextArray>(&value)) return fn(c->elements), true;
  return false;
}

}  // namespace

std::string lowerCase(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

Value convertTo(const Typed& typed, Kind kind, Position where) {
  if (isNumberKind(kind) && isNumberKind(typed.kind)) {
    if (kind == Kind::Real) return realOf(typed.value);
    return numberOfKind(wholeOf(typed.value), kind);
  }
  if (typed.kind != kind) {
    throw ScriptError(where, "a " + kindDisplayName(kind) + " is wanted here, not a " +
                                 kindDisplayName(typed.kind));
  }
  return typed.value;
}

Interpreter::Interpreter(host::Emulator& emulator, Output output)
    : emulator_(emulator), output_(std::move(output)) {}

void Interpreter::check(const Script& script) {
  VariableKinds kinds = checkScript(script, emulator_.manifest());
  variables_.clear();
  for (const auto& [name, variable] : kinds) {
    variables_[name] = Typed{variable.kind, defaultValue(variable.kind)};
  }
}

// ---- Statements --------------------------------------------------------------------------------

void Interpreter::run(const Script& script) { execute(script); }

void Interpreter::execute(const std::vector<Statement>& body) {
  for (const Statement& statement : body) execute(statement);
}

bool Interpreter::holds(const Expr& condition) {
  Typed value = evaluate(condition);
  if (!std::holds_alternative<bool>(value.value)) {
    throw ScriptError(condition.position,
                      "a condition must be a Boolean, not a " + kindDisplayName(value.kind));
  }
  return std::get<bool>(value.value);
}

void Interpreter::execute(const Statement& statement) {
  switch (statement.type) {
    case StatementType::Assign:
      assign(statement.target, evaluate(statement.value), statement.value.position);
      break;
    case StatementType::AssignElement:
      assignElement(statement);
      break;
    case StatementType::Evaluate: {
      std::string printed = printedForm(evaluate(statement.value));
      if (!printed.empty()) output_(printed);
      break;
    }
    case StatementType::Declare:
      break;  // the check gave every variable its kind and its empty value
    case StatementType::If:
    case StatementType::Case:
      runIf(statement);
      break;
    case StatementType::While:
      while (holds(statement.branches[0].condition)) execute(statement.branches[0].body);
      break;
    case StatementType::Repeat:
      do {
        execute(statement.branches[0].body);
      } while (!holds(statement.branches[0].condition));
      break;
    case StatementType::For:
      runFor(statement);
      break;
  }
}

// The first branch whose condition holds, or the Else.
void Interpreter::runIf(const Statement& statement) {
  for (const Statement::Branch& branch : statement.branches) {
    if (!branch.hasCondition || holds(branch.condition)) {
      execute(branch.body);
      return;
    }
  }
}

// The bounds and the step are computed once, before the first turn; the body may change the
// counter, and after the loop it holds the first value past the end, as in 4D.
void Interpreter::runFor(const Statement& statement) {
  const Expr& counter = statement.args[0];
  Typed start = evaluate(statement.args[1]);
  Typed end = evaluate(statement.args[2]);
  Typed step = statement.args.size() > 3 ? evaluate(statement.args[3]) : Typed{Kind::Longint, 1};
  if (realOf(step.value) == 0)
    throw ScriptError(statement.args[3].position, "the step of For is 0");
  bool up = realOf(step.value) > 0;
  assign(counter.text, start, counter.position);
  while (true) {
    Typed current = existingVariable(counter);
    Typed past = applyBinary(up ? ">" : "<", current, end, counter.position);
    if (std::get<bool>(past.value)) break;
    execute(statement.branches[0].body);
    assign(counter.text, applyBinary("+", existingVariable(counter), step, counter.position),
           counter.position);
  }
}

void Interpreter::assign(const std::string& name, Typed value, Position where) {
  auto [slot, created] = variables_.try_emplace(lowerCase(name));
  if (created || slot->second.kind == Kind::None) {
    slot->second = std::move(value);
    return;
  }
  slot->second.value = convertTo(value, slot->second.kind, where);
}

Typed& Interpreter::existingVariable(const Expr& expr) {
  auto found = variables_.find(lowerCase(expr.text));
  if (found == variables_.end() || found->second.kind == Kind::None) {
    throw ScriptError(expr.position, "the variable " + expr.text + " has no value yet");
  }
  return found->second;
}

Typed& Interpreter::bindVariable(const Expr& expr, Kind kind) {
  auto [slot, created] = variables_.try_emplace(lowerCase(expr.text));
  if (created || slot->second.kind == Kind::None) {
    slot->second = Typed{kind, defaultValue(kind)};
  } else if (!kindsAgree(slot->second.kind, kind)) {
    throw ScriptError(expr.position, expr.text + " holds a " + kindDisplayName(slot->second.kind) +
                                         ", a " + kindDisplayName(kind) + " is wanted here");
  }
  return slot->second;
}

Typed& Interpreter::variableSlot(const Expr& expr) { return variables_[lowerCase(expr.text)]; }

// ---- Expressions -------------------------------------------------------------------------------

Typed Interpreter::evaluate(const Expr& expr) {
  switch (expr.type) {
    case ExprType::Number:
      return Typed{Kind::Longint, expr.number};
    case ExprType::Real:
      return Typed{Kind::Real, expr.real};
    case ExprType::Text:
      return Typed{Kind::Text, textFromUtf8(expr.text)};
    case ExprType::Date:
      return Typed{Kind::Date, expr.date};
    case ExprType::Time:
      return Typed{Kind::Time, expr.number};
    case ExprType::Variable:
      return existingVariable(expr);
    case ExprType::Element:
      return element(expr);
    case ExprType::Call:
      return call(expr);
    case ExprType::Negate: {
      Typed operand = evaluate(expr.args[0]);
      if (!isNumberKind(operand.kind)) {
        throw ScriptError(expr.position,
                          "'-' takes a number, not a " + kindDisplayName(operand.kind));
      }
      return negate(operand);
    }
    case ExprType::Binary: {
      Typed left = evaluate(expr.args[0]);
      return applyBinary(expr.text, left, evaluate(expr.args[1]), expr.position);
    }
    case ExprType::Star:
      throw ScriptError(expr.position, kStarIsNoValue);
  }
  return Typed{};
}

Typed Interpreter::evaluateAs(const Expr& expr, Kind kind) {
  return Typed{kind, convertTo(evaluate(expr), kind, expr.position)};
}

// ---- Arrays ------------------------------------------------------------------------------------

namespace {

size_t checkedIndex(int64_t index, size_t size, const Expr& at) {
  if (index < 0 || static_cast<uint64_t>(index) >= size) {
    throw ScriptError(at.position, "index " + std::to_string(index) +
                                       " is outside the array (0 to " + std::to_string(size - 1) +
                                       ")");
  }
  return static_cast<size_t>(index);
}

template <typename T>
Value elementValue(const T& element) {
  if constexpr (std::is_same_v<T, host::Text>) {
    return element;
  } else {
    return int64_t{element};
  }
}

template <typename T>
void storeElement(T& element, const Value& value) {
  if constexpr (std::is_same_v<T, host::Text>) {
    element = std::get<host::Text>(value);
  } else {
    element = static_cast<T>(std::get<int64_t>(value));
  }
}

}  // namespace

Typed Interpreter::element(const Expr& expr) {
  const Expr& indexExpr = expr.args[0];
  int64_t index = std::get<int64_t>(evaluateAs(indexExpr, Kind::Longint).value);
  Typed& array = existingVariable(expr);
  Typed result{elementKindOf(array.kind), {}};
  bool isArray = withElements(array.value, [&](auto& elements) {
    result.value = elementValue(elements[checkedIndex(index, elements.size(), indexExpr)]);
  });
  if (!isArray) throw ScriptError(expr.position, expr.text + " is not an array");
  return result;
}

void Interpreter::assignElement(const Statement& statement) {
  Expr target;
  target.text = statement.target;
  target.position = statement.position;
  const Expr& indexExpr = statement.index[0];
  int64_t index = std::get<int64_t>(evaluateAs(indexExpr, Kind::Longint).value);
  Typed value = evaluate(statement.value);
  Typed& array = existingVariable(target);
  Kind kind = elementKindOf(array.kind);
  bool isArray = withElements(array.value, [&](auto& elements) {
    size_t at = checkedIndex(index, elements.size(), indexExpr);
    storeElement(elements[at], convertTo(value, kind, statement.value.position));
  });
  if (!isArray) throw ScriptError(statement.position, statement.target + " is not an array");
}

// ---- Calls -------------------------------------------------------------------------------------

Typed Interpreter::call(const Expr& expr) {
  if (!expr.hasParentheses) {
    if (const Typed* constant = findConstant(expr.text)) return *constant;
  }
  if (const HostCommand* command = findHostCommand(expr.text)) return command->run(*this, expr);
  const host::CommandSpec* spec = findPluginCommand(emulator_.manifest(), expr.text);
  if (!spec) throw ScriptError(expr.position, unknownName(expr));
  return callCommand(expr, *spec);
}

namespace {

host::Value hostArgument(const host::CommandSpec& spec, size_t index, const Expr& arg,
                         const Typed& value) {
  Kind kind = fromHostKind(spec.params[index].kind);
  if (!kindsAgree(value.kind, kind)) {
    throw ScriptError(arg.position, pluginParameter(spec, index) + " takes a " +
                                        kindDisplayName(kind) + ", not a " +
                                        kindDisplayName(value.kind));
  }
  return toHostValue(convertTo(value, kind, arg.position));
}

}  // namespace

host::Value Interpreter::argumentFor(const host::CommandSpec& spec, size_t index, const Expr& arg) {
  const host::ParamSpec& param = spec.params[index];
  if (takesVariable(param)) {
    return hostArgument(spec, index, arg, bindVariable(arg, fromHostKind(param.kind)));
  }
  return hostArgument(spec, index, arg, evaluate(arg));
}

// The plug-in's host takes each argument as a copy of its value. A copy the machine has no memory
// for is a call the host could not make: it is reported at the call, as the host's own refusals
// are, and the command is not called.
std::vector<host::Value> Interpreter::argumentsFor(const Expr& call,
                                                   const host::CommandSpec& spec) {
  std::vector<host::Value> args;
  args.reserve(call.args.size());
  for (size_t i = 0; i < call.args.size(); ++i) {
    try {
      args.push_back(argumentFor(spec, i, call.args[i]));
    } catch (const std::bad_alloc&) {
      throw HostRefusal(call.position, spec.name + " parameter " + std::to_string(i + 1) + " (" +
                                           spec.params[i].name +
                                           "): the host has no memory for a copy of the "
                                           "argument; the command was not called");
    }
  }
  return args;
}

Typed Interpreter::callCommand(const Expr& expr, const host::CommandSpec& spec) {
  std::vector<host::Value> args = argumentsFor(expr, spec);
  host::Outcome outcome;
  try {
    outcome = emulator_.call(spec.name, std::move(args));
  } catch (const std::invalid_argument& refused) {
    throw ScriptError(expr.position, refused.what());
  } catch (const host::ArgumentNotMade& notMade) {
    throw HostRefusal(expr.position, notMade.what());
  }
  storeOutputs(spec, expr, outcome);
  return Typed{fromHostKind(spec.result), fromHostValue(std::move(outcome.result))};
}

void Interpreter::storeOutputs(const host::CommandSpec& spec, const Expr& call,
                               host::Outcome& outcome) {
  for (size_t i = 0; i < call.args.size() && i < outcome.params.size(); ++i) {
    if (spec.params[i].direction == host::Direction::In) continue;
    Typed& variable = existingVariable(call.args[i]);
    Typed value{fromHostKind(spec.params[i].kind), fromHostValue(std::move(outcome.params[i]))};
    if (isNumberKind(variable.kind) && isNumberKind(value.kind)) {
      variable.value = convertTo(value, variable.kind, call.args[i].position);
    } else {
      variable.value = std::move(value.value);
    }
  }
}

}  // namespace zuvhost
