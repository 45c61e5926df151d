// The host commands a script may call, named as 4D names them: BLOB and document transfers,
// text to BLOB and back, lengths, picture files, DELAY PROCESS and the ARRAY declarations.
#pragma once

#include <string_view>

#include "script.h"
#include "values.h"

namespace zuvhost {

class Interpreter;

struct HostCommand {
  const char* name;
  size_t paramCount;      // every parameter is required
  unsigned variableArgs;  // bit i set: argument i must be a variable
  host::Kind result;      // None: the command gives no value
  Typed (*run)(Interpreter& interpreter, const Expr& call);
};

// Finds a host command by name, ignoring case as 4D does; nullptr when there is none.
const HostCommand* findHostCommand(std::string_view name);

}  // namespace zuvhost
