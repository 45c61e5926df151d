// What the host knows of picture bytes: the type name that their signature gives, and the size
// that their header gives.
#pragma once

#include <cstdint>
#include <string>

namespace host::pictures {

// ".png;image/png", ".gif;image/gif", ".jpg;image/jpeg", ".tif;image/tiff", ".bmp;image/bmp",
// anything else ".pict;image/pict".
std::string typeName(const std::string& bytes);

struct Size {
  int32_t width = 0;
  int32_t height = 0;
  bool known = false;
};
// From a PNG IHDR, a GIF logical screen, a JPEG SOFn or a BMP header; unknown otherwise.
Size sizeOf(const std::string& bytes);

}  // namespace host::pictures
