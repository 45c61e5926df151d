// ZUV_BlobSearch and ZUV_BlobReplace on large BLOBs through the host emulator in its realistic
// mode, beside glibc's memmem and python3's bytes.find, count and replace on the same bytes in
// the same run: a search that finds nothing, a count of every CR LF, CR LF to LF (a million
// matches at 256 MB) and CR LF to CR LF CR LF (the BLOB grows). Each at 16 MB and 256 MB, so that
// the time per MB shows whether the work is linear.
//
//   blobs_bench   (no arguments of its own; those of script/bench are ignored)
//
// Times are the best of three runs of the command's own call.

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <unistd.h>

#include "4DPluginAPI.h"
#include "bench_tools.h"
#include "emulator.h"

namespace {

using benchtools::Clock;
using benchtools::kMB;
using benchtools::readAll;
using benchtools::writeTemp;

// Lines of 256 bytes ended by CR LF: a million of them in 256 MB.
std::string makeLines(size_t megabytes) {
  std::string line(254, 'x');
  for (size_t i = 0; i < line.size(); i += 7) line[i] = static_cast<char>('a' + i % 26);
  line += "\r\n";
  std::string bytes;
  bytes.reserve(megabytes << 20);
  while (bytes.size() < (megabytes << 20)) bytes += line;
  return bytes;
}

struct Operation {
  const char* name;
  const char* pattern;
  const char* with;  // null: a search
};

const Operation kOperations[] = {
    {"search, no match", "zq", nullptr},
    {"search, every CR LF", "\r\n", nullptr},
    {"replace CR LF by LF", "\r\n", "\n"},
    {"replace CR LF by CR LF CR LF", "\r\n", "\r\n\r\n"},
};

// Seconds of the best of three calls; count receives the matches found or replacements made.
double timePlugin(host::Emulator& emu, const std::string& bytes, const Operation& op,
                  int64_t& count) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    host::Value blob{host::Blob{true, bytes}};
    host::Outcome out =
        op.with == nullptr
            ? emu.call("ZUV_BlobSearch",
                       {blob, int64_t{0}, host::text(op.pattern), int64_t{INT32_MAX}, int64_t{1}})
            : emu.call("ZUV_BlobReplace", {blob, int64_t{0}, host::text(op.pattern),
                                           host::text(op.with), int64_t{INT32_MAX}, int64_t{1}});
    count = out.number(op.with == nullptr ? 4 : 5);
    best = std::min(best, std::chrono::duration<double>(out.elapsed).count());
  }
  return best;
}

// Seconds of the best of three memmem loops over the bytes (searches only).
double timeMemmem(const std::string& bytes, const char* pattern, int64_t& count) {
  double best = 1e9;
  size_t length = std::strlen(pattern);
  for (int i = 0; i < 3; ++i) {
    auto start = Clock::now();
    count = 0;
    const char* at = bytes.data();
    const char* end = bytes.data() + bytes.size();
    while (const void* match = memmem(at, static_cast<size_t>(end - at), pattern, length)) {
      ++count;
      at = static_cast<const char*>(match) + length;
    }
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// python3's bytes methods on the file's bytes, timed inside python: one line of seconds per
// operation, in the order of kOperations.
std::string pythonTimes(const std::string& path) {
  const char* script = R"(
import sys, time
data = open(sys.argv[1], 'rb').read()
def best(f):
    t = 1e9
    for _ in range(3):
        s = time.perf_counter(); f(); t = min(t, time.perf_counter() - s)
    return t
print(best(lambda: data.find(b'zq')))
print(best(lambda: data.count(b'\r\n')))
print(best(lambda: data.replace(b'\r\n', b'\n')))
print(best(lambda: data.replace(b'\r\n', b'\r\n\r\n')))
)";
  std::string scriptPath = writeTemp(script);
  std::string outPath = writeTemp("");
  std::string command = "/usr/bin/python3 " + scriptPath + " " + path + " > " + outPath;
  std::string out = std::system(command.c_str()) == 0 ? readAll(outPath) : "";
  unlink(scriptPath.c_str());
  unlink(outPath.c_str());
  return out;
}

void runSize(host::Emulator& emu, size_t megabytes) {
  std::string bytes = makeLines(megabytes);
  double mb = static_cast<double>(bytes.size()) / kMB;
  std::string path = writeTemp(bytes);
  std::string python = pythonTimes(path);
  unlink(path.c_str());
  std::printf("%.0f MB BLOB of 256-byte CR LF lines\n", mb);
  const char* pythonLine = python.c_str();
  for (const Operation& op : kOperations) {
    int64_t count = 0;
    double plugin = timePlugin(emu, bytes, op, count);
    double pythonSeconds = std::strtod(pythonLine, nullptr);
    const char* next = std::strchr(pythonLine, '\n');
    pythonLine = next != nullptr ? next + 1 : "";
    std::printf("  %-30s %8lld matches  plug-in %7.3f s (%6.2f ms/MB)  python %7.3f s: %.2f x\n",
                op.name, static_cast<long long>(count), plugin, plugin * 1000 / mb, pythonSeconds,
                pythonSeconds > 0 ? plugin / pythonSeconds : 0.0);
    if (op.with == nullptr) {
      int64_t found = 0;
      double reference = timeMemmem(bytes, op.pattern, found);
      std::printf("  %-30s %8lld matches  memmem  %7.3f s: plug-in %.2f x\n", "",
                  static_cast<long long>(found), reference, plugin / reference);
    }
  }
}

}  // namespace

int main() {
  host::keepFreedMemory();
  host::Emulator emu(host::Options{.strict = false});
  emu.attach(&FourDPackex);
  emu.startup();
  runSize(emu, 16);
  runSize(emu, 256);
  emu.shutdown();
  return 0;
}
