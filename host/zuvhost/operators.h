// The operators of 4D's language on the values of a script: the kind each gives (so that a script
// is checked before it runs) and the value.
#pragma once

#include <string>

#include "script.h"
#include "values.h"

namespace zuvhost {

// The kind `left op right` gives, or Kind::None when the operator does not take these kinds.
Kind binaryKind(const std::string& op, Kind left, Kind right);
// The message for operands the operator does not take.
std::string refusedOperands(const std::string& op, Kind left, Kind right);

// Computes `left op right`, the kinds already checked with binaryKind. Throws ScriptError at
// `where` for a division by zero.
Typed applyBinary(const std::string& op, const Typed& left, const Typed& right, Position where);
Typed negate(const Typed& operand);

// Texts compared as 4D compares them: without regard to the case of letters.
int compareTexts(const host::Text& left, const host::Text& right);
host::Text foldCase(const host::Text& text);

}  // namespace zuvhost
