// Text conversations over loopback, through FourDPackex and the host emulator in its realistic
// mode, against peers in another process (python3), beside a plain Python socket loop on the
// same bytes from the same peer in the same run:
//   - ZUV_TCPReceive of a 1 MB and a 64 MB UTF-8 text (byte limit = size, no time-out), against
//     a plain blocking Python recv loop with the stream's 32768-byte socket buffers, both reading
//     from one sender process. The sender waits for a byte from the reader before it sends, so
//     that both readers start on a connection in the same state: a sender stalled on a full
//     window through the stream's open (its status wait takes a tenth of a second) runs the
//     whole transfer with the reader doing its work, at two thirds of the rate;
//   - ZUV_TCPSend of the same texts (mode 0, filter 0), against a plain Python send loop under
//     the stream's constraints (32768-byte socket buffers, non-blocking, 32 KB pieces, a wait in
//     select() on a full socket), both writing to one sink process; Python's sendall with the
//     system's own buffers is shown as the machine's bound;
//   - a 1-byte ping-pong with an echo process: ZUV_TCPSend, then ZUV_TCPReceive with time-out 0
//     until the byte is in, against a blocking Python ping-pong;
//   - lines of 53 bytes read with a "\n" delimiter out of a 32 MB push-back, and the processor
//     time of a receive that waits one second on a silent peer.
// Each figure is the best of three runs. Runs inside its own network namespace.
//
// Usage: transfers_text_bench [large megabytes [receive|send|ping-pong|push-back|wait]]
//        (default 64, all)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include <openssl/crypto.h>
#include <sys/resource.h>

#include "4DPluginAPI.h"
#include "emulator.h"
#include "peers/peers.h"
#include "peers/python_peer.h"

namespace {

constexpr int kRuns = 3;
constexpr int kPingPongs = 2000;
// The largest socket buffers a stream may ask for; without it a stream gets the smallest, 4096.
constexpr int64_t kStreamBuffer = 32768;

// The peers and the reference loops, in one script: `python3 -c SCRIPT ROLE ARGS...`. A server
// role prints its port first; the loops print their time in seconds.
constexpr const char* kPeers = R"(
import select, socket, sys, time

BUFFER = 32768

def text(size):
    line = "Grüße aus dem Netz, line of a long text 0123456789\n".encode()
    whole = size // len(line)
    return line * whole + b"x" * (size - whole * len(line))

def listener():
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen(4)
    print(server.getsockname()[1])
    return server

def client(port, clamped=True):
    connection = socket.socket()
    if clamped:
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, BUFFER)
        connection.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, BUFFER)
    connection.connect(("127.0.0.1", port))
    return connection

role = sys.argv[1]
if role == "source":  # sends the text to every connection, one after the other, once the
    # reader asks for it with a byte
    data = text(int(sys.argv[2]))
    server = listener()
    while True:
        connection, _ = server.accept()
        if connection.recv(1):
            connection.sendall(data)
        connection.close()
elif role == "sink":  # reads every connection to its end and prints how much came
    server = listener()
    while True:
        connection, _ = server.accept()
        count = 0
        while True:
            piece = connection.recv(1 << 18)
            if not piece:
                break
            count += len(piece)
        connection.close()
        print(count)
elif role == "echo":  # echoes one byte at a time
    server = listener()
    while True:
        connection, _ = server.accept()
        while True:
            byte = connection.recv(1)
            if not byte:
                break
            connection.sendall(byte)
        connection.close()
elif role == "read":  # the plain receive loop
    size = int(sys.argv[3])
    connection = client(int(sys.argv[2]))
    connection.sendall(b"g")
    start = time.perf_counter()
    buffer = bytearray(1 << 18)
    view = memoryview(buffer)
    got = 0
    while got < size:
        n = connection.recv_into(view)
        if n == 0:
            break
        got += n
    print(time.perf_counter() - start if got == size else -1)
elif role == "send":  # the plain send under the stream's constraints (blocking with a
    # 32768-byte send buffer, Linux crawls at a few MB/s: the stream does not block either)
    data = memoryview(text(int(sys.argv[3])))
    connection = client(int(sys.argv[2]))
    connection.setblocking(False)
    start = time.perf_counter()
    sent = 0
    while sent < len(data):
        try:
            sent += connection.send(data[sent:sent + BUFFER])
        except BlockingIOError:
            select.select([], [connection], [])
    print(time.perf_counter() - start)
    connection.close()
elif role == "sendall":  # the machine's bound: a blocking send with the system's buffers
    data = text(int(sys.argv[3]))
    connection = client(int(sys.argv[2]), clamped=False)
    start = time.perf_counter()
    connection.sendall(data)
    print(time.perf_counter() - start)
    connection.close()
elif role == "pingpong":
    connection = client(int(sys.argv[2]))
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    start = time.perf_counter()
    for _ in range(int(sys.argv[3])):
        connection.sendall(b"p")
        connection.recv(1)
    print(time.perf_counter() - start)
elif role == "silent":  # accepts and says nothing
    server = listener()
    connection, _ = server.accept()
    connection.recv(1)
)";

// A server role of the script, with the port it printed.
struct Server {
  peers::PythonPeer process;
  int64_t port = 0;
  Server(const char* role, const std::string& argument = "")
      : process(kPeers, argument.empty() ? std::vector<std::string>{role}
                                         : std::vector<std::string>{role, argument}) {
    std::string line = process.readLine();
    port = line.empty() ? 0 : std::stoll(line);
  }
};

// A reference loop of the script; answers its time in seconds (below 0: it failed).
double pythonLoop(const char* role, int64_t port, size_t count) {
  peers::PythonPeer loop(kPeers, {role, std::to_string(port), std::to_string(count)});
  std::string line = loop.readLine();
  loop.wait();
  return line.empty() ? -1 : std::stod(line);
}

// A UTF-8 text of exactly `bytes` bytes, as the script's text() makes it.
std::string utf8Text(size_t bytes) {
  const std::string line = "Grüße aus dem Netz, line of a long text 0123456789\n";
  std::string text;
  text.reserve(bytes);
  while (text.size() + line.size() <= bytes) text += line;
  text.append(bytes - text.size(), 'x');
  return text;
}

double seconds(std::chrono::nanoseconds time) {
  return std::chrono::duration<double>(time).count();
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto of = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return of(usage.ru_utime) + of(usage.ru_stime);
}

template <typename Run>
double bestOf(Run run) {
  double best = run();
  for (int i = 1; i < kRuns; ++i) best = std::min(best, run());
  return best;
}

void report(const std::string& name, size_t bytes, double time, double reference) {
  std::printf("%-46s %9.1f MB/s  %8.3f s", name.c_str(), bytes / 1e6 / time, time);
  if (reference > 0) std::printf("  %5.2f of Python", reference / time);
  std::printf("\n");
}

// The plug-in in a realistic host, with one stream at a time.
class Conversation {
 public:
  Conversation() : emu_(host::Options{.strict = false}) {
    emu_.attach(&FourDPackex);
    emu_.startup();
  }
  ~Conversation() { emu_.shutdown(); }

  bool open(int64_t port) {
    id_ = emu_.call("ZUV_TCPOpen", {host::text("127.0.0.1"),
                                    int64_t{static_cast<int16_t>(port)},
                                    kStreamBuffer,
                                    int64_t{0},
                                    {},
                                    int64_t{0},
                                    int64_t{0}})
              .number();
    return id_ > 0 && emu_.call("ZUV_TCPWaitStatus", {id_, int64_t{8}, int64_t{10}}).number() == 8;
  }
  void release() { emu_.call("ZUV_TCPRelease", {id_, int64_t{0}}); }
  host::Outcome send(const host::Text& text) {
    return emu_.call("ZUV_TCPSend", {id_, text, int64_t{0}, int64_t{0}});
  }
  host::Outcome receive(int64_t limit, int64_t timeout, const host::Text& delimiter = {}) {
    return emu_.call("ZUV_TCPReceive",
                     {id_, host::Text(), limit, int64_t{0}, int64_t{0}, delimiter, timeout});
  }
  int64_t unreceive(const host::Text& text) {
    return emu_.call("ZUV_TCPUnreceive", {id_, text, int64_t{0}, int64_t{0}}).number();
  }

 private:
  host::Emulator emu_;
  int64_t id_ = 0;
};

double pluginReceive(int64_t port, const std::string& bytes) {
  Conversation plugin;
  if (!plugin.open(port) || plugin.send(host::text("g")).number() != 0) return -1;
  host::Outcome outcome = plugin.receive(static_cast<int64_t>(bytes.size()), -1);
  plugin.release();
  if (outcome.number() != static_cast<int64_t>(bytes.size()) ||
      host::utf8(outcome.text(2)) != bytes) {
    std::printf("ZUV_TCPReceive: answered %lld, the text differs\n",
                static_cast<long long>(outcome.number()));
  }
  // The command's own time: the emulator's copy of the text into the outcome afterwards is no
  // work of the plug-in's, nor of a host, which keeps the text where the command put it.
  return seconds(outcome.elapsed);
}

void compareReceives(size_t megabytes) {
  std::string bytes = utf8Text(megabytes * 1000 * 1000);
  Server source("source", std::to_string(bytes.size()));
  double python = bestOf([&] { return pythonLoop("read", source.port, bytes.size()); });
  double plugin = bestOf([&] { return pluginReceive(source.port, bytes); });
  report("Python recv loop, " + std::to_string(megabytes) + " MB", bytes.size(), python, 0);
  report("ZUV_TCPReceive, " + std::to_string(megabytes) + " MB UTF-8 text", bytes.size(), plugin,
         python);
}

double pluginSend(Server& sink, const host::Text& text, size_t size) {
  Conversation plugin;
  if (!plugin.open(sink.port)) return -1;
  host::Outcome outcome = plugin.send(text);
  plugin.release();
  std::string arrived = sink.process.readLine();
  if (outcome.number() != 0 || arrived != std::to_string(size)) {
    std::printf("ZUV_TCPSend: answered %lld, %s bytes arrived\n",
                static_cast<long long>(outcome.number()), arrived.c_str());
  }
  return seconds(outcome.elapsed);
}

void compareSends(size_t megabytes) {
  std::string bytes = utf8Text(megabytes * 1000 * 1000);
  host::Text text = host::text(bytes);
  Server sink("sink");
  auto python = [&](const char* role) {
    return bestOf([&] {
      double time = pythonLoop(role, sink.port, bytes.size());
      sink.process.readLine();
      return time;
    });
  };
  double bound = python("sendall");
  double plain = python("send");
  double plugin = bestOf([&] { return pluginSend(sink, text, bytes.size()); });
  report("Python sendall, system buffers, " + std::to_string(megabytes) + " MB", bytes.size(),
         bound, 0);
  report("Python send loop, " + std::to_string(megabytes) + " MB", bytes.size(), plain, 0);
  report("ZUV_TCPSend, " + std::to_string(megabytes) + " MB UTF-8 text", bytes.size(), plugin,
         plain);
}

void comparePingPongs() {
  Server echo("echo");
  double python = bestOf([&] { return pythonLoop("pingpong", echo.port, kPingPongs); });
  double plugin = bestOf([&] {
    Conversation conversation;
    if (!conversation.open(echo.port)) return -1.0;
    host::Text ping = host::text("p");
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPingPongs; ++i) {
      conversation.send(ping);
      while (conversation.receive(1, 0).number() != 1) {
      }
    }
    double time = seconds(std::chrono::steady_clock::now() - start);
    conversation.release();
    return time;
  });
  std::printf("%-46s %9.0f round trips/s\n", "Python 1-byte ping-pong", kPingPongs / python);
  std::printf("%-46s %9.0f round trips/s  %5.2f of Python\n",
              "ZUV_TCPSend + ZUV_TCPReceive 1-byte ping-pong", kPingPongs / plugin,
              python / plugin);
}

// Lines taken one receive at a time out of a large push-back: each should cost what it takes.
void pushBackLines() {
  constexpr size_t kPushBack = 32 * 1000 * 1000;
  constexpr int kLines = 2000;
  Server sink("sink");
  Conversation plugin;
  if (!plugin.open(sink.port)) return;
  plugin.unreceive(host::text(utf8Text(kPushBack)));
  host::Text newline = host::text("\n");
  double best = bestOf([&] {
    std::chrono::nanoseconds total{0};
    for (int i = 0; i < kLines; ++i) total += plugin.receive(0, 0, newline).elapsed;
    return seconds(total);
  });
  plugin.release();
  std::printf("%-46s %9.1f µs/line\n", "ZUV_TCPReceive of a line, 32 MB push-back",
              best * 1e6 / kLines);
}

// A receive with a one-second deadline on a peer that sends nothing: processor time per second.
void waitingReceive() {
  Server silent("silent");
  Conversation plugin;
  if (!plugin.open(silent.port)) return;
  double cpu = cpuSeconds();
  auto start = std::chrono::steady_clock::now();
  plugin.receive(0, 60);
  double wall = seconds(std::chrono::steady_clock::now() - start);
  cpu = cpuSeconds() - cpu;
  plugin.release();
  std::printf("%-46s %9.0f %% of a core\n", "ZUV_TCPReceive waiting 1 s on a silent peer",
              100 * cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  host::keepFreedMemory();
  size_t large = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
  std::string only = argc > 2 ? argv[2] : "";
  auto runs = [&](const char* part) { return only.empty() || only == part; };
  if (!peers::isolated()) {
    std::printf("transfers_text_bench: no network namespace of our own; skipped\n");
    return 0;
  }
  std::printf(
      "transfers_text_bench: loopback, realistic host, peers in python3, %s, %u processors\n",
      OpenSSL_version(OPENSSL_VERSION), std::thread::hardware_concurrency());
  if (runs("receive")) {
    compareReceives(1);
    compareReceives(large);
  }
  if (runs("send")) {
    compareSends(1);
    compareSends(large);
  }
  if (runs("ping-pong")) comparePingPongs();
  if (runs("push-back")) pushBackLines();
  if (runs("wait")) waitingReceive();
  return 0;
}
