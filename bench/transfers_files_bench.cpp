// File transfers over loopback, through FourDPackex and the host emulator in its realistic mode,
// each against a peer in another process (this program run again as the peer), beside a plain
// blocking socket loop with the stream's 32768-byte socket buffers in the same run:
//   - ZUV_TCPSendFile of a file of 16, 64 and 256 MB (raw, default chunk) against a loop that
//     reads the file in 131072-byte pieces and sends each with blocking sends.
// Targets: at least half the plain loop's rate at 256 MB, and a time per MB that does not grow
// from 16 to 256 MB. Runs inside its own network namespace.
//
// Usage: transfers_files_bench [largest megabytes]   (default 256)
//        transfers_files_bench peer sink BYTES   (the peer; prints its port)

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "bench_sockets.h"
#include "bench_transfers.h"
#include "emulator.h"

namespace {

using benchtools::Clock;
using benchtools::kStreamBuffer;
using benchtools::pattern;
using benchtools::Peer;
using benchtools::Plugin;
using benchtools::report;
using benchtools::Row;
using benchtools::seconds;
using benchtools::sendPlain;

constexpr size_t kFilePiece = 131072;

double plainFileSend(const std::string& path, size_t bytes) {
  Peer peer("sink", bytes);
  int fd = benchtools::connectLoopback(peer.port(), kStreamBuffer);
  auto start = Clock::now();
  FILE* file = std::fopen(path.c_str(), "rb");
  std::vector<char> buffer(kFilePiece);
  size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) {
    if (!sendPlain(fd, buffer.data(), n)) break;
  }
  std::fclose(file);
  double time = seconds(Clock::now() - start);
  close(fd);
  return time;
}

double pluginSendFile(Plugin& plugin, const std::string& path, size_t bytes) {
  Peer peer("sink", bytes);
  int64_t id = plugin.open(peer.port());
  host::Outcome out = plugin.call("ZUV_TCPSendFile", {id, host::text(path), int64_t{0}, int64_t{0},
                                                      int64_t{0}, int64_t{0}, int64_t{0}});
  if (out.number() != 0) std::printf("ZUV_TCPSendFile answered %lld\n", (long long)out.number());
  plugin.release(id);
  return seconds(out.elapsed);
}

}  // namespace

int main(int argc, char** argv) {
  int code = 0;
  if (benchtools::ranAsPeer(argc, argv, code)) return code;
  host::keepFreedMemory();
  std::vector<size_t> sizes = benchtools::announce("transfers_files_bench", argc, argv);
  if (sizes.empty()) return 0;
  const char* folder = std::getenv("TMPDIR");
  std::string path = std::string(folder != nullptr ? folder : "/tmp") + "/zuv-file-bench.bin";
  Plugin plugin;
  std::vector<Row> fileRows;
  for (size_t mb : sizes) {
    const std::string bytes = pattern(mb << 20);
    std::ofstream(path, std::ios::binary) << bytes;
    fileRows.push_back(benchtools::bestInTurns(
        mb, [&] { return pluginSendFile(plugin, path, bytes.size()); },
        [&] { return plainFileSend(path, bytes.size()); }));
  }
  std::remove(path.c_str());
  report("ZUV_TCPSendFile", fileRows);
  return 0;
}
