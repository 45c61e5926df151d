// The file path parameter of a command, and the close of a written file.

#include "utils_files.h"

#include <cerrno>

#include "xfile.h"

bool platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path) {
  const PA_Unistring* text = PA_GetStringParameter(block, index);
  if (text == nullptr || text->fLength <= 0 || text->fString == nullptr) return false;
  path.setTo(reinterpret_cast<const UChar*>(text->fString), text->fLength);
  return convertToPlatformPath(path);
}

int32_t closeWritten(unique_file& file) {
  if (!file) return 0;
  return std::fclose(file.release()) == 0 ? 0 : errno;
}
