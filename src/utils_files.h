// What the commands that read or write files share: the path parameter, a 4D text holding a
// POSIX or a colon-separated path made the POSIX path that xfile opens, and the holder of an open
// file that answers the errors of its close.
#pragma once

#include <cstdio>
#include <memory>

#include <unicode/unistr.h>

#include "4DPluginAPI.h"

// The POSIX path that text parameter `index` names. False for an empty text or a path that
// cannot be converted; `path` is then undefined.
bool platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path);

// Closes a file that a command opened, on every way out.
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

// Closes a written file now: 0, or fclose's errno when what was written could not be flushed.
int32_t closeWritten(unique_file& file);
