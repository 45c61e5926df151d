// The parameter readers: see parameters.h.

#include "plugin/parameters.h"

#include <cstring>

#include "files/xfile.h"
#include "text/conversion.h"

PathParameter platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path) {
  const PA_Unistring* text = PA_GetStringParameter(block, index);
  if (text == nullptr || text->fLength <= 0 || text->fString == nullptr) {
    return PathParameter::kEmpty;
  }
  path.setTo(reinterpret_cast<const UChar*>(text->fString), text->fLength);
  return convertToPlatformPath(path) ? PathParameter::kRead : PathParameter::kRefused;
}

std::string utf8Parameter(PluginBlock* block, int index) {
  PA_Unistring* text = PA_GetStringParameter(block, index);
  if (text == nullptr || text->fLength <= 0) return {};
  EncodedChars bytes = convertToChars(text->fString, text->fLength, kCharSetUTF8);
  return bytes.chars != nullptr ? std::string(bytes.chars, static_cast<size_t>(bytes.length))
                                : std::string();
}

PA_Variable* arrayParameter(PluginBlock* block, int index) {
  return static_cast<PA_Variable*>(block->parameters[index - 1]);
}

PA_Unistring* resultText(PluginBlock* block) {
  PA_Unistring* text;
  std::memcpy(&text, block->result, sizeof text);
  return text;
}
