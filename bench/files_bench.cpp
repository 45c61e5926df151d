// The file conversions through the host emulator in its realistic mode, beside the tools a user
// would pick instead on the same files in the same run: GNU gzip for ZUV_File2Gzip and
// ZUV_Gzip2File, macutils' binhex and hexbin for the BinHex commands, cat for MacBinary (a copy
// with a header). BinHex and MacBinary also run at 4, 16 and 64 MB, to show a time per MB that
// does not grow with the file.
//
//   files_bench [gzip MB]   (default 256)
//
// Every figure is the best of three runs.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include <unistd.h>

#include "4DPluginAPI.h"
#include "emulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMB = 1024.0 * 1024.0;

std::string folder;

std::string at(const std::string& name) { return folder + "/" + name; }

// Text-like bytes (words on lines, some noise) that gzip compresses about as it does documents.
void writeText(const std::string& path, size_t bytes) {
  std::mt19937 random(42);
  std::ofstream out(path, std::ios::binary);
  std::string line;
  size_t written = 0;
  while (written < bytes) {
    line.clear();
    while (line.size() < 70) {
      const uint32_t pick = random() % 100;
      line.push_back(pick < 82   ? static_cast<char>('a' + random() % 26)
                     : pick < 97 ? ' '
                                 : static_cast<char>(random() & 0xFF));
    }
    line += "\r\n";
    const size_t n = std::min(line.size(), bytes - written);
    out.write(line.data(), static_cast<std::streamsize>(n));
    written += n;
  }
}

void writeRandom(const std::string& path, size_t bytes) {
  std::mt19937_64 random(7);
  std::string block(1 << 20, '\0');
  std::ofstream out(path, std::ios::binary);
  for (size_t written = 0; written < bytes; written += block.size()) {
    for (size_t i = 0; i < block.size(); i += 8) {
      const uint64_t value = random();
      std::copy_n(reinterpret_cast<const char*>(&value), 8, &block[i]);
    }
    out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - written)));
  }
}

// Seconds of the best of three calls, each the command's own time; -1 when one fails.
double timeCommand(host::Emulator& emu, const char* command, std::vector<host::Value> args) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    host::Outcome outcome = emu.call(command, args);
    if (outcome.number() != 0) {
      std::printf("  %s answered %lld\n", command, static_cast<long long>(outcome.number()));
      return -1;
    }
    best = std::min(best, std::chrono::duration<double>(outcome.elapsed).count());
  }
  return best;
}

double timeShell(const std::string& command) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const auto start = Clock::now();
    if (std::system(("cd '" + folder + "' && " + command).c_str()) != 0) return -1;
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

host::Value path(const std::string& name) { return host::Value{host::text(at(name))}; }

void printPair(const char* what, double mb, double ours, const char* tool, double theirs) {
  std::printf("  %-22s %8.1f MB/s   %-16s %8.1f MB/s   ratio %.2f\n", what, mb / ours, tool,
              mb / theirs, ours / theirs);
}

void benchGzip(host::Emulator& emu, size_t megabytes) {
  const double mb = static_cast<double>(megabytes);
  writeText(at("text"), megabytes << 20);
  std::printf("gzip, %zu MB of text (time ratio: ours / GNU gzip)\n", megabytes);
  const double ours =
      timeCommand(emu, "ZUV_File2Gzip", {path("text"), path("ours.gz"), int64_t{6}});
  const double gnu = timeShell("gzip -6 -c text > gnu.gz");
  printPair("ZUV_File2Gzip level 6", mb, ours, "gzip -6", gnu);
  const double expand = timeCommand(emu, "ZUV_Gzip2File", {path("gnu.gz"), path("out")});
  const double gunzip = timeShell("gzip -dc gnu.gz > out2");
  printPair("ZUV_Gzip2File", mb, expand, "gzip -dc", gunzip);
  std::system(("cd '" + folder + "' && rm -f text ours.gz gnu.gz out out2").c_str());
}

void benchBinHexAndMacBinary(host::Emulator& emu) {
  std::printf("BinHex and MacBinary, random bytes (seconds per MB)\n");
  for (size_t megabytes : {4, 16, 64}) {
    const double mb = static_cast<double>(megabytes);
    writeRandom(at("data"), megabytes << 20);
    const double encode = timeCommand(emu, "ZUV_File2BinHex", {path("data"), path("data.hqx")});
    const double decode = timeCommand(emu, "ZUV_BinHex2File", {path("data.hqx"), path("back")});
    const double packMB = timeCommand(emu, "ZUV_File2MacBinary", {path("data"), path("data.bin")});
    const double unpackMB =
        timeCommand(emu, "ZUV_MacBinary2File", {path("data.bin"), path("back")});
    std::printf(
        "  %2zu MB: BinHex encode %.4f s/MB, decode %.4f s/MB; MacBinary encode %.4f s/MB, "
        "decode %.4f s/MB\n",
        megabytes, encode / mb, decode / mb, packMB / mb, unpackMB / mb);
    if (megabytes == 64) {
      // macutils keeps a file as name.info, name.data, name.rsrc; hexbin -3 makes them.
      std::system(
          ("cd '" + folder + "' && mkdir -p mu && cd mu && hexbin -3 ../data.hqx " + "2>/dev/null")
              .c_str());
      const double binhex = timeShell("cd mu && binhex -R data.info > ../mu.hqx");
      const double hexbin = timeShell("cd mu && hexbin -3 ../data.hqx 2>/dev/null");
      const double cat = timeShell("cat data > copy");
      printPair("ZUV_File2BinHex", mb, encode, "binhex -R", binhex);
      printPair("ZUV_BinHex2File", mb, decode, "hexbin -3", hexbin);
      printPair("ZUV_File2MacBinary", mb, packMB, "cat", cat);
      printPair("ZUV_MacBinary2File", mb, unpackMB, "cat", cat);
    }
    std::system(
        ("cd '" + folder + "' && rm -rf data data.hqx data.bin back copy mu mu.hqx").c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  const size_t gzipMB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  char pattern[] = "/tmp/zuv-files-bench-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) return 1;
  folder = pattern;
  host::Emulator emu(host::Options{.strict = false});
  emu.attach(&FourDPackex);
  emu.startup();
  benchGzip(emu, gzipMB > 0 ? gzipMB : 256);
  benchBinHexAndMacBinary(emu);
  emu.shutdown();
  std::system(("rm -rf '" + folder + "'").c_str());
  return 0;
}
