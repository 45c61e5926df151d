// The UTF-8 bytes of a text as the byte codecs (Base64, quoted-printable) read them. Each call
// converts through the host; nothing here keeps state.
#pragma once

#include <string_view>

#include "text/conversion.h"

// The bytes of units in UTF-8, through the host.
inline EncodedChars utf8Of(std::u16string_view units) {
  return convertToChars(reinterpret_cast<const unsigned short*>(units.data()),
                        static_cast<int>(units.size()), kCharSetUTF8);
}

inline std::string_view viewOf(const EncodedChars& bytes) {
  if (bytes.chars == nullptr || bytes.length <= 0) return {};
  return {bytes.chars, static_cast<size_t>(bytes.length)};
}
