// The handlers of the picture commands: ZUV_PictureInfo, ZUV_Picture2File, ZUV_File2Picture,
// ZUV_Picture2Blob and ZUV_Blob2Picture (pictures.h).

#include <unicode/unistr.h>

#include "commands/zuv_commands.h"
#include "plugin/parameters.h"
#include "services/pictures.h"

namespace {

constexpr int32_t kFailed = -1;

// The path parameter's POSIX path in `path`, or null when it names no file.
const icu::UnicodeString* pathOf(PluginBlock* block, int index, icu::UnicodeString& path) {
  return platformPathParameter(block, index, path) == PathParameter::kRead ? &path : nullptr;
}

int32_t savePicture(PluginBlock* block) {
  HostPicture picture = PA_GetPictureParameter(block, 1);
  int32_t first = PA_GetLongParameter(block, 3);
  int32_t end = PA_GetLongParameter(block, 4);
  bool header = PA_GetLongParameter(block, 5) == 1;
  icu::UnicodeString path;
  return pictures::savePict(picture, pathOf(block, 2, path), first, end, header);
}

HostPicture readPicture(PluginBlock* block) {
  icu::UnicodeString path;
  const icu::UnicodeString* named = pathOf(block, 1, path);
  bool header = PA_GetLongParameter(block, 4) == 1;
  return pictures::readPict(named, PA_GetLongParameter(block, 2), PA_GetLongParameter(block, 3),
                            header);
}

}  // namespace

void handlePictureInfo(PluginBlock* block) {
  pictures::PictureInfo info;
  if (!pictures::getSize(PA_GetPictureParameter(block, 1), info)) {
    return PA_ReturnLong(block, kFailed);
  }
  PA_SetLongParameter(block, 2, 0);
  PA_SetLongParameter(block, 3, 0);
  PA_SetLongParameter(block, 4, info.height);
  PA_SetLongParameter(block, 5, info.width);
  if (!info.hasData) return PA_ReturnLong(block, 0);
  PA_SetLongParameter(block, 6, info.type);
  PA_ReturnLong(block, info.bytes);
}

void handlePicture2File(PluginBlock* block) { answerLong(block, savePicture); }

void handleFile2Picture(PluginBlock* block) {
  HostPicture picture = nullptr;
  try {
    picture = readPicture(block);
  } catch (...) {
    picture = nullptr;
  }
  if (picture != nullptr) PA_ReturnPicture(block, picture);
}

void handlePicture2Blob(PluginBlock* block) {
  unique_handle data = pictures::pictToBlob(PA_GetPictureParameter(block, 1));
  if (data) PA_ReturnBlobHandle(block, data.release());
}

void handleBlob2Picture(PluginBlock* block) {
  HostHandle blob = PA_GetBlobHandleParameter(block, 1);
  bool empty = (PA_GetLongParameter(block, 2) & 1) != 0;
  HostPicture picture = pictures::blobToPict(blob, empty);
  if (picture != nullptr) PA_ReturnPicture(block, picture);
}
