// Bulk transfer over loopback: (a) a raw blocking socket loop with default buffers and 256 KB
// writes and reads, the bound of the machine; (b) the same bytes with the stream's own socket
// settings: buffers clamped to 32768, non-blocking, 32 KB pieces, FIONREAD-sized reads, and the
// send loop's policy on a full socket (yield, at most 1 ms in poll(POLLOUT), yield). (b)
// against (a) shows what the stream's design costs. The receiver is a process of its own; the
// processor time is the sender's. Runs inside its own network namespace.
//
// Usage: tcp_bench [megabytes]   (default 256)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "peers/peers.h"

namespace {

constexpr size_t kRawPiece = 256 * 1024;
constexpr size_t kStreamPiece = 32768;
constexpr int kStreamBuffer = 32768;

struct Connection {
  int sender = -1;
  int receiver = -1;
};

Connection connectPair(bool streamSettings) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001);
  bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  listen(listener, 1);
  socklen_t length = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &length);
  Connection c;
  c.sender = socket(AF_INET, SOCK_STREAM, 0);
  if (streamSettings) {
    setsockopt(c.sender, SOL_SOCKET, SO_SNDBUF, &kStreamBuffer, sizeof kStreamBuffer);
    setsockopt(c.sender, SOL_SOCKET, SO_RCVBUF, &kStreamBuffer, sizeof kStreamBuffer);
  }
  connect(c.sender, reinterpret_cast<sockaddr*>(&a), sizeof a);
  c.receiver = accept(listener, nullptr, nullptr);
  close(listener);
  if (streamSettings) {
    int on = 1;
    ioctl(c.sender, FIONBIO, &on);
  }
  return c;
}

void drain(int fd, bool fionreadSized) {
  std::vector<char> buffer(kRawPiece);
  for (;;) {
    size_t want = buffer.size();
    if (fionreadSized) {
      int ready = 0;
      ioctl(fd, FIONREAD, &ready);
      want = ready >= 1 && ready <= static_cast<int>(kStreamPiece) ? ready : kStreamPiece;
    }
    ssize_t n = recv(fd, buffer.data(), want, 0);
    if (n <= 0) return;
  }
}

void sendRaw(int fd, size_t total) {
  std::vector<char> bytes(kRawPiece, 'r');
  for (size_t sent = 0; sent < total;) {
    ssize_t n = send(fd, bytes.data(), std::min(bytes.size(), total - sent), MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// The stream's send loop without the host: a yield stands for each host yield.
void sendLikeAStream(int fd, size_t total) {
  std::vector<char> bytes(kStreamPiece, 's');
  for (size_t sent = 0; sent < total;) {
    ssize_t n = send(fd, bytes.data(), std::min(kStreamPiece, total - sent), MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      sched_yield();
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK) return;
    sched_yield();
    pollfd entry{fd, POLLOUT, 0};
    poll(&entry, 1, 1);
    sched_yield();
  }
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void measure(const char* name, bool streamSettings, size_t total) {
  Connection c = connectPair(streamSettings);
  double cpuBefore = cpuSeconds();
  auto start = std::chrono::steady_clock::now();
  // The receiver runs in a process of its own, as a peer does.
  pid_t receiver = fork();
  if (receiver == 0) {
    close(c.sender);
    drain(c.receiver, streamSettings);
    _exit(0);
  }
  if (streamSettings) {
    sendLikeAStream(c.sender, total);
  } else {
    sendRaw(c.sender, total);
  }
  shutdown(c.sender, SHUT_WR);
  waitpid(receiver, nullptr, 0);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = cpuSeconds() - cpuBefore;
  std::printf("%-44s %8.1f MB/s  %6.2f s  cpu %6.2f s\n", name, total / 1e6 / seconds, seconds,
              cpu);
  close(c.sender);
  close(c.receiver);
}

}  // namespace

int main(int argc, char** argv) {
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  if (!peers::isolated()) {
    std::printf("tcp_bench: no network namespace of our own; skipped\n");
    return 0;
  }
  size_t total = megabytes * 1000 * 1000;
  std::printf("tcp_bench: %zu MB over loopback, %s, %u processors\n", megabytes,
              OpenSSL_version(OPENSSL_VERSION), std::thread::hardware_concurrency());
  measure("(a) raw blocking, default buffers, 256 KB", false, total);
  measure("(b) stream settings, 32 KB pieces, poll 1 ms", true, total);
  return 0;
}
