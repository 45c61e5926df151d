// Plain TCP and UDP peers for the network tests, each a thread with blocking sockets on
// 127.0.0.1 or 127.0.0.2 and a port chosen by the system, and the network namespace that the
// test binary enters before any test runs.
//
// The namespace: at start-up the binary calls unshare(CLONE_NEWNET) (as root), or
// unshare(CLONE_NEWUSER | CLONE_NEWNET) (as another user, while still single-threaded), and
// brings its own loopback up. Nothing else exists there, so no test can reach a resolver or
// another host. Where neither call is allowed, isolated() is false and the network tests skip.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/open_descriptors.h"

namespace peers {

// ---- The namespace ---------------------------------------------------------------------------

inline bool bringLoopbackUp() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP | IFF_RUNNING;
  up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  ::close(fd);
  return up;
}

inline bool enterNamespace() {
  if (unshare(CLONE_NEWNET) != 0 && unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
  return bringLoopbackUp();
}

// Entered once, by the first caller: the test files call it from a static initialiser, before
// main and before any thread exists.
inline bool isolated() {
  static const bool entered = enterNamespace();
  return entered;
}

constexpr const char* kNoNamespace =
    "no network namespace of our own (unshare --net is not allowed here): network tests skipped";

// ---- Waiting for a condition ------------------------------------------------------------------

// Retries `done` until it holds, for at most `limit`; answers whether it came to hold. Used to
// await a peer's action, never to wait for time.
inline bool await(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

// ---- Addresses and descriptors ----------------------------------------------------------------

constexpr uint32_t kLoopback1 = 0x7F000001;  // 127.0.0.1
constexpr uint32_t kLoopback2 = 0x7F000002;  // 127.0.0.2

inline sockaddr_in address(uint32_t host, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host);
  a.sin_port = htons(port);
  return a;
}

inline uint16_t localPort(int fd) {
  sockaddr_in a{};
  socklen_t length = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
  return ntohs(a.sin_port);
}

// The number of descriptors this process holds now.
inline int openDescriptors() { return static_cast<int>(zuvtest::openDescriptors().size()); }

// A port on which nothing listens: bound once, then closed.
inline uint16_t refusedPort(uint32_t host = kLoopback1) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = address(host, 0);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  uint16_t port = localPort(fd);
  ::close(fd);
  return port;
}

// ---- TCP peers ----------------------------------------------------------------------------------

// How a source ends after writing its bytes.
enum class Ending {
  Fin,    // shutdown(SHUT_WR): the stream sees the end, then closes its side
  Close,  // close() with nothing unread: FIN, then RST to our next send
  Reset,  // SO_LINGER {1, 0} close: RST at once
};

// A peer that accepts one connection and runs `serve` on it in its own thread.
class Peer {
 public:
  using Serve = std::function<void(int connection, Peer& self)>;

  Peer(Serve serve, uint32_t host = kLoopback1, int receiveBuffer = 0) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (receiveBuffer > 0) {
      setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in a = address(host, 0);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 16);
    port_ = localPort(listener_);
    thread_ = std::thread([this, serve] {
      int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) return;
      connection_ = connection;
      connected_ = true;
      serve(connection, *this);
      if (!closed_.exchange(true)) ::close(connection);
      finished_ = true;
    });
  }
  ~Peer() {
    stop();
    // Ends a serve that still waits for the stream, when a failed test left it open.
    if (connected_ && !closed_) shutdown(connection_, SHUT_RDWR);
    shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  int16_t port() const { return static_cast<int16_t>(port_); }
  bool connected() const { return connected_; }
  bool finished() const { return finished_; }
  // Asks a peer that waits (wait()) to go on.
  void stop() { stopped_ = true; }
  bool stopped() const { return stopped_; }
  // Waits until stop().
  void waitForStop() {
    while (!stopped_) std::this_thread::yield();
  }
  // Marks the connection closed by serve itself, so that it is not closed twice.
  void closedBySelf() { closed_ = true; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<int> connection_{-1};
  std::atomic<bool> connected_{false};
  std::atomic<bool> finished_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> closed_{false};
};

inline void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// Echoes every byte back until the stream closes its side, then closes.
inline Peer::Serve echo() {
  return [](int fd, Peer&) {
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) writeAll(fd, std::string(buffer, n));
  };
}

// Reads everything and counts it, until the stream closes its side.
inline Peer::Serve counter(std::atomic<int64_t>& received) {
  return [&received](int fd, Peer&) {
    char buffer[65536];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) received += n;
  };
}

// Never reads: the buffers fill, and the stream's sends meet a full socket.
inline Peer::Serve sink() {
  return [](int, Peer& self) { self.waitForStop(); };
}

// Writes `bytes`, waits until `unread` bytes have arrived from the stream when it is not 0 (so
// that they are unread at the close), then ends as `ending` says and waits for stop().
inline Peer::Serve source(std::string bytes, Ending ending, size_t unread = 0) {
  return [bytes, ending, unread](int fd, Peer& self) {
    writeAll(fd, bytes);
    if (unread > 0) {
      int pending = 0;
      while (static_cast<size_t>(pending) < unread && !self.stopped()) {
        ioctl(fd, FIONREAD, &pending);
        std::this_thread::yield();
      }
    }
    if (ending == Ending::Fin) {
      shutdown(fd, SHUT_WR);
      self.waitForStop();
      return;
    }
    if (ending == Ending::Reset) {
      linger hard{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    }
    ::close(fd);
    self.closedBySelf();
    self.waitForStop();
  };
}

// Sends one ordinary byte, then one urgent byte, and waits for stop().
inline Peer::Serve urgent() {
  return [](int fd, Peer& self) {
    ::send(fd, "a", 1, MSG_NOSIGNAL);
    ::send(fd, "!", 1, MSG_OOB | MSG_NOSIGNAL);
    self.waitForStop();
  };
}

// ---- UDP ----------------------------------------------------------------------------------------

// A UDP socket bound to 127.0.0.1 and a system-chosen port.
class UdpPeer {
 public:
  UdpPeer() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = address(kLoopback1, 0);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    port_ = localPort(fd_);
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;
  uint16_t port() const { return port_; }
  bool sendTo(uint16_t port, const std::string& bytes) {
    sockaddr_in to = address(kLoopback1, port);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof to) == static_cast<ssize_t>(bytes.size());
  }
  // One datagram, waiting at most `limit`; empty optional-like: false when none came.
  bool receive(std::string& bytes, int limitMs = 10000) {
    pollfd entry{fd_, POLLIN, 0};
    if (poll(&entry, 1, limitMs) <= 0) return false;
    char buffer[70000];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return false;
    bytes.assign(buffer, static_cast<size_t>(n));
    return true;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace peers
