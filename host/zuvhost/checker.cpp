#include "checker.h"

#include "host_commands.h"
#include "interpreter.h"
#include "operators.h"

namespace zuvhost {

namespace {

struct DeclaredKind {
  const char* name;  // lower case
  Kind kind;
};

// "var $x : Integer" and C_INTEGER both declare a Longint, as in today's 4D.
const DeclaredKind kVarKinds[] = {
    {"text", Kind::Text},       {"integer", Kind::Longint}, {"real", Kind::Real},
    {"boolean", Kind::Boolean}, {"date", Kind::Date},       {"time", Kind::Time},
    {"blob", Kind::Blob},       {"picture", Kind::Picture},
};
const DeclaredKind kDirectiveKinds[] = {
    {"c_text", Kind::Text}, {"c_longint", Kind::Longint}, {"c_integer", Kind::Longint},
    {"c_real", Kind::Real}, {"c_boolean", Kind::Boolean}, {"c_date", Kind::Date},
    {"c_time", Kind::Time}, {"c_blob", Kind::Blob},       {"c_picture", Kind::Picture},
};
const char* const kKindsWithoutVariables[] = {"pointer",   "object",   "collection",   "variant",
                                              "c_pointer", "c_object", "c_collection", "c_variant"};

std::string plural(size_t count, const char* noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

class Checker {
 public:
  explicit Checker(const host::Manifest& manifest) : manifest_(manifest) {}

  // Two passes: the first learns each variable's kind wherever it is set, the second checks
  // every use against them, so that a loop may read a variable set further down.
  VariableKinds run(const Script& script) {
    learning_ = true;
    statements(script);
    learning_ = false;
    statements(script);
    return std::move(variables_);
  }

 private:
  void statements(const std::vector<Statement>& body) {
    for (const Statement& statement : body) check(statement);
  }

  void check(const Statement& statement) {
    switch (statement.type) {
      case StatementType::Assign:
        assign(statement.target, kindOf(statement.value), statement.value.position);
        break;
      case StatementType::AssignElement:
        assignElement(statement);
        break;
      case StatementType::Evaluate:
        kindOf(statement.value, false);
        break;
      case StatementType::Declare:
        declare(statement);
        break;
      case StatementType::For:
        forHeader(statement);
        statements(statement.branches[0].body);
        break;
      case StatementType::If:
      case StatementType::Case:
      case StatementType::While:
      case StatementType::Repeat:
        branches(statement);
        break;
    }
  }

  void branches(const Statement& statement) {
    static const std::map<StatementType, const char*> kWords = {{StatementType::If, "If"},
                                                                {StatementType::Case, "Case of"},
                                                                {StatementType::While, "While"},
                                                                {StatementType::Repeat, "Until"}};
    for (const Statement::Branch& branch : statement.branches) {
      if (branch.hasCondition) condition(branch.condition, kWords.at(statement.type));
      statements(branch.body);
    }
  }

  void condition(const Expr& expr, const char* word) {
    Kind kind = kindOf(expr);
    if (kind != Kind::Boolean && kind != Kind::None) {
      throw ScriptError(expr.position, std::string("the condition of ") + word +
                                           " must be a Boolean, not a " + kindDisplayName(kind));
    }
  }

  void forHeader(const Statement& statement) {
    const Expr& counter = statement.args[0];
    bind(counter, Kind::Longint);
    for (size_t i = 1; i < statement.args.size(); ++i) {
      Kind kind = kindOf(statement.args[i]);
      if (kind != Kind::None && !isNumberKind(kind)) {
        throw ScriptError(statement.args[i].position,
                          "For counts with numbers, not a " + kindDisplayName(kind));
      }
    }
  }

  // ---- Variables ------------------------------------------------------------------------------

  VariableKind* find(const std::string& name) {
    auto found = variables_.find(lowerCase(name));
    return found == variables_.end() ? nullptr : &found->second;
  }

  void assign(const std::string& name, Kind kind, Position where) {
    if (kind == Kind::None) return;
    if (isArrayKind(kind)) {
      throw ScriptError(where, "an array cannot be assigned; copy its elements one by one");
    }
    VariableKind& variable = variables_[lowerCase(name)];
    if (variable.kind == Kind::None) {
      variable.kind = kind == Kind::Integer ? Kind::Longint : kind;
    } else if (!kindsAgree(kind, variable.kind)) {
      throw ScriptError(where, name + " holds a " + kindDisplayName(variable.kind) +
                                   ", it cannot take a " + kindDisplayName(kind));
    } else if (!variable.declared && kind == Kind::Real && variable.kind == Kind::Longint) {
      variable.kind = Kind::Real;  // a number that takes a real anywhere is a real
    }
  }

  // A variable a command or a loop writes: created with `kind` when new, else it must agree.
  void bind(const Expr& expr, Kind kind) {
    VariableKind& variable = variables_[lowerCase(expr.text)];
    if (variable.kind == Kind::None) {
      variable.kind = kind;
      return;
    }
    if (!kindsAgree(variable.kind, kind)) {
      throw ScriptError(expr.position, expr.text + " holds a " + kindDisplayName(variable.kind) +
                                           ", a " + kindDisplayName(kind) + " is wanted here");
    }
  }

  void assignElement(const Statement& statement) {
    Expr target;
    target.type = ExprType::Element;
    target.text = statement.target;
    target.position = statement.position;
    target.args.push_back(statement.index[0]);
    Kind element = kindOf(target);
    Kind value = kindOf(statement.value);
    if (element != Kind::None && value != Kind::None && !kindsAgree(value, element)) {
      throw ScriptError(
          statement.value.position,
          "a " + kindDisplayName(element) + " is wanted here, not a " + kindDisplayName(value));
    }
  }

  Kind declaredKind(const Statement& statement) const {
    std::string name = lowerCase(statement.kindName);
    bool isDirective = statement.kindName.size() > 2 && name.rfind("c_", 0) == 0;
    const DeclaredKind* first = isDirective ? std::begin(kDirectiveKinds) : std::begin(kVarKinds);
    const DeclaredKind* last = isDirective ? std::end(kDirectiveKinds) : std::end(kVarKinds);
    for (const DeclaredKind* known = first; known != last; ++known) {
      if (name == known->name) return known->kind;
    }
    for (const char* without : kKindsWithoutVariables) {
      if (name == without) {
        throw ScriptError(statement.kindPosition,
                          "zuvhost has no " + statement.kindName + " variables");
      }
    }
    if (isDirective) {
      throw ScriptError(statement.kindPosition, "unknown declaration " + statement.kindName);
    }
    std::string hint = name == "longint" ? " (a var Integer holds a Longint)" : "";
    throw ScriptError(statement.kindPosition,
                      "unknown kind '" + statement.kindName +
                          "': write Text, Integer, Real, Boolean, Date, Time, Blob or Picture" +
                          hint);
  }

  void declare(const Statement& statement) {
    Kind kind = declaredKind(statement);
    for (const Expr& expr : statement.args) {
      if (expr.type != ExprType::Variable) {
        throw ScriptError(expr.position, "only a variable can be declared");
      }
      VariableKind& variable = variables_[lowerCase(expr.text)];
      bool conflicts = variable.kind != Kind::None && variable.kind != kind &&
                       (variable.declared || !isNumberKind(variable.kind) || !isNumberKind(kind));
      if (conflicts) {
        throw ScriptError(expr.position,
                          expr.text +
                              (variable.declared ? " is already declared a " : " holds a ") +
                              kindDisplayName(variable.kind) + ", it cannot be declared a " +
                              kindDisplayName(kind));
      }
      variable = VariableKind{kind, true};
    }
  }

  // ---- Expressions ----------------------------------------------------------------------------

  // The kind of an expression; Kind::None while learning when it reads a variable whose kind is
  // not known yet. `asValue`: a command without result is refused.
  Kind kindOf(const Expr& expr, bool asValue = true) {
    switch (expr.type) {
      case ExprType::Number:
        return Kind::Longint;
      case ExprType::Real:
        return Kind::Real;
      case ExprType::Text:
        return Kind::Text;
      case ExprType::Date:
        return Kind::Date;
      case ExprType::Time:
        return Kind::Time;
      case ExprType::Variable:
        return variableKind(expr);
      case ExprType::Element:
        return elementKind(expr);
      case ExprType::Negate:
        return negatedKind(expr);
      case ExprType::Binary:
        return binary(expr);
      case ExprType::Call: {
        Kind kind = call(expr);
        if (asValue && kind == Kind::None) {
          throw ScriptError(expr.position, expr.text + " gives no value");
        }
        return kind;
      }
      case ExprType::Star:
        throw ScriptError(expr.position, kStarIsNoValue);
    }
    return Kind::None;
  }

  Kind variableKind(const Expr& expr) {
    VariableKind* variable = find(expr.text);
    if (variable && variable->kind != Kind::None) return variable->kind;
    if (learning_) return Kind::None;
    throw ScriptError(expr.position, "the variable " + expr.text + " has no value yet");
  }

  Kind elementKind(const Expr& expr) {
    Kind index = kindOf(expr.args[0]);
    if (index != Kind::None && !isNumberKind(index)) {
      throw ScriptError(expr.args[0].position,
                        "an index is a number, not a " + kindDisplayName(index));
    }
    Kind array = variableKind(expr);
    if (array == Kind::None) return Kind::None;
    if (!isArrayKind(array)) throw ScriptError(expr.position, expr.text + " is not an array");
    return elementKindOf(array);
  }

  Kind negatedKind(const Expr& expr) {
    Kind kind = kindOf(expr.args[0]);
    if (kind == Kind::None) return kind;
    if (!isNumberKind(kind)) {
      throw ScriptError(expr.position, "'-' takes a number, not a " + kindDisplayName(kind));
    }
    return kind == Kind::Integer ? Kind::Longint : kind;
  }

  Kind binary(const Expr& expr) {
    Kind left = kindOf(expr.args[0]);
    Kind right = kindOf(expr.args[1]);
    if (left == Kind::None || right == Kind::None) return Kind::None;
    Kind kind = binaryKind(expr.text, left, right);
    if (kind == Kind::None) {
      throw ScriptError(expr.position, refusedOperands(expr.text, left, right));
    }
    return kind;
  }

  Kind call(const Expr& expr) {
    if (!expr.hasParentheses) {
      if (const Typed* constant = findConstant(expr.text)) return constant->kind;
    }
    if (const HostCommand* command = findHostCommand(expr.text)) return hostCall(expr, *command);
    if (const host::CommandSpec* spec = findPluginCommand(manifest_, expr.text)) {
      return pluginCall(expr, *spec);
    }
    throw ScriptError(expr.position, unknownName(expr));
  }

  // A value argument must agree with the kind its parameter takes (Kind::None: any value).
  void valueArgument(const Expr& arg, Kind want) {
    Kind have = kindOf(arg);
    if (have == Kind::None || want == Kind::None) return;
    if (!kindsAgree(have, want)) {
      throw ScriptError(arg.position, "a " + kindDisplayName(want) + " is wanted here, not a " +
                                          kindDisplayName(have));
    }
  }

  Kind hostCall(const Expr& expr, const HostCommand& command) {
    size_t count = valueCount(expr);
    if (count < expr.args.size() && !command.takesStar) {
      throw ScriptError(expr.args.back().position, std::string(command.name) + " takes no '*'");
    }
    if (count < command.required || count > command.params.size()) {
      std::string takes = command.required == command.params.size()
                              ? plural(command.required, "parameter")
                              : std::to_string(command.required) + " to " +
                                    plural(command.params.size(), "parameter");
      throw ScriptError(expr.position, std::string(command.name) + " takes " + takes);
    }
    for (size_t i = 0; i < count; ++i) {
      const HostParam& param = command.params[i];
      const Expr& arg = expr.args[i];
      if (param.arrayElement) {
        Kind array = variableKind(expr.args[0]);
        valueArgument(arg, array == Kind::None ? Kind::None : elementKindOf(array));
        continue;
      }
      if (!param.variable) {
        valueArgument(arg, param.kind);
        continue;
      }
      if (arg.type != ExprType::Variable) {
        throw ScriptError(arg.position, "parameter " + std::to_string(i + 1) + " of " +
                                            command.name + " must be a variable");
      }
      if (param.kind != Kind::None) {
        bind(arg, param.kind);
      } else if (Kind kind = variableKind(arg); kind != Kind::None && !isArrayKind(kind)) {
        throw ScriptError(arg.position, std::string(command.name) + " takes an array, " + arg.text +
                                            " holds a " + kindDisplayName(kind));
      }
    }
    return command.result;
  }

  // Every parameter of a plug-in command is required, as its syntax in 4D has none optional.
  Kind pluginCall(const Expr& call, const host::CommandSpec& spec) {
    size_t count = call.args.size();
    if (count > spec.params.size()) {
      throw ScriptError(call.args[spec.params.size()].position,
                        spec.name + " takes at most " + plural(spec.params.size(), "parameter"));
    }
    if (count < spec.params.size()) {
      throw ScriptError(call.position, spec.name + " takes " +
                                           plural(spec.params.size(), "parameter") +
                                           ": parameter " + std::to_string(count + 1) + " (" +
                                           spec.params[count].name + ") is missing");
    }
    for (size_t i = 0; i < count; ++i) {
      const Expr& arg = call.args[i];
      const host::ParamSpec& param = spec.params[i];
      Kind want = fromHostKind(param.kind);
      if (!takesVariable(param)) {
        Kind have = kindOf(arg);
        if (have != Kind::None && !kindsAgree(have, want)) {
          throw ScriptError(arg.position, pluginParameter(spec, i) + " takes a " +
                                              kindDisplayName(want) + ", not a " +
                                              kindDisplayName(have));
        }
        continue;
      }
      if (arg.type != ExprType::Variable) {
        throw ScriptError(arg.position, pluginParameter(spec, i) + " must be a variable");
      }
      VariableKind* variable = find(arg.text);
      if (variable && variable->kind != Kind::None && !kindsAgree(variable->kind, want)) {
        throw ScriptError(arg.position, pluginParameter(spec, i) + " takes a " +
                                            kindDisplayName(want) + ", " + arg.text + " holds a " +
                                            kindDisplayName(variable->kind));
      }
      bind(arg, want);
    }
    return fromHostKind(spec.result);
  }

  const host::Manifest& manifest_;
  VariableKinds variables_;
  bool learning_ = true;
};

}  // namespace

std::string pluginParameter(const host::CommandSpec& spec, size_t index) {
  return "parameter " + std::to_string(index + 1) + " (" + spec.params[index].name + ") of " +
         spec.name;
}

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

bool kindsAgree(Kind have, Kind want) {
  return have == want || (isNumberKind(have) && isNumberKind(want));
}

const host::CommandSpec* findPluginCommand(const host::Manifest& manifest, std::string_view name) {
  if (const host::CommandSpec* spec = manifest.find(name)) return spec;
  std::string wanted = lowerCase(name);
  for (const host::CommandSpec& spec : manifest.commands()) {
    if (lowerCase(spec.name) == wanted) return &spec;
  }
  return nullptr;
}

VariableKinds checkScript(const Script& script, const host::Manifest& manifest) {
  return Checker(manifest).run(script);
}

}  // namespace zuvhost
