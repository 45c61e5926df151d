// The host commands a script may call, named as 4D names them: BLOB and document transfers,
// text to BLOB and back, lengths, picture files, DELAY PROCESS, the ARRAY declarations and
// APPEND TO ARRAY, and the functions of 4D's language on texts, numbers, dates and times; and
// the constants of 4D a script may name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "script.h"
#include "values.h"

namespace zuvhost {

class Interpreter;

// What a parameter takes: a value of `kind` (None: any value), or a variable that holds or is
// given `kind` (None: any array); or, with `arrayElement`, a value of the kind of the elements of
// the array that the first argument names.
struct HostParam {
  Kind kind;
  bool variable;
  bool arrayElement = false;
};

struct HostCommand {
  const char* name;
  size_t required;  // the parameters after these may be left out
  std::vector<HostParam> params;
  Kind result;  // None: the command gives no value
  Typed (*run)(Interpreter& interpreter, const Expr& call);
  bool takesStar = false;  // the arguments may end with 4D's "*"
};

// 4D's "*" ends the arguments of the commands that take it; it is no value of its own.
extern const char kStarIsNoValue[];
bool endsWithStar(const Expr& call);
// The arguments of a call but a closing "*".
size_t valueCount(const Expr& call);

// Finds a host command by name, ignoring case as 4D does; nullptr when there is none.
const HostCommand* findHostCommand(std::string_view name);
// A constant by name, ignoring case; nullptr when there is none.
const Typed* findConstant(std::string_view name);
// What a call of a name that is neither a command nor (written without parentheses) a constant
// is told.
std::string unknownName(const Expr& call);

// The arguments of host commands: a text, a whole number, a BLOB variable.
host::Text textArgument(Interpreter& in, const Expr& expr);
int64_t wholeArgument(Interpreter& in, const Expr& expr);
host::Blob& blobVariable(Interpreter& in, const Expr& expr);

}  // namespace zuvhost
