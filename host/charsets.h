// The host's character sets, as entry -675 converts between them: 2 UTF-16 in machine order,
// 7 UTF-8, 100 Mac OS Roman, 1005 ISO-8859-1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host::charsets {

constexpr int32_t kUTF16 = 2;
constexpr int32_t kUTF8 = 7;
constexpr int32_t kMacRoman = 100;
constexpr int32_t kLatin1 = 1005;

bool known(int32_t charset);

struct Converted {
  size_t written = 0;
  bool oddUTF16 = false;  // the UTF-16 source had an odd byte count; its last byte was ignored
};

// Converts source into at most capacity bytes of destination, stopping after the last whole
// character that fits. Writes no terminator. Both character sets must be known().
Converted convert(const unsigned char* source, size_t size, int32_t from,
                  unsigned char* destination, size_t capacity, int32_t to);

}  // namespace host::charsets
