#include "interpreter.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "host_commands.h"

namespace zuvhost {

namespace {

bool takesVariable(const host::ParamSpec& param) {
  switch (param.kind) {
    case host::Kind::Picture:
    case host::Kind::Blob:
    case host::Kind::IntegerArray:
    case host::Kind::LongintArray:
    case host::Kind::TextArray:
      return true;
    default:
      return param.direction != host::Direction::In;
  }
}

bool kindsAgree(host::Kind have, host::Kind want) {
  return have == want || (isNumberKind(have) && isNumberKind(want));
}

std::string parameterLabel(const host::CommandSpec& spec, size_t index) {
  return "parameter " + std::to_string(index + 1) + " (" + spec.params[index].name + ") of " +
         spec.name;
}

host::Kind elementKind(const host::Value& array) {
  if (std::holds_alternative<host::IntegerArray>(array)) return host::Kind::Integer;
  if (std::holds_alternative<host::LongintArray>(array)) return host::Kind::Longint;
  return host::Kind::Text;
}

// Visits the elements of whichever array `value` holds, as a vector of its element type.
template <typename Fn>
bool withElements(host::Value& value, Fn&& fn) {
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

host::Value convertTo(const Typed& typed, host::Kind kind, Position where) {
  if (isNumberKind(kind) && isNumberKind(typed.kind)) {
    return numberOfKind(std::get<int64_t>(typed.value), kind);
  }
  if (typed.kind != kind) {
    throw ScriptError(where, "a " + kindDisplayName(kind) + " is wanted here, not a " +
                                 kindDisplayName(typed.kind));
  }
  return typed.value;
}

Interpreter::Interpreter(host::Emulator& emulator, Output output)
    : emulator_(emulator), output_(std::move(output)) {}

// ---- Checks before running -------------------------------------------------------------------

void Interpreter::check(const Script& script) const {
  for (const Statement& statement : script) {
    for (const Expr& index : statement.index) checkExpr(index, true);
    checkExpr(statement.value, statement.type != StatementType::Evaluate);
  }
}

const host::CommandSpec* Interpreter::findCommand(std::string_view name) const {
  if (const host::CommandSpec* spec = emulator_.manifest().find(name)) return spec;
  std::string wanted = lowerCase(name);
  for (const host::CommandSpec& spec : emulator_.manifest().commands()) {
    if (lowerCase(spec.name) == wanted) return &spec;
  }
  return nullptr;
}

void Interpreter::checkExpr(const Expr& expr, bool asValue) const {
  if (expr.type == ExprType::Element) checkExpr(expr.args[0], true);
  if (expr.type != ExprType::Call) return;
  host::Kind result = host::Kind::None;
  if (const HostCommand* command = findHostCommand(expr.text)) {
    if (expr.args.size() != command->paramCount) {
      throw ScriptError(expr.position, std::string(command->name) + " takes " +
                                           std::to_string(command->paramCount) + " parameter" +
                                           (command->paramCount == 1 ? "" : "s"));
    }
    for (size_t i = 0; i < expr.args.size(); ++i) {
      bool mustBeVariable = (command->variableArgs >> i) & 1;
      if (mustBeVariable && expr.args[i].type != ExprType::Variable) {
        throw ScriptError(expr.args[i].position, "parameter " + std::to_string(i + 1) + " of " +
                                                     command->name + " must be a variable");
      }
      checkExpr(expr.args[i], !mustBeVariable);
    }
    result = command->result;
  } else if (const host::CommandSpec* spec = findCommand(expr.text)) {
    checkCommandCall(expr, *spec);
    result = spec->result;
  } else {
    throw ScriptError(expr.position, "unknown command '" + expr.text + "'");
  }
  if (asValue && result == host::Kind::None) {
    throw ScriptError(expr.position, expr.text + " gives no value");
  }
}

void Interpreter::checkCommandCall(const Expr& call, const host::CommandSpec& spec) const {
  if (call.args.size() > spec.params.size()) {
    throw ScriptError(call.args[spec.params.size()].position,
                      spec.name + " takes at most " + std::to_string(spec.params.size()) +
                          " parameter" + (spec.params.size() == 1 ? "" : "s"));
  }
  for (size_t i = 0; i < call.args.size(); ++i) {
    const Expr& arg = call.args[i];
    bool mustBeVariable = takesVariable(spec.params[i]);
    if (mustBeVariable && arg.type != ExprType::Variable) {
      throw ScriptError(arg.position, parameterLabel(spec, i) + " must be a variable");
    }
    checkExpr(arg, !mustBeVariable);
  }
}

// ---- Running -----------------------------------------------------------------------------------

void Interpreter::run(const Script& script) {
  for (const Statement& statement : script) execute(statement);
}

void Interpreter::execute(const Statement& statement) {
  switch (statement.type) {
    case StatementType::Assign:
      variables_[lowerCase(statement.target)] = evaluate(statement.value);
      break;
    case StatementType::AssignElement:
      assignElement(statement);
      break;
    case StatementType::Evaluate: {
      std::string printed = printedForm(evaluate(statement.value));
      if (!printed.empty()) output_(printed);
      break;
    }
  }
}

Typed& Interpreter::existingVariable(const Expr& expr) {
  auto found = variables_.find(lowerCase(expr.text));
  if (found == variables_.end()) {
    throw ScriptError(expr.position, "the variable " + expr.text + " has no value yet");
  }
  return found->second;
}

Typed& Interpreter::bindVariable(const Expr& expr, host::Kind kind) {
  auto [slot, created] = variables_.try_emplace(lowerCase(expr.text));
  if (created) {
    slot->second = Typed{kind, defaultValue(kind)};
  } else if (!kindsAgree(slot->second.kind, kind)) {
    throw ScriptError(expr.position, expr.text + " holds a " + kindDisplayName(slot->second.kind) +
                                         ", a " + kindDisplayName(kind) + " is wanted here");
  }
  return slot->second;
}

Typed& Interpreter::variableSlot(const Expr& expr) { return variables_[lowerCase(expr.text)]; }

Typed Interpreter::evaluate(const Expr& expr) {
  switch (expr.type) {
    case ExprType::Number:
      return Typed{host::Kind::Longint, expr.number};
    case ExprType::Text:
      return Typed{host::Kind::Text, textFromUtf8(expr.text)};
    case ExprType::Date:
      return Typed{host::Kind::Date, expr.date};
    case ExprType::Time:
      return Typed{host::Kind::Time, expr.number};
    case ExprType::Variable:
      return existingVariable(expr);
    case ExprType::Element:
      return element(expr);
    case ExprType::Call:
      return call(expr);
  }
  return Typed{};
}

Typed Interpreter::evaluateAs(const Expr& expr, host::Kind kind) {
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
host::Value elementValue(const T& element) {
  if constexpr (std::is_same_v<T, host::Text>) {
    return element;
  } else {
    return int64_t{element};
  }
}

template <typename T>
void storeElement(T& element, const host::Value& value) {
  if constexpr (std::is_same_v<T, host::Text>) {
    element = std::get<host::Text>(value);
  } else {
    element = static_cast<T>(std::get<int64_t>(value));
  }
}

}  // namespace

Typed Interpreter::element(const Expr& expr) {
  const Expr& indexExpr = expr.args[0];
  int64_t index = std::get<int64_t>(evaluateAs(indexExpr, host::Kind::Longint).value);
  Typed& array = existingVariable(expr);
  Typed result{elementKind(array.value), {}};
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
  int64_t index = std::get<int64_t>(evaluateAs(indexExpr, host::Kind::Longint).value);
  Typed value = evaluate(statement.value);
  Typed& array = existingVariable(target);
  host::Kind kind = elementKind(array.value);
  bool isArray = withElements(array.value, [&](auto& elements) {
    size_t at = checkedIndex(index, elements.size(), indexExpr);
    storeElement(elements[at], convertTo(value, kind, statement.value.position));
  });
  if (!isArray) throw ScriptError(statement.position, statement.target + " is not an array");
}

// ---- Calls -------------------------------------------------------------------------------------

Typed Interpreter::call(const Expr& expr) {
  if (const HostCommand* command = findHostCommand(expr.text)) return command->run(*this, expr);
  return callCommand(expr, *findCommand(expr.text));
}

host::Value Interpreter::argumentFor(const host::ParamSpec& param, const Expr& arg) {
  if (takesVariable(param))
    return convertTo(bindVariable(arg, param.kind), param.kind, arg.position);
  return convertTo(evaluate(arg), param.kind, arg.position);
}

Typed Interpreter::callCommand(const Expr& expr, const host::CommandSpec& spec) {
  std::vector<host::Value> args;
  for (size_t i = 0; i < expr.args.size(); ++i) {
    args.push_back(argumentFor(spec.params[i], expr.args[i]));
  }
  host::Outcome outcome;
  try {
    outcome = emulator_.call(spec.name, std::move(args));
  } catch (const std::invalid_argument& refused) {
    throw ScriptError(expr.position, refused.what());
  }
  storeOutputs(spec, expr, outcome);
  return Typed{spec.result, std::move(outcome.result)};
}

void Interpreter::storeOutputs(const host::CommandSpec& spec, const Expr& call,
                               host::Outcome& outcome) {
  for (size_t i = 0; i < call.args.size() && i < outcome.params.size(); ++i) {
    if (spec.params[i].direction == host::Direction::In) continue;
    Typed& variable = existingVariable(call.args[i]);
    host::Value& value = outcome.params[i];
    if (isNumberKind(variable.kind) && std::holds_alternative<int64_t>(value)) {
      variable.value = numberOfKind(std::get<int64_t>(value), variable.kind);
    } else {
      variable.value = std::move(value);
    }
  }
}

}  // namespace zuvhost
