// Helpers of the benchmarks that compare a command with a tool on the same bytes: random bytes,
// temporary files, the best of three runs of a shell command, and rates printed alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <unistd.h>

#include "support/hex.h"

namespace benchtools {

using Clock = std::chrono::steady_clock;
constexpr double kMB = 1024.0 * 1024.0;

// Random bytes, the same for a seed on every run.
inline std::string randomBytes(size_t size, uint64_t seed) {
  std::string bytes(size, '\0');
  std::mt19937_64 random(seed);
  for (size_t i = 0; i < size; i += 8) {
    uint64_t word = random();
    std::memcpy(&bytes[i], &word, std::min<size_t>(8, size - i));
  }
  return bytes;
}

using zuvtest::hexOf;

// The size in MB the benchmark was asked for as its first argument, or `fallback` when it was
// given none (or 0).
inline size_t megabytesArgument(int argc, char** argv, size_t fallback) {
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
  return megabytes == 0 ? fallback : megabytes;
}

// A new file in /tmp holding the bytes; the caller removes it.
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

// Seconds of the best of three runs of a shell command, process start included; -1 when it
// fails.
inline double timeShell(const std::string& command) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

inline void printRate(const char* what, double mb, double seconds) {
  if (seconds <= 0) return (void)std::printf("  %-30s  n/a\n", what);
  std::printf("  %-30s %9.1f MB/s  (%.3f s)\n", what, mb / seconds, seconds);
}

inline void printRatio(const char* what, double ours, double theirs) {
  if (theirs > 0) std::printf("  %-30s %9.2f x\n", what, ours / theirs);
}

}  // namespace benchtools
