// The picture commands: ZUV_PictureInfo, ZUV_Picture2File, ZUV_File2Picture, ZUV_Picture2Blob
// and ZUV_Blob2Picture, and the picture type patterns that ZUV_TCPSendPicture matches.
//
// A picture's data is that of its first format, as the host hands it out with its type name.
// Each body reads its own parameters and sets its own result; nothing here yields or keeps state.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"
#include "text/conversion.h"

namespace pictures {

// The type name patterns, indexed by picture type number: PICT, GIF, JPEG, PNG. Each ends with
// the host's wildcard character, so that it matches a type name with any rest.
extern const PA_Unichar* const supportedTypes[4];
constexpr int kPICT = 0;
constexpr int kGIF = 1;
constexpr int kJPG = 2;
constexpr int kPNG = 3;

// A type name that the host answered with a picture's data, disposed at the end of the scope. A
// record that the host did not make (an error answered with it) is never disposed.
class TypeName {
 public:
  TypeName() = default;
  ~TypeName() { reset(); }
  TypeName(const TypeName&) = delete;
  TypeName& operator=(const TypeName&) = delete;
  // Takes the record of the last PA_GetPictureData call, when the host answered no error.
  void take(const PA_Unistring& text, bool made);
  void reset();
  const PA_Unistring& get() const { return text_; }
  bool made() const { return made_; }

 private:
  PA_Unistring text_{};
  bool made_ = false;
};

// The index of the first pattern of supportedTypes that the type name matches; -1 for none.
int getPictType(const TypeName& typeName);
// The data of format `index` of the picture in a new handle, with its type name; null (and no
// type name) when the picture has no such format or the host gives no handle.
unique_handle getPictureData(HostPicture picture, int32_t index, TypeName& typeName);

void getSize(PluginBlock* block);
void savePict(PluginBlock* block);
void readPict(PluginBlock* block);
void pictToBlob(PluginBlock* block);
void blobToPict(PluginBlock* block);

}  // namespace pictures
