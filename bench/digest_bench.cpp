// Digests of one large BLOB through ZUV_DigestAddBlob, in the host emulator's realistic mode,
// beside `openssl dgst`, md5sum, sha1sum and python3's zlib on the same bytes in the same run.
//
//   digest_bench [MB]   (default 256)
//
// The plug-in's time is its commands' own (init, one add of the whole BLOB, final); the tools'
// time is the best of three runs of each on a file of the same bytes in the page cache, process
// start included (a few milliseconds). The target: within 1.1 x of `openssl dgst`.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

#include "4DPluginAPI.h"
#include "bench_tools.h"
#include "emulator.h"

namespace {

using namespace benchtools;

struct Algorithm {
  const char* name;
  int64_t number;
  const char* openssl;  // the `openssl dgst` options, or null
  const char* other;    // another tool a user would pick, or null
};

const Algorithm kAlgorithms[] = {
    {"md5", 5, "-md5", "md5sum"},
    {"sha1", 1, "-sha1", "sha1sum"},
    {"md4", 4, "-md4 -provider legacy -provider default", nullptr},
    {"ripemd160", 10, "-ripemd160", nullptr},
    {"crc32", 100, nullptr, nullptr},
    {"adler32", 101, nullptr, nullptr},
};

// The best of three digests of the BLOB, the commands' own time; value receives the digest.
double timeDigest(host::Emulator& emu, int64_t algorithm, const host::Value& blob,
                  std::u16string& value) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    host::Outcome init = emu.call("ZUV_DigestInit", {algorithm});
    host::Outcome add = emu.call("ZUV_DigestAddBlob", {host::Value{init.number()}, blob});
    host::Outcome final = emu.call("ZUV_DigestFinal", {host::Value{init.number()}, int64_t{1}});
    value = final.text();
    best = std::min(
        best, std::chrono::duration<double>(init.elapsed + add.elapsed + final.elapsed).count());
  }
  return best;
}

// python3's zlib inside python, so that start-up does not count.
double pythonTime(const std::string& path, const char* function) {
  std::string out = writeTemp("");
  std::string command =
      "/usr/bin/python3 -c \"import sys, time, zlib\n"
      "d = open(sys.argv[1], 'rb').read()\n"
      "t = 1e9\n"
      "for _ in range(3):\n"
      "  s = time.perf_counter(); zlib." +
      std::string(function) +
      "(d); t = min(t, time.perf_counter() - s)\n"
      "print(t)\" " +
      path + " > " + out;
  double seconds = -1;
  if (std::system(command.c_str()) == 0) {
    std::ifstream(out) >> seconds;
  }
  unlink(out.c_str());
  return seconds;
}

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  size_t megabytes = megabytesArgument(argc, argv, 256);
  host::Emulator emu(host::Options{.strict = false});
  emu.attach(&FourDPackex);
  emu.startup();

  std::string bytes = randomBytes(megabytes * 1024 * 1024, 256);
  double mb = static_cast<double>(bytes.size()) / kMB;
  std::string path = writeTemp(bytes);
  host::Value blob{host::Blob{true, bytes}};
  std::string().swap(bytes);
  std::printf("input: a BLOB of %.0f MB of random bytes\n", mb);

  for (const Algorithm& algorithm : kAlgorithms) {
    std::u16string value;
    double ours = timeDigest(emu, algorithm.number, blob, value);
    std::printf("%s  %s\n", algorithm.name, host::utf8(value).c_str());
    printRate("plug-in", mb, ours);
    if (algorithm.openssl != nullptr) {
      double openssl =
          timeShell(std::string("openssl dgst ") + algorithm.openssl + " " + path + " > /dev/null");
      printRate("openssl dgst", mb, openssl);
      printRatio("plug-in / openssl dgst", ours, openssl);
    }
    if (algorithm.other != nullptr) {
      double other = timeShell(std::string(algorithm.other) + " " + path + " > /dev/null");
      printRate(algorithm.other, mb, other);
    }
    if (algorithm.number >= 100) {
      double python = pythonTime(path, algorithm.number == 100 ? "crc32" : "adler32");
      printRate("python3 zlib", mb, python);
      printRatio("plug-in / python3 zlib", ours, python);
    }
  }
  unlink(path.c_str());
  emu.shutdown();
  return 0;
}
