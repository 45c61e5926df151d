// The process's peak resident memory, reset on request: tests that bound what a command holds
// at its worst on a large or hostile input reset it before the call and read it after.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>

namespace zuvtest {

// Resets the peak to what the process holds now (Linux: writing 5 to /proc/self/clear_refs).
// False when the system does not allow it.
inline bool resetPeakMemory() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// Bytes resident now and at the peak since the last reset (VmRSS and VmHWM).
struct ResidentMemory {
  int64_t now = 0;
  int64_t peak = 0;
};

inline ResidentMemory residentMemory() {
  ResidentMemory memory;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) memory.now = std::stoll(line.substr(6)) * 1024;
    if (line.rfind("VmHWM:", 0) == 0) memory.peak = std::stoll(line.substr(6)) * 1024;
  }
  return memory;
}

}  // namespace zuvtest
