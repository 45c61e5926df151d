// What the BLOB and file transfer benchmarks share: a peer that is the benchmark program run
// again (a sink that reads a byte count, or a source that sends one), the plain blocking send
// loop with the stream's 32768-byte socket buffers, the plug-in in the host emulator's realistic
// mode, the best of three runs of each in turns, and rows of rates printed alike.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "emulator.h"
#include "peers/peers.h"

extern char** environ;

namespace benchtools {

using Clock = std::chrono::steady_clock;

constexpr int kStreamBuffer = 32768;
constexpr size_t kPeerPiece = 256 * 1024;
constexpr int kRuns = 3;

inline std::string pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i * 131 + (i >> 12));
  return out;
}

inline double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// ---- The peer process ---------------------------------------------------------------------------

// The peer's main, for a program run as `NAME peer sink|source BYTES`: prints its port, accepts
// one connection, and reads or sends the bytes.
inline int peerMain(const std::string& mode, size_t bytes) {
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

// ---- The benchmark's run ------------------------------------------------------------------------

// True when the program was run as its own peer (`NAME peer sink|source BYTES`), which has then
// run and left its exit code in `code`.
inline bool ranAsPeer(int argc, char** argv, int& code) {
  if (argc != 4 || std::string(argv[1]) != "peer") return false;
  code = peerMain(argv[2], std::strtoull(argv[3], nullptr, 10));
  return true;
}

// Prints the benchmark's title and answers the sizes it runs, in megabytes: 16, then fourfold up
// to its first argument (256 by default); none without a network namespace of our own.
inline std::vector<size_t> announce(const char* name, int argc, char** argv) {
  size_t largest = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  if (!peers::isolated()) {
    std::printf("%s: no network namespace of our own; skipped\n", name);
    return {};
  }
  std::printf("%s: loopback, realistic host, peers in another process\n", name);
  std::vector<size_t> sizes;
  for (size_t mb = 16; mb <= largest; mb *= 4) sizes.push_back(mb);
  return sizes;
}

// ---- The plain loop -----------------------------------------------------------------------------

inline bool sendPlain(int fd, const char* bytes, size_t n) {
  for (size_t sent = 0; sent < n;) {
    ssize_t k = send(fd, bytes + sent, std::min<size_t>(n - sent, kStreamBuffer), MSG_NOSIGNAL);
    if (k <= 0) return false;
    sent += static_cast<size_t>(k);
  }
  return true;
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

struct Row {
  size_t megabytes;
  double plugin;
  double plain;
};

// The best of kRuns runs of the plug-in and of the plain loop, run in turns, so that a change in
// the machine's state while the benchmark runs (another load, where the scheduler puts the peer)
// weighs on both alike.
template <typename PluginRun, typename PlainRun>
Row bestInTurns(size_t megabytes, PluginRun plugin, PlainRun plain) {
  Row row{megabytes, plugin(), plain()};
  for (int i = 1; i < kRuns; ++i) {
    row.plugin = std::min(row.plugin, plugin());
    row.plain = std::min(row.plain, plain());
  }
  return row;
}

inline void report(const char* name, const std::vector<Row>& rows) {
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

}  // namespace benchtools
