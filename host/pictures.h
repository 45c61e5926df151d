// What the host knows of picture bytes: the type name that their signature gives, and the size
// that their header gives.
#pragma once

#include <cstdint>
#include <string>

namespace host::pictures {

// ".png;image/png", ".gif;image/gif", ".jpg;image/jpeg", ".tif;image/tiff", ".bmp;image/bmp",
// ".pict;image/pict" for a PICT's version opcode at offset 10 (or 522, past a PICT file's
// header), anything else ".bin;application/octet-stream": bytes of no format the host knows are
// no PICT.
std::string typeName(const std::string& bytes);

struct Size {
  int32_t width = 0;
  int32_t height = 0;
  bool known = false;
};
// From a PNG IHDR, a GIF logical screen, a JPEG SOFn or a BMP header (an OS/2 header's 16-bit
// fields, a later header's height below 0 counted as its magnitude); unknown otherwise, and for a
// size that no longint can hold (a PNG's 2^31 and more, a BMP's width below 0 or height of -2^31).
Size sizeOf(const std::string& bytes);

}  // namespace host::pictures
