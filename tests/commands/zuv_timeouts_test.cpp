// The time-outs of ZUV_TCPReceive, ZUV_TCPReceiveBlob and ZUV_TCPReceiveFile are deadlines for
// the whole call: a peer that never stops sending a byte now and then does not put them off, as
// it would put off an idle time.

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <sys/socket.h>

#include "network/tcp.h"
#include "peers/peers.h"
#include "support/plugin_test.h"
#include "support/temp_folder.h"

namespace zuvtest {
namespace {

// Entered before main, while the binary has one thread (see peers.h).
const bool kIsolated = peers::isolated();

// Sends a byte every 20 ms for 20 seconds at most, or until the stream or the test ends it:
// a receive that waited for the sender to pause would end only with it.
peers::Peer::Serve trickle(std::atomic<int>& sent) {
  return [&sent](int fd, peers::Peer& self) {
    for (int i = 0; i < 1000 && !self.stopped(); ++i) {
      if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1) return;
      ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
}

class TimeOutTest : public PluginTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    PluginTest::SetUp();
  }

  // A stream to a trickling peer that has sent its first bytes.
  int64_t openTo(const peers::Peer& peer, const std::atomic<int>& sent) {
    int64_t id =
        run("ZUV_TCPOpen", {txt("127.0.0.1"), num(peer.port()), num(0), num(0), {}, num(0), num(0)})
            .number();
    EXPECT_GT(id, 0);
    EXPECT_TRUE(peers::await([&] {
      return run("ZUV_TCPStatus", {num(id), num(0)}).number() == kStreamEstablished && sent >= 2;
    }));
    return id;
  }
};

TEST_F(TimeOutTest, EveryReceiveEndsAtItsDeadlineWhileBytesStillCome) {
  TempFolder folder("zuv-timeouts");
  ASSERT_TRUE(folder.made());
  struct Case {
    const char* command;
    std::vector<Value> args;  // after the stream id
    bool intoFile;
  };
  const std::string file = folder.path("received");
  // No byte limit is reached and no delimiter comes: only the deadline ends them.
  const Case cases[] = {
      {"ZUV_TCPReceive", {txt(""), num(1000000), num(0), num(0), txt("never"), num(30)}, false},
      {"ZUV_TCPReceiveBlob",
       {blob(""), num(1000000), num(0), num(2), txt("never"), num(30)},
       false},
      {"ZUV_TCPReceiveFile", {txt(file), num(0), num(2), num(1), num(0)}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    std::atomic<int> sent{0};
    peers::Peer peer(trickle(sent));
    int64_t id = openTo(peer, sent);
    std::vector<Value> args = {num(id)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    Outcome out = run(c.command, args);
    int stillSending = sent;
    EXPECT_FALSE(peer.finished()) << "the receive waited for the peer's end";
    // The text and BLOB receives answer the bytes they took; the file receive answers 0.
    int64_t received =
        c.intoFile ? static_cast<int64_t>(TempFolder::read(file).size()) : out.number();
    EXPECT_GT(received, 0);
    EXPECT_LT(received, 1000);
    EXPECT_TRUE(peers::await([&] { return sent > stillSending; })) << "the peer sends on";
    EXPECT_EQ(run("ZUV_TCPRelease", {num(id), num(0)}).number(), 0);
  }
}

}  // namespace
}  // namespace zuvtest
