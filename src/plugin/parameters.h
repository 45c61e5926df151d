// The readers of the command parameters and results that need more than a cell read: a path
// parameter, made the POSIX path that xfile opens, a text parameter's UTF-8 bytes, an array
// parameter's variable and the text record of a text result. Only the command handlers call them.
// Nothing here keeps state or yields; only the UTF-8 bytes call the host, for its conversion.
#pragma once

#include <string>

#include <unicode/unistr.h>

#include "4DPluginAPI.h"
#include "4DPluginAPI_variables.h"

// What a path parameter held.
enum class PathParameter {
  kEmpty,    // the empty text: no path given
  kRefused,  // a path that holds U+0000 or cannot be converted: it names no file
  kRead,     // a path, now the POSIX path that xfile opens
};

// The one reader of every command's path parameters. Text parameter `index` is read unit for
// unit as far as its record's length goes, so that a U+0000 in it is seen (the file calls would
// end the path there and so name another file), and made the POSIX path that xfile opens. A
// refused path gives the command's "bad path" answer before any file is opened or written;
// `path` is then undefined.
PathParameter platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path);

// A text parameter's UTF-8 bytes, converted through the host (the empty text for a missing one).
std::string utf8Parameter(PluginBlock* block, int index);

// The variable of an array parameter, whose elements the host's array calls read and write.
PA_Variable* arrayParameter(PluginBlock* block, int index);

// The host's text record of a command's text result.
PA_Unistring* resultText(PluginBlock* block);
