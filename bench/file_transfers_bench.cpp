// BLOB and file transfers over loopback, through FourDPackex and the host emulator in its
// realistic mode, each against a peer in another process (this program run again as the peer),
// beside a plain blocking socket loop with the stream's 32768-byte socket buffers in the same run:
//   - ZUV_TCPSendBlob of 16, 64 and 256 MB (raw) against a blocking send loop;
//   - ZUV_TCPReceiveBlob of the same sizes (byte limit = size, no time-out) against a blocking
//     recv loop into a buffer of the whole size;
//   - ZUV_TCPSendFile of a file of the same sizes (raw, default chunk) against a loop that reads
//     the file in 131072-byte pieces and sends each with blocking sends.
// Targets: at least half the plain loop's rate at 256 MB, and a time per MB that does not grow
// from 16 to 256 MB. Runs inside its own network namespace.
//
// Usage: file_transfers_bench [largest megabytes]   (default 256)
//        file_transfers_bench peer sink|source BYTES   (the peer; prints its port)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "bench_sockets.h"
#include "emulator.h"
#include "peers/peers.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStreamBuffer = 32768;
constexpr size_t kPeerPiece = 256 * 1024;
constexpr size_t kFilePiece = 131072;
constexpr int kRuns = 3;

std::string pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i * 131 + (i >> 12));
  return out;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- The peer process ---------------------------------------------------------------------------

int peerMain(const std::string& mode, size_t bytes) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = peers::address(peers::kLoopback1, 0);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  std::printf("%u\n", peers::localPort(listener));
  std::fflush(stdout);
  int fd = accept(listener, nullptr, nullptr);
  if (mode == "sink") {
    std::vector<char> buffer(kPeerPiece);
    size_t got = 0;
    ssize_t n;
    while (got < bytes && (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0) got += n;
    // Waits for the sender's close: a send that sees the peer close after its last chunk would
    // report it.
    while (recv(fd, buffer.data(), buffer.size(), 0) > 0) {
    }
  } else {
    std::string data = pattern(std::min(bytes, kPeerPiece));
    for (size_t sent = 0; sent < bytes;) {
      ssize_t n = send(fd, data.data(), std::min(data.size(), bytes - sent), MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  }
  close(fd);
  close(listener);
  return 0;
}

// This program run as a peer; its port is read from its first line.
class Peer {
 public:
  Peer(const char* mode, size_t bytes) {
    std::string count = std::to_string(bytes);
    const char* argv[] = {"/proc/self/exe", "peer", mode, count.c_str(), nullptr};
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, const_cast<char**>(argv),
                    environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c;
    while (pid_ > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    port_ = static_cast<uint16_t>(std::atoi(line.c_str()));
  }
  ~Peer() {
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
  }
  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

// ---- The plain loops ----------------------------------------------------------------------------

bool sendPlain(int fd, const char* bytes, size_t n) {
  for (size_t sent = 0; sent < n;) {
    ssize_t k = send(fd, bytes + sent, std::min<size_t>(n - sent, kStreamBuffer), MSG_NOSIGNAL);
    if (k <= 0) return false;
    sent += static_cast<size_t>(k);
  }
  return true;
}

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

// ---- The plug-in --------------------------------------------------------------------------------

class Plugin {
 public:
  Plugin() : emu_(host::Options{.strict = false}) {
    emu_.attach(&FourDPackex);
    emu_.startup();
  }
  ~Plugin() { emu_.shutdown(); }

  int64_t open(uint16_t port) {
    int64_t id = emu_.call("ZUV_TCPOpen", {host::text("127.0.0.1"),
                                           int64_t{static_cast<int16_t>(port)},
                                           int64_t{kStreamBuffer},
                                           int64_t{0},
                                           {},
                                           int64_t{0},
                                           int64_t{0}})
                     .number();
    emu_.call("ZUV_TCPWaitStatus", {id, int64_t{8}, int64_t{10}});
    return id;
  }
  void release(int64_t id) { emu_.call("ZUV_TCPRelease", {id, int64_t{0}}); }
  host::Outcome call(const char* name, std::vector<host::Value> args) {
    return emu_.call(name, std::move(args));
  }

 private:
  host::Emulator emu_;
};

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

double pluginSendFile(Plugin& plugin, const std::string& path, size_t bytes) {
  Peer peer("sink", bytes);
  int64_t id = plugin.open(peer.port());
  host::Outcome out = plugin.call("ZUV_TCPSendFile", {id, host::text(path), int64_t{0}, int64_t{0},
                                                      int64_t{0}, int64_t{0}, int64_t{0}});
  if (out.number() != 0) std::printf("ZUV_TCPSendFile answered %lld\n", (long long)out.number());
  plugin.release(id);
  return seconds(out.elapsed);
}

template <typename Run>
double best(Run run) {
  double time = run();
  for (int i = 1; i < kRuns; ++i) time = std::min(time, run());
  return time;
}

struct Row {
  size_t megabytes;
  double plugin;
  double plain;
};

void report(const char* name, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    std::printf("%-22s %4zu MB  %8.1f MB/s  plain loop %8.1f MB/s  %5.2f of plain  %7.3f ms/MB\n",
                name, row.megabytes, row.megabytes / row.plugin, row.megabytes / row.plain,
                row.plain / row.plugin, row.plugin * 1000 / row.megabytes);
  }
  const Row& first = rows.front();
  const Row& last = rows.back();
  std::printf("%-22s time per MB at %zu MB over %zu MB: %.2f\n", name, last.megabytes,
              first.megabytes, (last.plugin / last.megabytes) / (first.plugin / first.megabytes));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "peer") {
    return peerMain(argv[2], std::strtoull(argv[3], nullptr, 10));
  }
  host::keepFreedMemory();
  size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  if (!peers::isolated()) {
    std::printf("file_transfers_bench: no network namespace of our own; skipped\n");
    return 0;
  }
  std::printf("file_transfers_bench: loopback, realistic host, peers in another process\n");
  std::vector<size_t> sizes;
  for (size_t mb = 16; mb <= largest; mb *= 4) sizes.push_back(mb);
  const char* folder = std::getenv("TMPDIR");
  std::string path = std::string(folder != nullptr ? folder : "/tmp") + "/zuv-file-bench.bin";
  Plugin plugin;
  std::vector<Row> sendRows, receiveRows, fileRows;
  for (size_t mb : sizes) {
    const std::string bytes = pattern(mb << 20);
    sendRows.push_back({mb, best([&] { return pluginSendBlob(plugin, bytes); }),
                        best([&] { return plainSend(bytes); })});
    receiveRows.push_back({mb, best([&] { return pluginReceiveBlob(plugin, bytes.size()); }),
                           best([&] { return plainReceive(bytes.size()); })});
    std::ofstream(path, std::ios::binary) << bytes;
    fileRows.push_back({mb, best([&] { return pluginSendFile(plugin, path, bytes.size()); }),
                        best([&] { return plainFileSend(path, bytes.size()); })});
  }
  std::remove(path.c_str());
  report("ZUV_TCPSendBlob", sendRows);
  report("ZUV_TCPReceiveBlob", receiveRows);
  report("ZUV_TCPSendFile", fileRows);
  return 0;
}
