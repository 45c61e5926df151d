// TLS over loopback against openssl in a process of its own, in the emulator's realistic host,
// each measure the best of three in the same run:
//   1. A download from `openssl s_server -WWW`: (a) an in-process OpenSSL client loop, a blocking
//      socket with the stream's 32768-byte buffers and 32 KB SSL_reads; (b) the plug-in's TLS
//      stream receiving with no maximum until the server closes, through the socket BIO over the
//      stream's own receive. (b) should reach at least half of (a)'s rate.
//   2. The buffer sizes: ZUV_TCPSendFile from a TLS listener to `openssl s_client`, and
//      ZUV_TCPReceiveFile of a download from `openssl s_server -WWW`, each with the smallest
//      socket buffer the commands keep (4096, what bufferSize 0 gives) and the largest (32768),
//      in turns. The time at 4096 should stay within twice the time at 32768. The same two
//      transfers without TLS, against this program run again as the peer, show what the buffer
//      size costs a plain stream.
// Runs inside its own network namespace.
//
// Usage: tls_bench [megabytes] [megabytes for the buffer sizes]   (default 256 and 64)
//        tls_bench peer sink|source BYTES   (the plain peer; prints its port)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "bench_sockets.h"
#include "bench_transfers.h"
#include "emulator.h"
#include "network/tcp.h"
#include "peers/peers.h"
#include "peers/tls_peers.h"
#include "plugin/streams.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRuns = 3;
constexpr int kStreamBuffer = 32768;
constexpr int64_t kTLSFlag = 0x400;
const std::string kRequest = "GET /big.bin HTTP/1.0\r\n\r\n";

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A folder with a key, its certificate, big.bin of the size asked for and part.bin.
class Files {
 public:
  explicit Files(size_t bytes) {
    char pattern[] = "/tmp/zuv_tls_bench_XXXXXX";
    dir_ = mkdtemp(pattern);
    std::string in = "cd '" + dir_.string() + "' && ";
    ok_ =
        peers::runCommand({"sh", "-c",
                           in + "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                                "-nodes -keyout key.pem -out cert.pem -days 2 -subj "
                                "/CN=bench 2>/dev/null"}) == 0 &&
        peers::runCommand(
            {"sh", "-c", in + "head -c " + std::to_string(bytes) + " /dev/urandom > big.bin"}) == 0;
  }
  // part.bin: the first bytes of big.bin, for the measures of the buffer sizes.
  bool makePart(size_t bytes) const {
    return peers::runCommand({"sh", "-c",
                              "cd '" + dir_.string() + "' && head -c " + std::to_string(bytes) +
                                  " big.bin > part.bin"}) == 0;
  }
  ~Files() { std::filesystem::remove_all(dir_); }
  bool ok() const { return ok_; }
  std::string dir() const { return dir_.string(); }

 private:
  std::filesystem::path dir_;
  bool ok_ = false;
};

// openssl s_server -WWW serving the folder on 127.0.0.1.
class Server {
 public:
  explicit Server(const Files& files)
      : child_({"sh", "-c",
                "cd '" + files.dir() +
                    "' && exec openssl s_server -accept 127.0.0.1:0 -cert cert.pem -key key.pem "
                    "-WWW"}) {
    if (!child_.awaitOutput("ACCEPT 127.0.0.1:")) return;
    port_ = static_cast<uint16_t>(
        std::atoi(child_.output().c_str() + child_.output().find("ACCEPT 127.0.0.1:") + 17));
  }
  uint16_t port() const { return port_; }

 private:
  peers::Child child_;
  uint16_t port_ = 0;
};

// (a): the bytes received after the request, headers included.
size_t opensslLoop(uint16_t port) {
  int fd = benchtools::connectLoopback(port, kStreamBuffer);
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  SSL_set_fd(ssl, fd);
  size_t total = 0;
  if (SSL_connect(ssl) == 1 && SSL_write(ssl, kRequest.data(), kRequest.size()) > 0) {
    std::vector<char> buffer(kStreamBuffer);
    int n;
    while ((n = SSL_read(ssl, buffer.data(), kStreamBuffer)) > 0) total += static_cast<size_t>(n);
  }
  SSL_free(ssl);
  SSL_CTX_free(context);
  close(fd);
  return total;
}

// (b): the plug-in's stream, receiving until the server's end.
size_t pluginLoop(uint16_t port) {
  host::Emulator emu(host::Options{.strict = false});
  emu.attach(&FourDPackex);
  emu.startup();
  int64_t id = emu.call("ZUV_TCPOpen", {host::text("127.0.0.1"),
                                        int64_t{static_cast<int16_t>(port)},
                                        int64_t{kStreamBuffer},
                                        kTLSFlag,
                                        {},
                                        int64_t{0},
                                        int64_t{0}})
                   .number();
  emu.call("ZUV_TCPWaitStatus", {id, int64_t{8}, int64_t{10}});
  emu.call("ZUV_TCPSend", {id, host::text(kRequest), int64_t{0}, int64_t{0}});
  size_t total = 0;
  emu.run(1, [&] {
    tcp::TCPGlob* stream = streams::lookUp(static_cast<int32_t>(id));
    HostHandle handle = nullptr;
    for (;;) {
      int32_t n = tcp::receive(stream, handle, 0);
      if (n > 0) {
        total += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 || tcp::status(stream, 0) >= kStreamPeerClosed) break;
      PA_Yield();
    }
    if (handle != nullptr) PA_DisposeHandle(handle);
  });
  emu.call("ZUV_TCPRelease", {id, int64_t{0}});
  emu.shutdown();
  return total;
}

template <typename Loop>
double bestOf(Loop loop, uint16_t port, size_t expected, const char* name) {
  double best = 1e9;
  for (int i = 0; i < kRuns; ++i) {
    auto start = Clock::now();
    size_t got = loop(port);
    double time = seconds(start);
    if (got < expected) std::printf("%s: only %zu bytes of %zu\n", name, got, expected);
    best = std::min(best, time);
  }
  return best;
}

// ---- 2. The socket buffer sizes ---------------------------------------------------------------

constexpr int kSmallBuffer = 4096;
constexpr int kLargeBuffer = 32768;

double secondsOf(const host::Outcome& out) {
  return std::chrono::duration<double>(out.elapsed).count();
}

// A realistic host of its own for each transfer, so that one command's time is all it measures.
class Host {
 public:
  Host() : emu_(host::Options{.strict = false}) {
    emu_.attach(&FourDPackex);
    emu_.startup();
  }
  ~Host() { emu_.shutdown(); }
  host::Outcome call(const char* name, std::vector<host::Value> args) {
    return emu_.call(name, std::move(args));
  }
  // A client stream to 127.0.0.1:port, once established (or given up after 10 seconds).
  int64_t open(uint16_t port, int buffer, int64_t flags) {
    int64_t id = call("ZUV_TCPOpen", {host::text("127.0.0.1"),
                                      int64_t{static_cast<int16_t>(port)},
                                      int64_t{buffer},
                                      flags,
                                      {},
                                      int64_t{0},
                                      int64_t{0}})
                     .number();
    call("ZUV_TCPWaitStatus", {id, int64_t{8}, int64_t{10}});
    return id;
  }
  host::Outcome sendFile(int64_t id, const std::string& path) {
    return call("ZUV_TCPSendFile",
                {id, host::text(path), int64_t{0}, int64_t{0}, int64_t{0}, int64_t{0}, int64_t{0}});
  }
  // Receives until the peer closes; the bytes are counted and the file removed.
  host::Outcome receiveFile(int64_t id, const std::string& path, size_t& got) {
    host::Outcome out = call("ZUV_TCPReceiveFile", {id, host::text(path), int64_t{0}, int64_t{0},
                                                    int64_t{60}, int64_t{0}});
    got = std::filesystem::file_size(path);
    std::filesystem::remove(path);
    return out;
  }
  void end(int64_t id) {
    call("ZUV_TCPClose", {id});
    call("ZUV_TCPRelease", {id, int64_t{0}});
  }

 private:
  host::Emulator emu_;
};

// ZUV_TCPSendFile of part.bin from a TLS listener to `openssl s_client`, which throws what it
// receives away.
double tlsSendOnce(const Files& files, int buffer) {
  Host plugin;
  int64_t id = plugin
                   .call("ZUV_TCPListen", {int64_t{0}, int64_t{0}, int64_t{0}, int64_t{buffer},
                                           kTLSFlag, int64_t{0}, int64_t{0}, int64_t{0}})
                   .number();
  plugin.call("ZUV_SSLSetCertificate",
              {id, host::text(files.dir() + "/cert.pem"), host::text(files.dir() + "/key.pem"),
               host::text(""), host::text("")});
  int64_t port = static_cast<uint16_t>(plugin.call("ZUV_TCPStreamInfo", {id}).number(4));
  peers::Child client({"sh", "-c",
                       "exec openssl s_client -connect 127.0.0.1:" + std::to_string(port) +
                           " -quiet >/dev/null 2>&1"});
  double time = 1e9;
  if (plugin.call("ZUV_TCPWaitStatus", {id, int64_t{8}, int64_t{10}}).number() == 8) {
    host::Outcome out = plugin.sendFile(id, files.dir() + "/part.bin");
    if (out.number() == 0) time = secondsOf(out);
  }
  plugin.end(id);
  return time;
}

// ZUV_TCPReceiveFile of part.bin from `openssl s_server -WWW`, until the server closes.
double tlsReceiveOnce(const Files& files, uint16_t port, int buffer, size_t bytes) {
  Host plugin;
  int64_t id = plugin.open(port, buffer, kTLSFlag);
  plugin.call("ZUV_TCPSend",
              {id, host::text("GET /part.bin HTTP/1.0\r\n\r\n"), int64_t{0}, int64_t{0}});
  size_t got = 0;
  host::Outcome out = plugin.receiveFile(id, files.dir() + "/received.bin", got);
  return got < bytes ? 1e9 : secondsOf(out);
}

// The same transfers without TLS, against this program run again as the peer: a sink that reads
// the bytes, and a source that sends as many.
double plainSendOnce(const Files& files, int buffer, size_t bytes) {
  benchtools::Peer peer("sink", bytes);
  Host plugin;
  int64_t id = plugin.open(peer.port(), buffer, 0);
  host::Outcome out = plugin.sendFile(id, files.dir() + "/part.bin");
  plugin.end(id);
  return out.number() == 0 ? secondsOf(out) : 1e9;
}

double plainReceiveOnce(const Files& files, int buffer, size_t bytes) {
  benchtools::Peer peer("source", bytes);
  Host plugin;
  int64_t id = plugin.open(peer.port(), buffer, 0);
  size_t got = 0;
  host::Outcome out = plugin.receiveFile(id, files.dir() + "/received.bin", got);
  return got < bytes ? 1e9 : secondsOf(out);
}

struct Pair {
  double small = 1e9;
  double large = 1e9;
};

// The best of kRuns of each buffer size, in turns, so that a change in the machine's load weighs
// on both alike.
template <typename Once>
Pair bestOfBuffers(Once once) {
  Pair best;
  for (int i = 0; i < kRuns; ++i) {
    best.small = std::min(best.small, once(kSmallBuffer));
    best.large = std::min(best.large, once(kLargeBuffer));
  }
  return best;
}

void reportBuffers(const char* name, size_t megabytes, const Pair& pair) {
  std::printf("%-40s %4zu MB  4096: %8.1f MB/s  32768: %8.1f MB/s  %5.2f x the time at 32768\n",
              name, megabytes, megabytes / pair.small, megabytes / pair.large,
              pair.small / pair.large);
}

void measureBuffers(const Files& files, uint16_t port, size_t megabytes) {
  size_t bytes = megabytes * 1024 * 1024;
  if (!files.makePart(bytes)) {
    std::printf("tls_bench: part.bin could not be made; buffer sizes skipped\n");
    return;
  }
  reportBuffers("TLS: ZUV_TCPSendFile to openssl s_client", megabytes,
                bestOfBuffers([&](int buffer) { return tlsSendOnce(files, buffer); }));
  reportBuffers("TLS: ZUV_TCPReceiveFile from s_server", megabytes, bestOfBuffers([&](int buffer) {
                  return tlsReceiveOnce(files, port, buffer, bytes);
                }));
  reportBuffers("plain: ZUV_TCPSendFile to a sink", megabytes,
                bestOfBuffers([&](int buffer) { return plainSendOnce(files, buffer, bytes); }));
  reportBuffers("plain: ZUV_TCPReceiveFile from a source", megabytes,
                bestOfBuffers([&](int buffer) { return plainReceiveOnce(files, buffer, bytes); }));
}

}  // namespace

int main(int argc, char** argv) {
  int code = 0;
  if (benchtools::ranAsPeer(argc, argv, code)) return code;
  host::keepFreedMemory();
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  size_t bufferMegabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 64;
  if (!peers::isolated()) {
    std::printf("tls_bench: no network namespace of our own; skipped\n");
    return 0;
  }
  size_t bytes = megabytes * 1024 * 1024;
  Files files(bytes);
  if (!files.ok()) {
    std::printf("tls_bench: the openssl command could not make the files; skipped\n");
    return 0;
  }
  Server server(files);
  if (server.port() == 0) {
    std::printf("tls_bench: openssl s_server did not start; skipped\n");
    return 0;
  }
  std::printf("tls_bench: %zu MB from openssl s_server -WWW over loopback, %s, %u processors\n",
              megabytes, OpenSSL_version(OPENSSL_VERSION), std::thread::hardware_concurrency());
  double reference = bestOf(opensslLoop, server.port(), bytes, "(a)");
  double plugin = bestOf(pluginLoop, server.port(), bytes, "(b)");
  std::printf("%-50s %8.1f MB/s  %6.2f s\n", "(a) in-process OpenSSL loop, 32 KB reads",
              bytes / 1e6 / reference, reference);
  std::printf("%-50s %8.1f MB/s  %6.2f s  %5.2f of (a)\n", "(b) plug-in TLS stream, receive",
              bytes / 1e6 / plugin, plugin, reference / plugin);
  measureBuffers(files, server.port(), std::min(bufferMegabytes, megabytes));
  return 0;
}
