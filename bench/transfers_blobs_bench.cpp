// BLOB transfers over loopback, through FourDPackex and the host emulator in its realistic mode,
// each against a peer in another process (this program run again as the peer), beside a plain
// blocking socket loop with the stream's 32768-byte socket buffers in the same run:
//   - ZUV_TCPSendBlob of 16, 64 and 256 MB (raw) against a blocking send loop;
//   - ZUV_TCPReceiveBlob of the same sizes (byte limit = size, no time-out) against a blocking
//     recv loop into a buffer of the whole size.
// Targets: at least half the plain loop's rate at 256 MB, and a time per MB that does not grow
// from 16 to 256 MB. Runs inside its own network namespace.
//
// Usage: transfers_blobs_bench [largest megabytes]   (default 256)
//        transfers_blobs_bench peer sink|source BYTES   (the peer; prints its port)

#include <algorithm>
#include <chrono>
#include <cstdio>
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

double plainSend(const std::string& bytes) {
  Peer peer("sink", bytes.size());
  int fd = benchtools::connectLoopback(peer.port(), kStreamBuffer);
  auto start = Clock::now();
  sendPlain(fd, bytes.data(), bytes.size());
  double time = seconds(Clock::now() - start);
  close(fd);
  return time;
}

double plainReceive(size_t bytes) {
  Peer peer("source", bytes);
  int fd = benchtools::connectLoopback(peer.port(), kStreamBuffer);
  std::string into(bytes, '\0');
  auto start = Clock::now();
  size_t got = 0;
  ssize_t n;
  while (got < bytes &&
         (n = recv(fd, &into[got], std::min<size_t>(bytes - got, kStreamBuffer), 0)) > 0) {
    got += static_cast<size_t>(n);
  }
  double time = seconds(Clock::now() - start);
  close(fd);
  if (got != bytes) std::printf("plain receive: %zu of %zu bytes\n", got, bytes);
  return time;
}

double pluginSendBlob(Plugin& plugin, const std::string& bytes) {
  Peer peer("sink", bytes.size());
  int64_t id = plugin.open(peer.port());
  host::Outcome out = plugin.call("ZUV_TCPSendBlob", {id, host::Blob{true, bytes}, int64_t{0},
                                                      int64_t{0}, int64_t{0}, int64_t{0}});
  if (out.number() != 0) std::printf("ZUV_TCPSendBlob answered %lld\n", (long long)out.number());
  plugin.release(id);
  return seconds(out.elapsed);
}

double pluginReceiveBlob(Plugin& plugin, size_t bytes) {
  Peer peer("source", bytes);
  int64_t id = plugin.open(peer.port());
  host::Outcome out =
      plugin.call("ZUV_TCPReceiveBlob", {id, host::Blob{true, {}}, static_cast<int64_t>(bytes),
                                         int64_t{0}, int64_t{0}, host::Text(), int64_t{-1}});
  if (out.number() != static_cast<int64_t>(bytes)) {
    std::printf("ZUV_TCPReceiveBlob answered %lld\n", (long long)out.number());
  }
  return seconds(out.elapsed);
}

}  // namespace

int main(int argc, char** argv) {
  int code = 0;
  if (benchtools::ranAsPeer(argc, argv, code)) return code;
  host::keepFreedMemory();
  std::vector<size_t> sizes = benchtools::announce("transfers_blobs_bench", argc, argv);
  if (sizes.empty()) return 0;
  Plugin plugin;
  std::vector<Row> sendRows, receiveRows;
  for (size_t mb : sizes) {
    const std::string bytes = pattern(mb << 20);
    sendRows.push_back(benchtools::bestInTurns(
        mb, [&] { return pluginSendBlob(plugin, bytes); }, [&] { return plainSend(bytes); }));
    receiveRows.push_back(benchtools::bestInTurns(
        mb, [&] { return pluginReceiveBlob(plugin, bytes.size()); },
        [&] { return plainReceive(bytes.size()); }));
  }
  report("ZUV_TCPSendBlob", sendRows);
  report("ZUV_TCPReceiveBlob", receiveRows);
  return 0;
}
