// The file path parameter of a command: a 4D text holding a POSIX or a colon-separated path,
// made the POSIX path that xfile opens.
#pragma once

#include <unicode/unistr.h>

#include "4DPluginAPI.h"

// The POSIX path that text parameter `index` names. False for an empty text or a path that
// cannot be converted; `path` is then undefined.
bool platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path);
