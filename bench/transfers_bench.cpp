// Text conversations over loopback, through FourDPackex and the host emulator in its realistic
// mode, beside a raw socket loop on the same bytes in the same run:
//   - ZUV_TCPReceive of a 1 MB and a 64 MB UTF-8 text (byte limit = size, no time-out), against a
//     raw blocking recv loop that takes the same bytes from the same kind of sender;
//   - ZUV_TCPSend of the same texts (mode 0, filter 0), against a raw blocking send loop;
//   - a 1-byte ping-pong: ZUV_TCPSend, then ZUV_TCPReceive with time-out 0 until the byte is in,
//     against a raw blocking ping-pong.
// The receive's time should grow linearly from 1 MB to 64 MB, and its rate stay within a quarter
// of the raw loop's. Runs inside its own network namespace.
//
// Usage: transfers_bench [large megabytes [receive|send|ping-pong]]   (default 64, all three)

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
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "emulator.h"
#include "peers/peers.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kRawPiece = 256 * 1024;
constexpr int kPingPongs = 2000;
// The largest socket buffers a stream may ask for; without it a stream gets the smallest, 4096.
constexpr int64_t kStreamBuffer = 32768;

// A listening socket on 127.0.0.1 and a port the system picks.
struct Listener {
  int fd = -1;
  uint16_t port = 0;
  Listener() {
    fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(0x7F000001);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    port = ntohs(a.sin_port);
  }
  ~Listener() { close(fd); }
  int accept() const { return ::accept(fd, nullptr, nullptr); }
};

int connectTo(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001);
  a.sin_port = htons(port);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  return fd;
}

void sendAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    size_t piece = std::min(kRawPiece, bytes.size() - sent);
    ssize_t n = send(fd, bytes.data() + sent, piece, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

size_t receiveAll(int fd, size_t total, std::string* into = nullptr) {
  std::vector<char> buffer(kRawPiece);
  size_t got = 0;
  while (got < total) {
    ssize_t n = recv(fd, buffer.data(), std::min(buffer.size(), total - got), 0);
    if (n <= 0) break;
    if (into != nullptr) into->append(buffer.data(), static_cast<size_t>(n));
    got += static_cast<size_t>(n);
  }
  return got;
}

// A UTF-8 text of exactly `bytes` bytes, with two-byte characters among the ASCII ones.
std::string utf8Text(size_t bytes) {
  const std::string line = "Grüße aus dem Netz, line of a long text 0123456789\n";
  std::string text;
  text.reserve(bytes);
  while (text.size() + line.size() <= bytes) text += line;
  text.append(bytes - text.size(), 'x');
  return text;
}

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(const char* name, size_t bytes, double time, double raw) {
  std::printf("%-46s %9.1f MB/s  %8.3f s", name, bytes / 1e6 / time, time);
  if (raw > 0) std::printf("  %5.2f of raw", raw / time);
  std::printf("\n");
}

// The plug-in in a realistic host, with a stream to a peer thread's connection.
class Conversation {
 public:
  Conversation() : emu_(host::Options{.strict = false}) {
    emu_.attach(&FourDPackex);
    emu_.startup();
  }
  ~Conversation() { emu_.shutdown(); }

  // Opens a stream to the listener and answers the peer's side of the connection.
  int open(const Listener& listener) {
    id_ = emu_.call("ZUV_TCPOpen", {host::text("127.0.0.1"),
                                    int64_t{static_cast<int16_t>(listener.port)},
                                    kStreamBuffer,
                                    int64_t{0},
                                    {},
                                    int64_t{0},
                                    int64_t{0}})
              .number();
    int peer = listener.accept();
    emu_.call("ZUV_TCPWaitStatus", {id_, int64_t{8}, int64_t{10}});
    return peer;
  }
  void release() { emu_.call("ZUV_TCPRelease", {id_, int64_t{0}}); }
  int64_t send(const host::Text& text) {
    return emu_.call("ZUV_TCPSend", {id_, text, int64_t{0}, int64_t{0}}).number();
  }
  host::Outcome receive(int64_t limit, int64_t timeout) {
    return emu_.call("ZUV_TCPReceive",
                     {id_, host::Text(), limit, int64_t{0}, int64_t{0}, host::Text(), timeout});
  }

 private:
  host::Emulator emu_;
  int64_t id_ = 0;
};

double rawReceive(const std::string& bytes) {
  Listener listener;
  std::thread sender([&] {
    int fd = listener.accept();
    sendAll(fd, bytes);
    close(fd);
  });
  int fd = connectTo(listener.port);
  auto start = Clock::now();
  std::string received;
  received.reserve(bytes.size());
  receiveAll(fd, bytes.size(), &received);
  double time = seconds(start);
  sender.join();
  close(fd);
  if (received != bytes) std::printf("raw receive: the bytes differ\n");
  return time;
}

// The raw loop with the stream's socket settings: buffers of 32768, non-blocking, FIONREAD-sized
// reads of at most 32768 bytes and a yield between them, as the receive's passes make them.
double rawReceiveLikeAStream(const std::string& bytes) {
  Listener listener;
  std::thread sender([&] {
    int fd = listener.accept();
    sendAll(fd, bytes);
    close(fd);
  });
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int size = static_cast<int>(kStreamBuffer);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001);
  a.sin_port = htons(listener.port);
  connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int on = 1;
  ioctl(fd, FIONBIO, &on);
  auto start = Clock::now();
  std::string received;
  std::vector<char> buffer(kStreamBuffer);
  while (received.size() < bytes.size()) {
    int ready = 0;
    ioctl(fd, FIONREAD, &ready);
    size_t want = ready >= 1 && ready <= kStreamBuffer ? ready : kStreamBuffer;
    ssize_t n = recv(fd, buffer.data(), want, 0);
    if (n > 0) received.append(buffer.data(), static_cast<size_t>(n));
    if (n == 0 || (n < 0 && errno != EAGAIN)) break;
    sched_yield();
  }
  double time = seconds(start);
  sender.join();
  close(fd);
  if (received != bytes) std::printf("raw receive: the bytes differ\n");
  return time;
}

double pluginReceive(const std::string& bytes) {
  Conversation plugin;
  Listener listener;
  int peer = plugin.open(listener);
  std::thread sender([&] { sendAll(peer, bytes); });
  host::Outcome outcome = plugin.receive(static_cast<int64_t>(bytes.size()), -1);
  // The command's own time: the emulator's copy of the text into the outcome afterwards is no
  // work of the plug-in's, nor of a host, which keeps the text where the command put it.
  double time = std::chrono::duration<double>(outcome.elapsed).count();
  sender.join();
  if (outcome.number() != static_cast<int64_t>(bytes.size()) ||
      host::utf8(outcome.text(2)) != bytes) {
    std::printf("ZUV_TCPReceive: answered %lld, the text differs\n",
                static_cast<long long>(outcome.number()));
  }
  plugin.release();
  close(peer);
  return time;
}

double rawSend(const std::string& bytes) {
  Listener listener;
  size_t got = 0;
  std::thread receiver([&] {
    int fd = listener.accept();
    got = receiveAll(fd, bytes.size());
    close(fd);
  });
  int fd = connectTo(listener.port);
  auto start = Clock::now();
  sendAll(fd, bytes);
  receiver.join();
  double time = seconds(start);
  close(fd);
  if (got != bytes.size()) std::printf("raw send: %zu bytes arrived\n", got);
  return time;
}

double pluginSend(const std::string& bytes) {
  Conversation plugin;
  Listener listener;
  int peer = plugin.open(listener);
  host::Text text = host::text(bytes);
  size_t got = 0;
  std::thread receiver([&] { got = receiveAll(peer, bytes.size()); });
  auto start = Clock::now();
  int64_t answer = plugin.send(text);
  receiver.join();
  double time = seconds(start);
  if (answer != 0 || got != bytes.size()) {
    std::printf("ZUV_TCPSend: answered %lld, %zu bytes arrived\n", static_cast<long long>(answer),
                got);
  }
  plugin.release();
  close(peer);
  return time;
}

void echoOneByteAtATime(int fd) {
  char byte;
  while (recv(fd, &byte, 1, 0) == 1) send(fd, &byte, 1, MSG_NOSIGNAL);
}

double rawPingPong() {
  Listener listener;
  std::thread echo([&] {
    int fd = listener.accept();
    echoOneByteAtATime(fd);
    close(fd);
  });
  int fd = connectTo(listener.port);
  auto start = Clock::now();
  char byte = 'p';
  for (int i = 0; i < kPingPongs; ++i) {
    send(fd, &byte, 1, MSG_NOSIGNAL);
    recv(fd, &byte, 1, 0);
  }
  double time = seconds(start);
  shutdown(fd, SHUT_WR);
  echo.join();
  close(fd);
  return time;
}

double pluginPingPong() {
  Conversation plugin;
  Listener listener;
  int peer = plugin.open(listener);
  std::thread echo([&] { echoOneByteAtATime(peer); });
  host::Text ping = host::text("p");
  auto start = Clock::now();
  for (int i = 0; i < kPingPongs; ++i) {
    plugin.send(ping);
    while (plugin.receive(1, 0).number() != 1) {
    }
  }
  double time = seconds(start);
  plugin.release();
  shutdown(peer, SHUT_RDWR);
  echo.join();
  close(peer);
  return time;
}

// The best of a few runs, so that every path is measured with its memory already in use, as in a
// host that has been running for a while, and one slow run of a busy machine does not count.
template <typename Run>
double bestOf(const std::string& bytes, Run run) {
  constexpr int kRuns = 3;
  double best = run(bytes);
  for (int i = 1; i < kRuns; ++i) best = std::min(best, run(bytes));
  return best;
}

void compareReceives(size_t megabytes) {
  std::string bytes = utf8Text(megabytes * 1000 * 1000);
  char name[64];
  double raw = bestOf(bytes, rawReceive);
  std::snprintf(name, sizeof name, "raw recv loop, %zu MB", megabytes);
  report(name, bytes.size(), raw, 0);
  double rawLikeAStream = bestOf(bytes, rawReceiveLikeAStream);
  std::snprintf(name, sizeof name, "raw recv, stream settings, %zu MB", megabytes);
  report(name, bytes.size(), rawLikeAStream, raw);
  double plugin = bestOf(bytes, pluginReceive);
  std::snprintf(name, sizeof name, "ZUV_TCPReceive, %zu MB UTF-8 text", megabytes);
  report(name, bytes.size(), plugin, raw);
  std::printf("%-46s %9.2f of raw with stream settings\n", "", rawLikeAStream / plugin);
  std::printf("%-46s %9.2f ms/MB\n", "  ZUV_TCPReceive time per MB", plugin * 1000 / megabytes);
}

void compareSends(size_t megabytes) {
  std::string bytes = utf8Text(megabytes * 1000 * 1000);
  char name[64];
  double raw = bestOf(bytes, rawSend);
  std::snprintf(name, sizeof name, "raw send loop, %zu MB", megabytes);
  report(name, bytes.size(), raw, 0);
  double plugin = bestOf(bytes, pluginSend);
  std::snprintf(name, sizeof name, "ZUV_TCPSend, %zu MB UTF-8 text", megabytes);
  report(name, bytes.size(), plugin, raw);
}

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  size_t large = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  std::string only = argc > 2 ? argv[2] : "";
  auto runs = [&](const char* part) { return only.empty() || only == part; };
  if (!peers::isolated()) {
    std::printf("transfers_bench: no network namespace of our own; skipped\n");
    return 0;
  }
  std::printf("transfers_bench: loopback, realistic host, %s, %u processors\n",
              OpenSSL_version(OPENSSL_VERSION), std::thread::hardware_concurrency());
  if (runs("receive")) {
    compareReceives(1);
    compareReceives(large);
  }
  if (runs("send")) {
    compareSends(1);
    compareSends(large);
  }
  if (runs("ping-pong")) {
    double raw = rawPingPong();
    double plugin = pluginPingPong();
    std::printf("%-46s %9.0f round trips/s\n", "raw 1-byte ping-pong", kPingPongs / raw);
    std::printf("%-46s %9.0f round trips/s  %5.2f of raw\n",
                "ZUV_TCPSend + ZUV_TCPReceive 1-byte ping-pong", kPingPongs / plugin, raw / plugin);
  }
  return 0;
}
