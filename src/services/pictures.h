// The picture commands: ZUV_PictureInfo, ZUV_Picture2File, ZUV_File2Picture, ZUV_Picture2Blob
// and ZUV_Blob2Picture, and the picture type patterns that ZUV_TCPSendPicture matches.
//
// A picture's data is that of its first format, as the host hands it out with its type name.
// Nothing here yields or keeps state.
#pragma once

#include <cstdint>

#include <unicode/unistr.h>

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

// What ZUV_PictureInfo reports of a picture: its size in pixels (0 when the host measures none),
// and when the picture has data, the code of its type (0 PICT, 1 GIF, 2 JPEG, 4 PNG, -1 any
// other) and the byte count of that data.
struct PictureInfo {
  int32_t width = 0;
  int32_t height = 0;
  bool hasData = false;
  int32_t type = -1;
  int32_t bytes = 0;
};

// ZUV_PictureInfo: false for a null picture, which has nothing to measure.
bool getSize(HostPicture picture, PictureInfo& info);
// ZUV_Picture2File: writes the bytes first .. end - 1 of the picture's data (all of them for a
// range that holds nothing), after 512 zero bytes when header is set, to the path with the
// extension of the picture's type. Answers 0, the errno of a failed file call, or -1 for a null
// picture, a picture without data or a null path (one that names no file).
int32_t savePict(HostPicture picture, const icu::UnicodeString* path, int32_t first, int32_t end,
                 bool header);
// ZUV_File2Picture: a new picture of the bytes first .. end - 1 of the file (all of them for a
// range that holds nothing), 512 header bytes skipped when header is set; null for a null path,
// a file that cannot be read or is larger than a BLOB, or a range that leaves nothing.
HostPicture readPict(const icu::UnicodeString* path, int32_t first, int32_t end, bool header);
// ZUV_Picture2Blob: the data of the picture's first format in a new handle; null for a null
// picture or one without data.
unique_handle pictToBlob(HostPicture picture);
// ZUV_Blob2Picture: a new picture of the BLOB's bytes (null for a null handle or when the host
// makes none); the BLOB is emptied when `empty` is set.
HostPicture blobToPict(HostHandle blob, bool empty);

}  // namespace pictures
