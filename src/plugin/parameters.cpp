// The parameter readers: see parameters.h.

#include "plugin/parameters.h"

#include "files/xfile.h"

PathParameter platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path) {
  const PA_Unistring* text = PA_GetStringParameter(block, index);
  if (text == nullptr || text->fLength <= 0 || text->fString == nullptr) {
    return PathParameter::kEmpty;
  }
  path.setTo(reinterpret_cast<const UChar*>(text->fString), text->fLength);
  return convertToPlatformPath(path) ? PathParameter::kRead : PathParameter::kRefused;
}
