#include "pictures.h"

#include <cstdlib>

namespace host::pictures {
namespace {

bool startsWith(const std::string& bytes, const char* prefix, size_t n) {
  return bytes.size() >= n && bytes.compare(0, n, prefix, n) == 0;
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

}  // namespace

std::string typeName(const std::string& bytes) {
  if (startsWith(bytes, "\x89PNG", 4)) return ".png;image/png";
  if (startsWith(bytes, "GIF87a", 6) || startsWith(bytes, "GIF89a", 6)) return ".gif;image/gif";
  if (startsWith(bytes, "\xFF\xD8\xFF", 3)) return ".jpg;image/jpeg";
  if (startsWith(bytes, "II*\0", 4) || startsWith(bytes, "MM\0*", 4)) return ".tif;image/tiff";
  if (startsWith(bytes, "BM", 2)) return ".bmp;image/bmp";
  return ".pict;image/pict";
}

Size sizeOf(const std::string& b) {
  if (startsWith(b, "\x89PNG", 4) && b.size() >= 24) {
    return {static_cast<int32_t>(bigEndian(b, 16, 4)), static_cast<int32_t>(bigEndian(b, 20, 4)),
            true};
  }
  if ((startsWith(b, "GIF87a", 6) || startsWith(b, "GIF89a", 6)) && b.size() >= 10) {
    return {static_cast<int32_t>(littleEndian(b, 6, 2)),
            static_cast<int32_t>(littleEndian(b, 8, 2)), true};
  }
  if (startsWith(b, "\xFF\xD8\xFF", 3)) return jpegSize(b);
  if (startsWith(b, "BM", 2) && b.size() >= 26) {
    int32_t height = static_cast<int32_t>(littleEndian(b, 22, 4));
    return {static_cast<int32_t>(littleEndian(b, 18, 4)), std::abs(height), true};
  }
  return {};
}

}  // namespace host::pictures
