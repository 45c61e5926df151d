#include "pictures.h"

#include <cstdint>

namespace host::pictures {
namespace {

// Where a PICT's version opcode starts, and the header of zeros that a PICT file has in front.
constexpr size_t kPictVersion = 10;
constexpr size_t kPictFileHeader = 512;

bool holdsAt(const std::string& bytes, size_t at, const char* signature, size_t n) {
  return bytes.size() >= at + n && bytes.compare(at, n, signature, n) == 0;
}

bool startsWith(const std::string& bytes, const char* prefix, size_t n) {
  return holdsAt(bytes, 0, prefix, n);
}

uint32_t bigEndian(const std::string& b, size_t at, size_t n) {
  uint32_t v = 0;
  for (size_t i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

uint32_t littleEndian(const std::string& b, size_t at, size_t n) {
  uint32_t v = 0;
  for (size_t i = n; i-- > 0;) v = v << 8 | static_cast<unsigned char>(b[at + i]);
  return v;
}

Size jpegSize(const std::string& b) {
  size_t at = 2;
  while (at + 4 <= b.size()) {
    if (static_cast<unsigned char>(b[at]) != 0xFF) return {};
    unsigned char marker = static_cast<unsigned char>(b[at + 1]);
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
      at += 2;
      continue;
    }
    size_t length = bigEndian(b, at + 2, 2);
    bool frame =
        marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (at + 9 > b.size()) return {};
      return {static_cast<int32_t>(bigEndian(b, at + 7, 2)),
              static_cast<int32_t>(bigEndian(b, at + 5, 2)), true};
    }
    at += 2 + length;
  }
  return {};
}

// A PICT picture: its size (2 bytes) and frame (8 bytes), then the version opcode of version 1
// (0x11 0x01) or of version 2 (0x0011 0x02FF), from `at` (0, or past a PICT file's header).
bool isPict(const std::string& b, size_t at) {
  return holdsAt(b, at + kPictVersion, "\x11\x01", 2) ||
         holdsAt(b, at + kPictVersion, "\0\x11\x02\xFF", 4);
}

// The header size that an OS/2 1.x bitmap has: its width and height are unsigned 16-bit fields.
constexpr uint32_t kCoreHeader = 12;

// A BMP's width and height: in the 40-byte and later headers signed 32-bit fields, the height
// negative for rows stored top down. Neither can be 2^31 pixels: a width below 0, or a height
// of -2^31, whose magnitude no int32 holds, is no size.
Size bmpSize(const std::string& b) {
  if (b.size() >= 18 && littleEndian(b, 14, 4) == kCoreHeader) {
    if (b.size() < 22) return {};
    return {static_cast<int32_t>(littleEndian(b, 18, 2)),
            static_cast<int32_t>(littleEndian(b, 20, 2)), true};
  }
  if (b.size() < 26) return {};
  const int32_t width = static_cast<int32_t>(littleEndian(b, 18, 4));
  const int32_t height = static_cast<int32_t>(littleEndian(b, 22, 4));
  if (width < 0 || height == INT32_MIN) return {};
  return {width, height < 0 ? -height : height, true};
}

// A PNG's width and height: at most 2^31 - 1 each, so a larger one is no size.
Size pngSize(const std::string& b) {
  const uint32_t width = bigEndian(b, 16, 4);
  const uint32_t height = bigEndian(b, 20, 4);
  if (width > INT32_MAX || height > INT32_MAX) return {};
  return {static_cast<int32_t>(width), static_cast<int32_t>(height), true};
}

}  // namespace

std::string typeName(const std::string& bytes) {
  if (startsWith(bytes, "\x89PNG", 4)) return ".png;image/png";
  if (startsWith(bytes, "GIF87a", 6) || startsWith(bytes, "GIF89a", 6)) return ".gif;image/gif";
  if (startsWith(bytes, "\xFF\xD8\xFF", 3)) return ".jpg;image/jpeg";
  if (startsWith(bytes, "II*\0", 4) || startsWith(bytes, "MM\0*", 4)) return ".tif;image/tiff";
  if (startsWith(bytes, "BM", 2)) return ".bmp;image/bmp";
  if (isPict(bytes, 0) || isPict(bytes, kPictFileHeader)) return ".pict;image/pict";
  return ".bin;application/octet-stream";
}

Size sizeOf(const std::string& b) {
  if (startsWith(b, "\x89PNG", 4) && b.size() >= 24) return pngSize(b);
  if ((startsWith(b, "GIF87a", 6) || startsWith(b, "GIF89a", 6)) && b.size() >= 10) {
    return {static_cast<int32_t>(littleEndian(b, 6, 2)),
            static_cast<int32_t>(littleEndian(b, 8, 2)), true};
  }
  if (startsWith(b, "\xFF\xD8\xFF", 3)) return jpegSize(b);
  if (startsWith(b, "BM", 2)) return bmpSize(b);
  return {};
}

}  // namespace host::pictures
