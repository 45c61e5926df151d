// A piece of text or bytes repeated, for the long and regular inputs that tests build.
#pragma once

#include <cstddef>
#include <string>

namespace zuvtest {

inline std::string repeated(const std::string& piece, size_t times) {
  std::string bytes;
  bytes.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) bytes += piece;
  return bytes;
}

}  // namespace zuvtest
