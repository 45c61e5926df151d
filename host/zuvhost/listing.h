// What `zuvhost --list` prints: every command of manifest.json in 4D's syntax notation.
#pragma once

#include <string>
#include <string_view>

#include "emulator.h"

namespace zuvhost {

// One line: "ZUV_Text2Base64 ( text : Text → ; options : Longint → ) : Text", with → for an
// input, ← for an output and ↔ for a parameter that is both; a command without result has no
// ": kind" at the end.
std::string syntaxLine(const host::CommandSpec& spec);

// The syntax line of the command reference (docs/commands.md), as 4D's documentation writes it:
// "ZUV_Text2Base64 ( text : Text ; options : Longint ) : Text", directions left to the table.
std::string referenceSyntax(const host::CommandSpec& spec);

// Every command, one syntax line each, under the theme of the command reference that holds it;
// with a filter, only the commands whose name or theme holds it (ASCII letters in any case).
std::string listing(const host::Manifest& manifest, std::string_view filter = {});

}  // namespace zuvhost
