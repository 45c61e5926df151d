// TEXT TO BLOB and BLOB to text: texts in BLOBs in the formats 4D names, Mac Roman or UTF-8,
// ended by a zero byte, led by their length or neither.
#pragma once

#include <cstdint>

#include "script.h"
#include "values.h"

namespace zuvhost {

class Interpreter;

enum TextFormat : int64_t {
  kMacCString = 0,
  kMacPascalString = 1,
  kMacTextWithLength = 2,
  kMacTextWithoutLength = 3,
  kUtf8CString = 4,
  kUtf8TextWithLength = 5,
  kUtf8TextWithoutLength = 6,
};

Typed textToBlob(Interpreter& in, const Expr& call);
Typed blobToText(Interpreter& in, const Expr& call);

}  // namespace zuvhost
