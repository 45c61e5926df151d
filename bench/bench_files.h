// Temporary files of the benchmarks, for the tools they are compared with.
#pragma once

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <unistd.h>

// Writes bytes to a new file under /tmp and answers its path; the caller removes it.
inline std::string writeTemp(const std::string& bytes) {
  char path[] = "/tmp/zuv-bench-XXXXXX";
  int fd = mkstemp(path);
  if (fd >= 0) close(fd);
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

inline std::string readAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}
