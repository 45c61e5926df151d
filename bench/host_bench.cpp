// What the strict host emulator costs per host call beside the realistic one, and whether that
// cost grows with values the call does not use: a host call (the current process number) made
// while the plug-in holds one unlocked handle of 100 bytes, 50 KB, 16 MB or 256 MB that the call
// never touches, or a thousand small ones.
//
//   host_bench [MB of the largest handle]   (default 256)

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "4DPluginAPI.h"
#include "bench_tools.h"
#include "emulator.h"

namespace {

using benchtools::Clock;

// Microseconds per host call, over enough calls to outlast the quarantine of old places.
double perHostCall(host::Emulator& emu, size_t bytes, int handles) {
  constexpr int kCalls = 10000;
  double micros = 0;
  emu.run(1, [&] {
    std::vector<HostHandle> held;
    for (int i = 0; i < handles; ++i) {
      HostHandle h = PA_NewHandle(static_cast<int32_t>(bytes));
      std::memset(*h, 1, bytes);  // written once, as a value the plug-in keeps
      held.push_back(h);
    }
    auto start = Clock::now();
    for (int i = 0; i < kCalls; ++i) PA_GetCurrentProcessNumber();
    micros = std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kCalls;
    for (HostHandle h : held) PA_DisposeHandle(h);
  });
  return micros;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t largest = benchtools::megabytesArgument(argc, argv, 256);
  std::printf("host_bench: microseconds per host call with unused handles held\n");
  std::printf("  %-24s %10s %10s\n", "handles held", "strict", "realistic");
  struct Case {
    const char* name;
    size_t bytes;
    int handles;
  };
  const std::string largeName = "one of " + std::to_string(largest) + " MB";
  const Case cases[] = {{"one of 100 bytes", 100, 1},
                        {"one of 50 KB", 50 << 10, 1},
                        {"one of 16 MB", size_t{16} << 20, 1},
                        {largeName.c_str(), largest << 20, 1},
                        {"1000 of 100 bytes", 100, 1000}};
  for (const Case& c : cases) {
    double times[2];
    for (bool strict : {true, false}) {
      host::Emulator emu(host::Options{.strict = strict});
      emu.attach(&FourDPackex);
      emu.startup();
      times[strict ? 0 : 1] = perHostCall(emu, c.bytes, c.handles);
      emu.shutdown();
    }
    std::printf("  %-24s %10.2f %10.2f\n", c.name, times[0], times[1]);
  }
  return 0;
}
