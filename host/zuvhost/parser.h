// Reads a script's statements: one a line, "//" comments, blank lines skipped.
#pragma once

#include <string_view>

#include "script.h"

namespace zuvhost {

// Parses every line of `source` (lines end with CR, as 4D writes its methods, LF or CR LF);
// `firstLine` numbers the first line. Throws ScriptError at the first fault, so that a script with
// a syntax error runs nothing.
Script parseScript(std::string_view source, int firstLine = 1);

}  // namespace zuvhost
