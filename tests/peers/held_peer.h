// A TCP peer whose end of the connection a test drives itself: it accepts one connection and
// keeps it open, and the test writes, reads and half-closes it from its own thread.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <string>

#include <poll.h>
#include <sys/socket.h>

#include "peers/peers.h"

namespace peers {

// Connected once awaitConnected() is true; reads and writes are the test thread's own.
class HeldPeer {
 public:
  explicit HeldPeer(uint32_t host = kLoopback1)
      : peer_(
            [this](int fd, Peer& self) {
              fd_ = fd;
              self.waitForStop();
            },
            host) {}
  int16_t port() const { return peer_.port(); }
  bool awaitConnected() {
    return await([&] { return fd_.load() >= 0; });
  }
  void write(const std::string& bytes) { writeAll(fd_, bytes); }
  // Reads until `count` bytes have come, the stream has closed, or 10 seconds have passed.
  std::string read(size_t count) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < count) {
      pollfd entry{fd_, POLLIN, 0};
      if (poll(&entry, 1, 10000) <= 0) break;
      ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
      if (n <= 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    return bytes;
  }
  // True when nothing more is waiting to be read now.
  bool nothingWaiting() {
    pollfd entry{fd_, POLLIN, 0};
    return poll(&entry, 1, 0) == 0;
  }
  void finish() { shutdown(fd_, SHUT_WR); }

 private:
  std::atomic<int> fd_{-1};
  Peer peer_;
};

}  // namespace peers
