// A TLS download over loopback from `openssl s_server -WWW` (a process of its own): (a) an
// in-process OpenSSL client loop, a blocking socket with the stream's 32768-byte buffers and
// 32 KB SSL_reads; (b) the plug-in's TLS stream in the emulator's realistic host, receiving with
// no maximum until the server closes, through the socket BIO over the stream's own receive. Both
// fetch the same file from the same server in the same run, best of three; (b) should reach at
// least half of (a)'s rate. Runs inside its own network namespace.
//
// Usage: tls_bench [megabytes]   (default 256)

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

// A folder with a key, its certificate and big.bin of the size asked for.
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

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
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
  return 0;
}
