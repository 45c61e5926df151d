// The UDP commands against a Python peer on 127.0.0.1 (datagrams as text and BLOB, the cut at
// 2048 bytes, time-outs in seconds and ticks, bad ids), and the release of UDP sockets only.

#include <chrono>
#include <string>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/tcp.h"
#include "peers/peers.h"
#include "peers/tls_peers.h"
#include "support/hex.h"
#include "support/plugin_test.h"

namespace zuvtest {
namespace {

const bool kIsolated = peers::isolated();

constexpr int64_t kLoopback = 0x7F000001;

// Python's own sockets: prints its port, then for each line "send PORT HEX" sends the bytes
// to 127.0.0.1:PORT, and for "recv" prints the next datagram as "got HEX PORT".
constexpr const char* kPythonPeer = R"(
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0))
print(s.getsockname()[1], flush=True)
for line in sys.stdin:
    words = line.split()
    if words[0] == "send":
        s.sendto(bytes.fromhex(words[2] if len(words) > 2 else ""), ("127.0.0.1", int(words[1])))
        print("sent", flush=True)
    elif words[0] == "recv":
        data, sender = s.recvfrom(65536)
        print("got", data.hex() or "-", sender[1], flush=True)
)";

class PythonPeer {
 public:
  // python3 may take many seconds to start on a busy machine: the port line is awaited whole,
  // and a peer that never printed it has port 0, which the tests assert against.
  PythonPeer() : child_({"python3", "-c", kPythonPeer}) {
    child_.awaitOutput("\n");
    size_t end = child_.output().find('\n');
    if (end == std::string::npos) return;
    port_ = std::atoi(child_.output().substr(0, end).c_str());
    seen_ = end + 1;
  }
  int64_t port() const { return port_; }
  void send(int64_t port, const std::string& bytes) {
    child_.write("send " + std::to_string(port) + " " + hexOf(bytes) + "\n");
    expectLine();
  }
  // The next datagram as "got HEX PORT" ("-" for an empty one).
  std::string receive() {
    child_.write("recv\n");
    return expectLine();
  }

 private:
  std::string expectLine() {
    child_.awaitOutput("\n");
    peers::await([&] { return child_.output().find('\n', seen_) != std::string::npos; });
    size_t end = child_.output().find('\n', seen_);
    if (end == std::string::npos) return "";
    std::string line = child_.output().substr(seen_, end - seen_);
    seen_ = end + 1;
    return line;
  }

  peers::Child child_;
  int64_t port_ = 0;
  size_t seen_ = 0;
};

class UDPTest : public PluginTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    PluginTest::SetUp();
  }

  int64_t create(int64_t port = 0) { return run("ZUV_UDPCreate", {num(port)}).number(); }
  int64_t portOf(int64_t id) {
    return static_cast<uint16_t>(run("ZUV_TCPStreamInfo", {num(id)}).number(4));
  }
};

TEST_F(UDPTest, DatagramsTravelAsTextAndAsBlob) {
  PythonPeer peer;
  ASSERT_GT(peer.port(), 0);
  int64_t id = create();
  ASSERT_GT(id, 0);
  int64_t port = portOf(id);
  ASSERT_NE(port, 0);
  EXPECT_EQ(run("ZUV_UDPMaxSize").number(), 576);

  EXPECT_EQ(run("ZUV_UDPSend", {num(id), txt("grüße"), num(kLoopback), num(peer.port())}).number(),
            0);
  EXPECT_EQ(peer.receive(), "got " + hexOf("grüße") + " " + std::to_string(port));
  EXPECT_EQ(run("ZUV_UDPSend", {num(id), txt(""), num(kLoopback), num(peer.port())}).number(), 0);
  EXPECT_EQ(peer.receive(), "got - " + std::to_string(port));
  std::string bytes("\x00\x01\xff zero", 8);
  EXPECT_EQ(
      run("ZUV_UDPSendBlob", {num(id), blob(bytes), num(kLoopback), num(peer.port())}).number(), 0);
  EXPECT_EQ(peer.receive(), "got " + hexOf(bytes) + " " + std::to_string(port));
  // An empty BLOB sends nothing: the next datagram the peer sees is the one after it.
  EXPECT_EQ(run("ZUV_UDPSendBlob", {num(id), blob(""), num(kLoopback), num(peer.port())}).number(),
            0);
  EXPECT_EQ(
      run("ZUV_UDPSendBlob", {num(id), noHandleBlob(), num(kLoopback), num(peer.port())}).number(),
      0);
  EXPECT_EQ(run("ZUV_UDPSend", {num(id), txt("after"), num(kLoopback), num(peer.port())}).number(),
            0);
  EXPECT_EQ(peer.receive(), "got " + hexOf("after") + " " + std::to_string(port));

  peer.send(port, "Grüße zurück");
  Outcome text = run("ZUV_UDPReceive", {num(id), txt("old"), num(1), num(1), {}, num(2)});
  EXPECT_EQ(text.number(), 0);
  EXPECT_EQ(host::utf8(text.text(2)), "Grüße zurück");
  EXPECT_EQ(text.number(3), kLoopback);
  EXPECT_EQ(text.number(4), peer.port());
  // A zero byte is part of the datagram, in the text as in the BLOB.
  std::string withZero("ab\0cd", 5);
  peer.send(port, withZero);
  Outcome zero = run("ZUV_UDPReceive", {num(id), txt("old"), num(1), num(1), {}, num(2)});
  EXPECT_EQ(zero.number(), 0);
  EXPECT_EQ(zero.text(2), host::text(withZero));

  // Longer datagrams are cut to their first 2048 bytes.
  std::string long3000(3000, 'x');
  for (size_t i = 0; i < long3000.size(); ++i) long3000[i] = static_cast<char>(i % 251);
  peer.send(port, long3000);
  Outcome cut = run("ZUV_UDPReceiveBlob", {num(id), blob("old"), num(1), num(1), {}, num(2)});
  EXPECT_EQ(cut.number(), 0);
  EXPECT_EQ(std::get<host::Blob>(cut.params[1]).bytes, long3000.substr(0, 2048));
  EXPECT_EQ(cut.number(4), peer.port());
  peer.send(port, "");
  Outcome empty = run("ZUV_UDPReceiveBlob", {num(id), blob("old"), num(1), num(1), {}, num(2)});
  EXPECT_EQ(empty.number(), 0);
  EXPECT_EQ(std::get<host::Blob>(empty.params[1]).bytes, "");
  EXPECT_EQ(empty.number(3), kLoopback);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(id)}).number(), 0);
}

TEST_F(UDPTest, ReceivesTimeOutInTicksAndSecondsWithEmptyOutputs) {
  int64_t id = create();
  ASSERT_GT(id, 0);
  struct Case {
    int64_t timeout;
    std::chrono::milliseconds least;
  };
  for (Case c : {Case{-6, std::chrono::milliseconds(100)}, Case{1, std::chrono::seconds(1)}}) {
    SCOPED_TRACE(c.timeout);
    auto start = std::chrono::steady_clock::now();
    Outcome text = run("ZUV_UDPReceive", {num(id), txt("old"), num(1), num(1), {}, num(c.timeout)});
    EXPECT_GE(std::chrono::steady_clock::now() - start, c.least);
    EXPECT_EQ(text.number(), -1);
    EXPECT_EQ(host::utf8(text.text(2)), "");
    EXPECT_EQ(text.number(3), 0);
    EXPECT_EQ(text.number(4), 0);
    Outcome bytes = run("ZUV_UDPReceiveBlob", {num(id), blob("old"), num(1), num(1), {}, num(-6)});
    EXPECT_EQ(bytes.number(), -1);
    EXPECT_EQ(std::get<host::Blob>(bytes.params[1]), (host::Blob{true, ""}));
  }
  EXPECT_EQ(run("ZUV_UDPRelease", {num(id)}).number(), 0);
}

TEST_F(UDPTest, BadIdsAnswerMinusOneAndStillWriteTheOutputs) {
  Outcome text = run("ZUV_UDPReceive", {num(9), txt("old"), num(1), num(1), {}, num(1)});
  EXPECT_EQ(text.number(), -1);
  EXPECT_EQ(host::utf8(text.text(2)), "");
  EXPECT_EQ(text.number(3), 0);
  EXPECT_EQ(text.number(4), 0);
  Outcome bytes = run("ZUV_UDPReceiveBlob", {num(9), noHandleBlob(), num(1), num(1), {}, num(1)});
  EXPECT_EQ(bytes.number(), -1);
  EXPECT_EQ(std::get<host::Blob>(bytes.params[1]), (host::Blob{true, ""}));
  EXPECT_EQ(run("ZUV_UDPSend", {num(9), txt("x"), num(kLoopback), num(9)}).number(), -1);
  EXPECT_EQ(run("ZUV_UDPSendBlob", {num(9), blob("x"), num(kLoopback), num(9)}).number(), -1);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(9)}).number(), -1);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(0)}).number(), -1);
}

TEST_F(UDPTest, ABoundPortIsRefusedAndLeavesNoSocket) {
  int64_t first = create();
  int64_t port = portOf(first);
  int descriptors = peers::openDescriptors();
  EXPECT_EQ(create(port), 0);
  EXPECT_EQ(peers::openDescriptors(), descriptors);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(first)}).number(), 0);
  int64_t again = create(port);
  EXPECT_GT(again, 0);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(again)}).number(), 0);
}

// A TCP or listening stream is no UDP socket: releasing it here would leave it in its listening
// chain and leak its buffers.
TEST_F(UDPTest, UDPReleaseReleasesOnlyUDPSockets) {
  int64_t listener =
      run("ZUV_TCPListen", {num(0), num(0), num(0), num(0), num(0), num(0), num(0), num(0)})
          .number();
  ASSERT_GT(listener, 0);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(listener)}).number(), -1);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(listener), num(0)}).number(), kStreamListening);
  EXPECT_EQ(run("ZUV_UDPSend", {num(listener), txt("x"), num(kLoopback), num(9)}).number(), -1);
  EXPECT_EQ(run("ZUV_TCPRelease", {num(listener), num(0)}).number(), 0);
}

// A receive that waits keeps its socket: another process's release answers -2 until it ends.
TEST_F(UDPTest, ReleaseDuringAWaitingReceiveAnswersBusy) {
  int64_t id = create();
  ASSERT_GT(id, 0);
  host::Emulator::Pending releasing;
  emu.onYield(1, 3, [&] { releasing = emu.start("ZUV_UDPRelease", {num(id)}, 2); });
  Outcome waited = run("ZUV_UDPReceive", {num(id), txt(""), num(0), num(0), {}, num(-6)});
  EXPECT_EQ(waited.number(), -1);
  EXPECT_EQ(emu.wait(releasing).number(), -2);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(id)}).number(), 0);
}

// A receive that waits before its datagram comes keeps where it writes across its yields, which
// move every unlocked handle: the datagram arrives at the third yield, whole, as text and as BLOB.
TEST_F(UDPTest, AReceiveThatWaitsGetsALateDatagramWhole) {
  int64_t id = create();
  ASSERT_GT(id, 0);
  sockaddr_in to = peers::address(peers::kLoopback1, static_cast<uint16_t>(portOf(id)));
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in from = peers::address(peers::kLoopback1, 0);
  ASSERT_EQ(bind(sender, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
  std::string datagram("late \0 datagram", 15);
  for (bool asBlob : {false, true}) {
    SCOPED_TRACE(asBlob ? "BLOB" : "text");
    emu.onYield(1, 3, [&] {
      sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof to);
    });
    Outcome got =
        asBlob ? run("ZUV_UDPReceiveBlob", {num(id), blob("old"), num(1), num(1), {}, num(5)})
               : run("ZUV_UDPReceive", {num(id), txt("old"), num(1), num(1), {}, num(5)});
    EXPECT_EQ(got.number(), 0);
    if (asBlob) {
      EXPECT_EQ(std::get<host::Blob>(got.params[1]).bytes, datagram);
    } else {
      EXPECT_EQ(got.text(2), host::text(datagram));
    }
    EXPECT_EQ(got.number(3), kLoopback);
    EXPECT_EQ(got.number(4), peers::localPort(sender));
  }
  ::close(sender);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(id)}).number(), 0);
}

// A receive that waits on a silent socket sleeps on it between the turns it gives the other
// processes, so that it gives at most one turn per millisecond, and it takes a datagram at the
// turn it comes.
TEST_F(UDPTest, AWaitingReceiveSleepsOnItsSocketAndWakesForADatagram) {
  int64_t id = create();
  ASSERT_GT(id, 0);
  sockaddr_in to = peers::address(peers::kLoopback1, static_cast<uint16_t>(portOf(id)));
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  auto turns = [&] { return emu.entryCount(-122) + emu.entryCount(-93) + emu.entryCount(-89); };
  for (bool asBlob : {false, true}) {
    SCOPED_TRACE(asBlob ? "BLOB" : "text");
    auto receive = [&](int64_t timeout) {
      emu.resetTrace();
      return asBlob
                 ? run("ZUV_UDPReceiveBlob", {num(id), blob(""), num(0), num(0), {}, num(timeout)})
                 : run("ZUV_UDPReceive", {num(id), txt(""), num(0), num(0), {}, num(timeout)});
    };
    Outcome silent = receive(-12);
    int64_t milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(silent.elapsed).count();
    EXPECT_EQ(silent.number(), -1);
    EXPECT_GE(milliseconds, 200);
    EXPECT_LE(turns(), milliseconds + 2)
        << "the wait spun: " << turns() << " turns in " << milliseconds << " ms";
    emu.onYield(1, 3,
                [&] { sendto(sender, "now", 3, 0, reinterpret_cast<sockaddr*>(&to), sizeof to); });
    Outcome woken = receive(5);
    EXPECT_EQ(woken.number(), 0);
    EXPECT_EQ(turns(), 3) << "the datagram waited for a later turn";
  }
  ::close(sender);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(id)}).number(), 0);
}

// A datagram whose text the host cannot make (its conversion or the text refused) is a failed
// receive, not an empty datagram from its sender: -1, the text empty and the sender 0 and 0.
TEST_F(UDPTest, ADatagramWhoseTextTheHostRefusesIsAFailedReceive) {
  int64_t id = create();
  ASSERT_GT(id, 0);
  sockaddr_in to = peers::address(peers::kLoopback1, static_cast<uint16_t>(portOf(id)));
  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  for (host::Refusal refusal : {host::Refusal::Conversion, host::Refusal::SetText}) {
    SCOPED_TRACE(static_cast<int>(refusal));
    ASSERT_EQ(sendto(sender, "datagram", 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 8);
    emu.refuse(refusal);
    Outcome got = run("ZUV_UDPReceive", {num(id), txt("old"), num(1), num(1), {}, num(5)});
    emu.clearRefusals();
    EXPECT_EQ(got.number(), -1);
    EXPECT_EQ(host::utf8(got.text(2)), "");
    EXPECT_EQ(got.number(3), 0);
    EXPECT_EQ(got.number(4), 0);
  }
  ::close(sender);
  EXPECT_EQ(run("ZUV_UDPRelease", {num(id)}).number(), 0);
}

}  // namespace
}  // namespace zuvtest
