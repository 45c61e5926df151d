// Checks a script before it runs, as 4D's compiler checks a method: every name exists, every
// call has the arguments its command takes (all of a plug-in command's) and of their kinds, every
// output, BLOB, picture and array argument is a variable, operators and conditions get the kinds
// they take, and each variable holds one kind for the whole script (declared, or set by its first
// assignment).
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "emulator.h"
#include "script.h"
#include "values.h"

namespace zuvhost {

struct VariableKind {
  Kind kind = Kind::None;
  bool declared = false;
};
// Keyed by the lower-case name: 4D ignores case.
using VariableKinds = std::map<std::string, VariableKind>;

// Throws ScriptError at the first fault; answers the kind of every variable.
VariableKinds checkScript(const Script& script, const host::Manifest& manifest);

// A plug-in command by name, ignoring case as 4D does; nullptr when there is none.
const host::CommandSpec* findPluginCommand(const host::Manifest& manifest, std::string_view name);

// How messages name a plug-in command's parameter: "parameter 3 (byteLimit) of ZUV_TCPReceive"
// for index 2.
std::string pluginParameter(const host::CommandSpec& spec, size_t index);

// A plug-in parameter that takes a variable: every output, and every BLOB, picture and array.
bool takesVariable(const host::ParamSpec& param);

// Numbers go into any number cell; every other kind only into its own.
bool kindsAgree(Kind have, Kind want);

}  // namespace zuvhost
