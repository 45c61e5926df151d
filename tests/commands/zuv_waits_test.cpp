// How the receives and the status wait spend their time, driven through FourDPackex against
// peers on loopback, plain and under TLS: a receive whose stream can bring no more bytes ends at
// once with what it took, a wait that bytes may still end sleeps on its socket between the turns
// it gives the other 4D processes, and a reset shows as status 20 whichever command meets it
// first. The emulator counts the turns and sleeps of each call: a wait that sleeps on its socket
// at least a millisecond a pass gives at most one turn per millisecond it holds the call, where
// one that spins gives hundreds.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "network/tcp.h"
#include "peers/held_peer.h"
#include "peers/peers.h"
#include "peers/tls_in_process.h"
#include "peers/tls_peers.h"
#include "support/stream_test.h"
#include "support/temp_folder.h"

namespace zuvtest {
namespace {

// Entered before main, while the binary has one thread (see peers.h).
const bool kIsolated = peers::isolated();

constexpr int64_t kTLS = 0x400;
constexpr int64_t kKeepStream = 0x2;
// The library's code for a connection that ended without the peer's close notification.
constexpr int64_t kUnannouncedClose = 0x0A000126;

// How a peer ends the connection once the stream is established.
enum class End {
  kFin,     // a plain TCP end (under TLS without the close notification)
  kReset,   // a close with SO_LINGER 0: a reset
  kNotify,  // the TLS close notification, the connection left open
  kFatal,   // a TLS record that cannot be opened, the connection left open
  kNone,    // stays open and silent
};

// Makes a plain socket reset its connection when it is closed.
void resetOnClose(int fd) {
  linger hard{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

// A peer, plain or TLS, that ends its connection as asked when told to (end()), and then keeps
// its socket until the test is over (a reset has closed it already).
class EndingPeer {
 public:
  EndingPeer(bool tls, End end) : end_(end) {
    if (tls) {
      tls_ = std::make_unique<peers::InProcessServer>(
          [this](SSL* ssl, int fd, peers::InProcessServer& self) {
            ready_ = true;
            awaitGo([&] { return self.stopped(); });
            if (end_ == End::kNotify) SSL_shutdown(ssl);
            if (end_ == End::kFatal) ::send(fd, "\x17\x03\x03\x00\x05garbage", 12, MSG_NOSIGNAL);
            if (end_ == End::kFin) ::shutdown(fd, SHUT_WR);
            // The server closes the socket itself once serve returns.
            if (end_ == End::kReset) return resetOnClose(fd);
            self.waitForStop();
          },
          peers::InProcessServer::Tickets::kNone);
      return;
    }
    plain_ = std::make_unique<peers::Peer>([this](int fd, peers::Peer& self) {
      ready_ = true;
      awaitGo([&] { return self.stopped(); });
      if (end_ == End::kFin) ::shutdown(fd, SHUT_WR);
      if (end_ == End::kReset) {
        resetOnClose(fd);
        ::close(fd);
        self.closedBySelf();
      }
      self.waitForStop();
    });
  }
  int16_t port() const { return tls_ ? tls_->port() : plain_->port(); }
  // True once the peer has made its connection (and its handshake, under TLS).
  bool awaitReady() {
    return peers::await([&] { return ready_.load(); });
  }
  void end() { go_ = true; }

 private:
  void awaitGo(const std::function<bool()>& stopped) {
    while (!go_ && !stopped()) std::this_thread::yield();
  }

  End end_;
  std::atomic<bool> ready_{false};
  std::atomic<bool> go_{false};
  std::unique_ptr<peers::InProcessServer> tls_;
  std::unique_ptr<peers::Peer> plain_;
};

class WaitsTest : public StreamTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    ASSERT_TRUE(peers::Certificates::get().ok()) << "the openssl command made no certificates";
    ASSERT_TRUE(folder.made());
    PluginTest::SetUp();
  }

  int64_t open(int16_t port, int64_t flags = 0) {
    return run("ZUV_TCPOpen", {txt("127.0.0.1"), num(port), num(0), num(flags), {}, num(0), num(0)})
        .number();
  }
  int64_t status(int64_t id) { return run("ZUV_TCPStatus", {num(id), num(0)}).number(); }
  bool awaitStatus(int64_t id, int64_t wanted) {
    return peers::await([&] { return status(id) == wanted; });
  }
  int64_t lastError(int64_t id) { return run("ZUV_SSLLastError", {num(id), txt("")}).number(); }
  int64_t release(int64_t id) { return run("ZUV_TCPRelease", {num(id), num(0)}).number(); }

  // What one call cost: the turns it gave the other processes (yields and sleeps), the sleeps
  // among them, and how long it held the host.
  struct Cost {
    Outcome outcome;
    int64_t turns = 0;
    int64_t sleeps = 0;
    int64_t milliseconds = 0;
    int64_t answer() const { return outcome.number(); }
  };
  Cost measure(std::string_view command, std::vector<Value> args) {
    emu.resetTrace();
    Cost cost;
    cost.outcome = run(command, std::move(args));
    cost.sleeps = emu.entryCount(-89);
    cost.turns = emu.entryCount(-93) + emu.entryCount(-122) + cost.sleeps;
    cost.milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(cost.outcome.elapsed).count();
    return cost;
  }

  // The receives of every kind, with long deadlines: 5 seconds, and the stream kept.
  Cost receiveText(int64_t id, int64_t limit, int64_t timeout = 300) {
    return measure("ZUV_TCPReceive",
                   {num(id), txt("old"), num(limit), num(0), num(0), txt(""), num(timeout)});
  }
  Cost receiveBlob(int64_t id, int64_t timeout = 300) {
    return measure("ZUV_TCPReceiveBlob",
                   {num(id), blob({}), num(100), num(0), num(kKeepStream), txt(""), num(timeout)});
  }
  Cost receiveFile(int64_t id, int64_t seconds = 5) {
    return measure("ZUV_TCPReceiveFile", {num(id), txt(folder.path("received")), num(0),
                                          num(kKeepStream), num(seconds), num(0)});
  }

  // A stream to a peer that has ended as asked, the end already in the stream's socket.
  int64_t streamToEndedPeer(EndingPeer& peer, bool tls, End end) {
    int64_t id = open(peer.port(), tls ? kTLS : 0);
    EXPECT_GT(id, 0);
    EXPECT_TRUE(awaitStatus(id, kStreamEstablished));
    EXPECT_TRUE(peer.awaitReady());
    peer.end();
    if (end != End::kNone) {
      EXPECT_TRUE(awaitEndInSocket(id, end));
    }
    return id;
  }
  // Waits until what the peer's end sends has reached the stream's socket, without reading it.
  bool awaitEndInSocket(int64_t id, End end) {
    short wanted = end == End::kReset ? POLLERR : end == End::kFin ? POLLRDHUP : POLLIN;
    return peers::await([&] {
      pollfd entry{stream(id)->sock.get(), static_cast<short>(POLLIN | POLLRDHUP), 0};
      return poll(&entry, 1, 0) == 1 && (entry.revents & wanted) != 0;
    });
  }

  TempFolder folder{"zuv-waits"};
};

// ---- A receive whose stream can bring no more ends at once --------------------------------------

// A peer sends "hello" and ends. A receive with a limit it does not reach
// and a deadline of 5 seconds gives "hello" as soon as the end is seen, and the next one answers 0
// at once; neither waits out its deadline.
TEST_F(WaitsTest, AReceiveGivesWhatCameOnceThePeerHasEnded) {
  peers::HeldPeer peer;
  int64_t id = open(peer.port());
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  ASSERT_TRUE(peer.awaitConnected());
  peer.write("hello");
  peer.finish();
  ASSERT_TRUE(awaitEndInSocket(id, End::kFin));
  Cost first = receiveText(id, 100);
  EXPECT_EQ(first.answer(), 5);
  EXPECT_EQ(host::utf8(first.outcome.text(2)), "hello");
  EXPECT_LE(first.turns, 2) << "the receive went on after the peer's end";
  Cost second = receiveText(id, 100);
  EXPECT_EQ(second.answer(), 0);
  EXPECT_EQ(host::utf8(second.outcome.text(2)), "");
  EXPECT_LE(second.turns, 1) << "the receive waited on a stream that has ended";
  EXPECT_EQ(release(id), 0);
}

// Every receive on a stream that can bring no more bytes ends at once, before its deadline of 5
// seconds and without a sleep: the text receive with what it took (0) when the peer ended it, -1
// when the connection failed (refused, reset, a fatal TLS error or a failed handshake); the BLOB
// receive with the bytes it gained (0); the file receive with -1, the stream no longer
// established.
TEST_F(WaitsTest, EveryReceiveOnAStreamThatCanBringNoMoreEndsAtOnce) {
  // How the stream came to bring no more: its peer's end, a refused connect (its refusal seen by
  // a status poll, or by nothing yet), or a handshake that a plain server failed.
  enum class Way { kPeer, kRefused, kRefusedUnasked, kFailedHandshake };
  struct Case {
    const char* what;
    bool tls;
    Way way;
    End end;
    int64_t textAnswer;
    int64_t statusAfter;
  };
  const Case cases[] = {
      {"plain, peer ended", false, Way::kPeer, End::kFin, 0, kStreamPeerClosed},
      {"plain, reset", false, Way::kPeer, End::kReset, -1, kStreamError},
      {"plain, refused", false, Way::kRefused, End::kNone, -1, kStreamNotConnected},
      {"plain, refused unasked", false, Way::kRefusedUnasked, End::kNone, -1, kStreamNotConnected},
      {"TLS, close notification", true, Way::kPeer, End::kNotify, 0, kStreamPeerClosed},
      {"TLS, end without notification", true, Way::kPeer, End::kFin, 0, kStreamPeerClosed},
      {"TLS, reset", true, Way::kPeer, End::kReset, -1, kStreamError},
      {"TLS, fatal record", true, Way::kPeer, End::kFatal, -1, kStreamError},
      {"TLS, refused", true, Way::kRefused, End::kNone, -1, kStreamNotConnected},
      {"TLS, refused unasked", true, Way::kRefusedUnasked, End::kNone, -1, kStreamNotConnected},
      {"TLS, failed handshake", true, Way::kFailedHandshake, End::kNone, -1, kStreamConnecting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<EndingPeer> peer;
    std::unique_ptr<peers::HeldPeer> plainServer;
    int64_t id = 0;
    if (c.way == Way::kPeer) {
      peer = std::make_unique<EndingPeer>(c.tls, c.end);
      id = streamToEndedPeer(*peer, c.tls, c.end);
    } else if (c.way == Way::kRefused || c.way == Way::kRefusedUnasked) {
      id = open(static_cast<int16_t>(peers::refusedPort()), c.tls ? kTLS : 0);
      if (c.way == Way::kRefused) {
        ASSERT_TRUE(awaitStatus(id, kStreamNotConnected));
      }
    } else {
      // A plain server that answers the client's first handshake message with text.
      plainServer = std::make_unique<peers::HeldPeer>();
      id = open(plainServer->port(), kTLS);
      ASSERT_TRUE(plainServer->awaitConnected());
      plainServer->write("HTTP/1.0 400 Bad Request\r\n\r\n");
      ASSERT_TRUE(peers::await([&] { return status(id) >= 0 && lastError(id) != 0; }));
    }
    ASSERT_GT(id, 0);
    for (int64_t limit : {100, 0}) {
      SCOPED_TRACE(limit);
      Cost text = receiveText(id, limit);
      EXPECT_EQ(text.answer(), c.textAnswer);
      EXPECT_EQ(host::utf8(text.outcome.text(2)), "");
      EXPECT_LE(text.turns, 1) << "the text receive waited for bytes that cannot come";
      EXPECT_EQ(text.sleeps, 0);
    }
    Cost blobReceive = receiveBlob(id);
    EXPECT_EQ(blobReceive.answer(), 0);
    EXPECT_LE(blobReceive.turns, 1);
    EXPECT_EQ(blobReceive.sleeps, 0) << "the BLOB receive slept before it saw the end";
    Cost fileReceive = receiveFile(id);
    EXPECT_EQ(fileReceive.answer(), -1);
    EXPECT_LE(fileReceive.turns, 1);
    EXPECT_EQ(fileReceive.sleeps, 0) << "the file receive slept before it saw the end";
    EXPECT_EQ(status(id), c.statusAfter);
    EXPECT_EQ(release(id), 0);
  }
}

// ---- A wait that bytes may still end sleeps
// ------------------------------------------------------

// On a stream that may still bring bytes but brings none, every receive and the status wait run
// to their deadline asleep on the socket (or a timer) between their turns: never more than one
// turn per millisecond, whatever the stream's state. The receives of BLOBs and files end at once
// on a stream that is not established, as they always have.
TEST_F(WaitsTest, AWaitThatNothingEndsSleepsBetweenItsTurns) {
  struct Case {
    const char* what;
    std::function<int64_t()> make;
  };
  peers::HeldPeer silent;
  peers::HeldPeer silentToo;
  EndingPeer silentTLS(true, End::kNone);
  peers::HeldPeer notAnswering;
  const Case cases[] = {
      {"plain, established",
       [&] {
         int64_t id = open(silent.port());
         EXPECT_TRUE(awaitStatus(id, kStreamEstablished));
         return id;
       }},
      {"plain, closed on this side only",
       [&] {
         int64_t id = open(silentToo.port());
         EXPECT_TRUE(awaitStatus(id, kStreamEstablished));
         EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
         EXPECT_EQ(status(id), kStreamClosing);
         return id;
       }},
      {"listening",
       [&] {
         return run("ZUV_TCPListen",
                    {num(0), num(0), num(0), num(0), num(0), num(0), num(0), num(0)})
             .number();
       }},
      {"TLS, established", [&] { return streamToEndedPeer(silentTLS, true, End::kNone); }},
      {"TLS, handshake under way",
       [&] {
         int64_t id = open(notAnswering.port(), kTLS);
         EXPECT_TRUE(notAnswering.awaitConnected());
         EXPECT_EQ(status(id), kStreamConnecting);
         return id;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int64_t id = c.make();
    ASSERT_GT(id, 0);
    std::vector<std::pair<const char*, Cost>> waits;
    waits.emplace_back("text receive", receiveText(id, 100, 12));
    waits.emplace_back("text receive without limit", receiveText(id, 0, 12));
    waits.emplace_back("BLOB receive", receiveBlob(id, 12));
    waits.emplace_back("file receive", receiveFile(id, 1));
    waits.emplace_back("status wait", measure("ZUV_TCPWaitStatus", {num(id), num(18), num(1)}));
    for (const auto& [what, cost] : waits) {
      SCOPED_TRACE(what);
      EXPECT_LE(cost.turns, cost.milliseconds + 2)
          << "the wait spun: " << cost.turns << " turns in " << cost.milliseconds << " ms";
    }
    EXPECT_EQ(waits[0].second.answer(), 0);
    EXPECT_GE(waits[0].second.milliseconds, 200) << "the text receive ended before its deadline";
    EXPECT_EQ(release(id), 0);
  }
}

// ---- One status for a reset
// ----------------------------------------------------------------------

// A peer's reset shows as status 20 whichever command meets it first: a status poll, a status
// wait, the bytes available, a receive of each kind or a send. Under TLS the last error then says
// that the connection ended without a close notification. A later send fails and leaves the
// status and the stream as they are.
TEST_F(WaitsTest, AResetGives20WhicheverCommandMeetsItFirst) {
  struct First {
    const char* command;
    int64_t answer;
    std::function<Cost(int64_t)> run;
  };
  const First firsts[] = {
      {"ZUV_TCPStatus", kStreamError,
       [&](int64_t id) {
         return measure("ZUV_TCPStatus", {num(id), num(0)});
       }},
      {"ZUV_TCPWaitStatus", kStreamError,
       [&](int64_t id) {
         return measure("ZUV_TCPWaitStatus", {num(id), num(8), num(5)});
       }},
      {"ZUV_TCPBytesAvailable", 0,
       [&](int64_t id) { return measure("ZUV_TCPBytesAvailable", {num(id)}); }},
      {"ZUV_TCPReceive", -1, [&](int64_t id) { return receiveText(id, 100); }},
      {"ZUV_TCPReceiveBlob", 0, [&](int64_t id) { return receiveBlob(id); }},
      {"ZUV_TCPReceiveFile", -1, [&](int64_t id) { return receiveFile(id); }},
      {"ZUV_TCPSend", -1,
       [&](int64_t id) {
         return measure("ZUV_TCPSend", {num(id), txt("late"), num(0), num(0)});
       }},
  };
  for (bool tls : {false, true}) {
    for (const First& first : firsts) {
      SCOPED_TRACE(std::string(tls ? "TLS, " : "plain, ") + first.command);
      EndingPeer peer(tls, End::kReset);
      int64_t id = streamToEndedPeer(peer, tls, End::kReset);
      ASSERT_GT(id, 0);
      EXPECT_EQ(first.run(id).answer(), first.answer);
      EXPECT_EQ(status(id), kStreamError);
      EXPECT_EQ(lastError(id), tls ? kUnannouncedClose : 0);
      EXPECT_EQ(run("ZUV_TCPSend", {num(id), txt("later"), num(0), num(0)}).number(), -1);
      EXPECT_EQ(status(id), kStreamError);
      EXPECT_EQ(release(id), 0) << "the stream was released by the send";
    }
  }
}

}  // namespace
}  // namespace zuvtest
