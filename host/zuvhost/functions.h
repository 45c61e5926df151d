// The functions of 4D's language a script may call: String, Num, Char, Character code,
// Substring, Position, Replace string, Lowercase, Uppercase, Size of array, Current date,
// Current time, Milliseconds and Not.
#pragma once

#include "script.h"
#include "values.h"

namespace zuvhost {

class Interpreter;

Typed string(Interpreter& in, const Expr& call);
Typed num(Interpreter& in, const Expr& call);
Typed character(Interpreter& in, const Expr& call);
Typed characterCode(Interpreter& in, const Expr& call);
Typed substring(Interpreter& in, const Expr& call);
Typed position(Interpreter& in, const Expr& call);
Typed replaceString(Interpreter& in, const Expr& call);
Typed lowercase(Interpreter& in, const Expr& call);
Typed uppercase(Interpreter& in, const Expr& call);
Typed sizeOfArray(Interpreter& in, const Expr& call);
Typed currentDate(Interpreter& in, const Expr& call);
Typed currentTime(Interpreter& in, const Expr& call);
Typed milliseconds(Interpreter& in, const Expr& call);
Typed notOf(Interpreter& in, const Expr& call);

}  // namespace zuvhost
