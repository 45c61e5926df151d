// The file path parameter of a command.

#include "utils_paths.h"

#include "xfile.h"

bool platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path) {
  const PA_Unistring* text = PA_GetStringParameter(block, index);
  if (text == nullptr || text->fLength <= 0 || text->fString == nullptr) return false;
  path.setTo(reinterpret_cast<const UChar*>(text->fString), text->fLength);
  return convertToPlatformPath(path);
}
