// What `zuvhost --list` prints: every command of manifest.json in 4D's syntax notation.
#pragma once

#include <string>

#include "emulator.h"

namespace zuvhost {

// One line: "ZUV_Text2Base64 ( text : Text → ; options : Longint → ) : Text", with → for an
// input, ← for an output and ↔ for a parameter that is both; a command without result has no
// ": kind" at the end.
std::string syntaxLine(const host::CommandSpec& spec);

std::string listing(const host::Manifest& manifest);

}  // namespace zuvhost
