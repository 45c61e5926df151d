// The stream commands, driven through FourDPackex the way 4D calls them, against real peers on
// loopback inside the test binary's own network namespace: the status paths of each way a peer
// can end, refused connects, urgent bytes, the id rules, the busy counter across another 4D
// process's release, waits for a status, the multi-status command over arrays of streams, and
// the mended faults of the stream commands.

#include <climits>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "commands/zuv_commands.h"
#include "network/tcp.h"
#include "peers/held_peer.h"
#include "peers/peers.h"
#include "plugin/streams.h"
#include "support/plugin_test.h"
#include "support/stream_test.h"

namespace zuvtest {
namespace {

// Entered before main, while the binary has one thread (see peers.h).
const bool kIsolated = peers::isolated();

using peers::HeldPeer;

constexpr int64_t kLoopback = 0x7F000001;

class StreamsTest : public StreamTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    PluginTest::SetUp();
  }

  int64_t open(int16_t port, const std::string& host = "127.0.0.1", int64_t bufferSize = 0) {
    return run("ZUV_TCPOpen", {txt(host), num(port), num(bufferSize), num(0), {}, num(0), num(0)})
        .number();
  }
  int64_t status(int64_t id) { return run("ZUV_TCPStatus", {num(id), num(0)}).number(); }
  bool awaitStatus(int64_t id, int64_t wanted) {
    return peers::await([&] { return status(id) == wanted; });
  }
  int64_t close(int64_t id) { return run("ZUV_TCPClose", {num(id)}).number(); }
  int64_t release(int64_t id, int64_t mode = 0) {
    return run("ZUV_TCPRelease", {num(id), num(mode)}).number();
  }
  int64_t available(int64_t id) { return run("ZUV_TCPBytesAvailable", {num(id)}).number(); }
  // A stream to a held peer, both ends connected.
  int64_t connect(HeldPeer& peer) {
    int64_t id = open(peer.port());
    EXPECT_GT(id, 0);
    EXPECT_TRUE(peers::await([&] { return status(id) >= kStreamEstablished; }));
    EXPECT_TRUE(peer.awaitConnected());
    return id;
  }
  int64_t waitStatus(int64_t id, int64_t wanted, int64_t seconds) {
    return run("ZUV_TCPWaitStatus", {num(id), num(wanted), num(seconds)}).number();
  }

  // Receives until `count` bytes have come.
  std::string receive(int64_t id, size_t count) {
    std::string bytes;
    peers::await([&] {
      bytes += receiveOnce(id);
      return bytes.size() >= count;
    });
    return bytes;
  }
  // Fills the stream's socket and the peer's buffers until a send would wait.
  // Bytes still on their way to the peer's buffer may free room later: a round that adds
  // nothing within 100 ms ends the filling.
  void fillSocket(int64_t id) {
    int fd = stream(id)->sock.get();
    std::string block(65536, 'f');
    for (int round = 0, added = 1; added && round < 50; ++round) {
      added = 0;
      while (::send(fd, block.data(), block.size(), MSG_NOSIGNAL) > 0) added = 1;
      while (::send(fd, "f", 1, MSG_NOSIGNAL) > 0) added = 1;
      pollfd entry{fd, POLLOUT, 0};
      if (poll(&entry, 1, 100) > 0) added = 1;
    }
  }
};

// ---- Opening, talking, closing
// -------------------------------------------------------------------

TEST_F(StreamsTest, OpenTalksToAnEchoPeerAndCloses) {
  peers::Peer peer(peers::echo());
  int64_t id = open(peer.port());
  ASSERT_EQ(id, 1);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  EXPECT_EQ(send(id, "hello"), 0);
  EXPECT_EQ(receive(id, 5), "hello");

  Outcome info = run("ZUV_TCPStreamInfo", {num(id)});
  EXPECT_EQ(info.number(), 0);
  EXPECT_EQ(info.number(2), kLoopback);
  EXPECT_EQ(static_cast<uint16_t>(info.number(3)), static_cast<uint16_t>(peer.port()));
  EXPECT_NE(info.number(4), 0);
  EXPECT_EQ(info.number(5), -1);
  EXPECT_EQ(info.number(6), kLoopback);

  EXPECT_EQ(run("ZUV_TCPStatus", {num(id), num(17)}).number(), 5);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(id), num(14)}).number(), 5);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(id), num(24)}).number(), 5);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(id), num(5)}).number(), -1);
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(6)}).number(), 1);
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(7)}).number(), 1);

  EXPECT_EQ(close(id), 0);
  EXPECT_EQ(status(id) == kStreamClosing || status(id) == kStreamClosed, true);
  EXPECT_TRUE(awaitStatus(id, kStreamClosed));
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(9)}).number(), 1);
  EXPECT_EQ(release(id), 0);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(0)}).number(), 0);
}

TEST_F(StreamsTest, ARefusedConnectShowsConnectingThenNotConnected) {
  int64_t id = open(static_cast<int16_t>(peers::refusedPort()));
  ASSERT_GT(id, 0);
  int64_t first = status(id);
  EXPECT_TRUE(first == kStreamConnecting || first == kStreamNotConnected) << first;
  EXPECT_TRUE(awaitStatus(id, kStreamNotConnected));
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, PeerFinAfterItsBytesGoesTo14ThenCloseTo18) {
  peers::Peer peer(peers::source("data!", peers::Ending::Fin));
  int64_t id = open(peer.port());
  ASSERT_GT(id, 0);
  ASSERT_TRUE(peers::await([&] { return available(id) == 5; }));
  // The peer has closed, but bytes are left to read: still established.
  EXPECT_EQ(status(id), kStreamEstablished);
  EXPECT_EQ(receive(id, 5), "data!");
  EXPECT_TRUE(awaitStatus(id, kStreamPeerClosed));
  EXPECT_EQ(close(id), 0);
  EXPECT_EQ(status(id), kStreamClosed);
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, PeerCloseThenOurSendsGoTo0) {
  peers::Peer peer(peers::source("x", peers::Ending::Close));
  int64_t id = open(peer.port());
  ASSERT_GT(id, 0);
  EXPECT_EQ(receive(id, 1), "x");
  ASSERT_TRUE(awaitStatus(id, kStreamPeerClosed));
  // The first send reaches the closed peer, which answers with a reset; a later one breaks.
  EXPECT_TRUE(peers::await([&] { return send(id, "late") == -1; }));
  EXPECT_EQ(tcp::getStreamStatus(stream(id)), kStreamNotConnected);
  EXPECT_EQ(status(id), kStreamNotConnected);
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, PeerResetWithUnreadBytesGoesTo20) {
  peers::Peer peer(peers::source("", peers::Ending::Reset, 4));
  int64_t id = open(peer.port());
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  EXPECT_EQ(send(id, "ping"), 0);
  EXPECT_TRUE(awaitStatus(id, kStreamError));
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, AnUrgentByteIsDroppedByThePoll) {
  peers::Peer peer(peers::urgent());
  int64_t id = open(peer.port());
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  ASSERT_TRUE(peers::await([&] { return available(id) >= 1; }));
  // Every poll probes the socket, which reads the urgent byte and drops it.
  EXPECT_EQ(status(id), kStreamEstablished);
  EXPECT_EQ(receive(id, 1), "a");
  EXPECT_EQ(status(id), kStreamEstablished);
  EXPECT_EQ(receiveOnce(id), "");
  EXPECT_EQ(status(id), kStreamEstablished);
  EXPECT_EQ(release(id), 0);
}

// ---- Ids and counters
// -----------------------------------------------------------------------------

TEST_F(StreamsTest, BadIdsNameNoStream) {
  for (int64_t id : {int64_t{0}, int64_t{-1}, int64_t{1024}, int64_t{INT32_MAX}, int64_t{1}}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(close(id), -1);
    EXPECT_EQ(release(id), -1);
    EXPECT_EQ(available(id), 0);
    EXPECT_EQ(run("ZUV_TCPSetTimeout", {num(id), num(5)}).number(), 0);
    Outcome info = run("ZUV_TCPStreamInfo", {num(id)});
    EXPECT_EQ(info.number(), -1);
    EXPECT_EQ(info.number(2), 0);
    EXPECT_EQ(info.number(3), 0);
    EXPECT_EQ(info.number(4), 0);
    EXPECT_EQ(info.number(5), -1);
    EXPECT_EQ(info.number(6), 0);
    if (id >= 0) {
      EXPECT_EQ(status(id), -1);
    }
  }
}

TEST_F(StreamsTest, StatusOfNegativeNumbersAnswersGlobalInformation) {
  EXPECT_EQ(run("ZUV_TCPStatus", {num(-5)}).number(), 1024);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(INT32_MIN)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(-4)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(-13)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(5)}).number(), 1024);
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(13)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(0)}).number(), 0);
}

TEST_F(StreamsTest, CountersWrapAroundInsteadOfOverflowing) {
  gTCPStats[0] = UINT32_MAX;
  int64_t id = open(static_cast<int16_t>(peers::refusedPort()));
  ASSERT_GT(id, 0);
  EXPECT_EQ(run("ZUV_TCPStatus", {num(-6)}).number(), 0);
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, SetTimeoutStoresSecondsAndNegativeOnlyReads) {
  int64_t id = open(static_cast<int16_t>(peers::refusedPort()));
  EXPECT_EQ(run("ZUV_TCPSetTimeout", {num(id), num(-1)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPSetTimeout", {num(id), num(7)}).number(), 7);
  EXPECT_EQ(run("ZUV_TCPSetTimeout", {num(id), num(-1)}).number(), 7);
  EXPECT_EQ(run("ZUV_TCPSetTimeout", {num(id), num(0)}).number(), 0);
  EXPECT_EQ(release(id), 0);
}

// ---- Mended faults ------------------------------------------------------------------------------

TEST_F(StreamsTest, AnUnresolvableNameMakesNoStream) {
  peers::Peer peer(peers::echo());
  EXPECT_EQ(open(peer.port(), "bad..name"), 0);
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(6)}).number(), 0);
  EXPECT_FALSE(peer.connected());
  // A numeric 0 address is this host and may be named.
  int64_t id = open(peer.port(), "0.0.0.0");
  EXPECT_GT(id, 0);
  EXPECT_TRUE(awaitStatus(id, kStreamEstablished));
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, NoSocketIsKeptOnDescriptorZero) {
  int saved = fcntl(0, F_DUPFD_CLOEXEC, 3);
  ASSERT_GE(saved, 0);
  ::close(0);
  int64_t id = open(static_cast<int16_t>(peers::refusedPort()));
  bool zeroFree = fcntl(0, F_GETFD) == -1;
  int sock = id > 0 ? stream(id)->sock.get() : -1;
  dup2(saved, 0);
  ::close(saved);
  ASSERT_GT(id, 0);
  EXPECT_TRUE(zeroFree);
  EXPECT_GT(sock, 0);
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, CloseAnswersMinusOneWhenItsFlushFailed) {
  peers::Peer peer(peers::sink(), peers::kLoopback1, 4096);
  int64_t id = open(peer.port(), "127.0.0.1", 4096);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  fillSocket(id);
  int32_t held = 0;
  emu.run(1, [&] { held = tcp::sendBuffered(stream(id), "waiting", 7, 1); });
  EXPECT_EQ(held, 7);
  // The flush meets a full socket; the send time-out passes at its third yield.
  emu.onYield(1, 3, [] { tcp::testing::advanceClocks(241); });
  EXPECT_EQ(close(id), -1);
  EXPECT_EQ(release(id), 0);
}

TEST_F(StreamsTest, ReleaseFromAnotherProcessDuringACloseAnswersBusyThenSucceeds) {
  peers::Peer peer(peers::sink(), peers::kLoopback1, 4096);
  int64_t id = open(peer.port(), "127.0.0.1", 4096);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  fillSocket(id);
  emu.run(1, [&] { tcp::sendBuffered(stream(id), "waiting", 7, 1); });
  host::Emulator::Pending releasing;
  emu.onYield(1, 1, [&] { releasing = emu.start("ZUV_TCPRelease", {num(id), num(0)}, 2); });
  emu.onYield(1, 5, [] { tcp::testing::advanceClocks(241); });
  EXPECT_EQ(close(id), -1);
  EXPECT_EQ(emu.wait(releasing).number(), -2);
  EXPECT_EQ(release(id, 0), 0);
  EXPECT_EQ(release(id, 0), -1);
}

TEST_F(StreamsTest, ASendMakingNoProgressForTheTimeOutFailsAndKeepsTheStatus) {
  peers::Peer peer(peers::sink(), peers::kLoopback1, 4096);
  int64_t id = open(peer.port(), "127.0.0.1", 4096);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  fillSocket(id);
  emu.onYield(1, 7, [] { tcp::testing::advanceClocks(239); });
  emu.onYield(1, 21, [] { tcp::testing::advanceClocks(2); });
  int64_t yieldsBefore = emu.yields(1);
  EXPECT_EQ(send(id, std::string(1000, 's')), -1);
  // 239 seconds were not enough: the send went on until the clock passed 240.
  EXPECT_GE(emu.yields(1) - yieldsBefore, 21);
  EXPECT_EQ(status(id), kStreamEstablished);
  EXPECT_EQ(release(id), 0);
}

// ---- The order of the outputs
// ----------------------------------------------------------------------------------

// 4D may pass one variable for several outputs; the value it keeps is the one written last. The
// cells here are aliased on purpose to see that order.
TEST_F(StreamsTest, OutputsAreWrittenInTheirOrderEvenWhenVariablesAreShared) {
  struct Call {
    void (*handler)(PluginBlock*);
    std::vector<int> aliased;  // the outputs that share one cell
    int32_t kept;
  };
  const Call calls[] = {
      // ZUV_TCPLocalInfo writes p1, p3, p2, p4.
      {handleTCPLocalInfo, {2, 3}, 4},
      {handleTCPLocalInfo, {1, 3}, -1},
      {handleTCPLocalInfo, {1, 2, 3, 4}, 84115459},
      // ZUV_TCPStreamInfo on a bad id writes p2 to p6 in order: 0, 0, 0, -1, 0.
      {handleTCPStreamInfo, {4, 5}, -1},
      {handleTCPStreamInfo, {5, 6}, 0},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(testing::PrintToString(call.aliased));
    int32_t cells[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int32_t shared = 12345;
    void* parameters[7];
    for (int i = 0; i < 7; ++i) parameters[i] = &cells[i];
    for (int index : call.aliased) parameters[index - 1] = &shared;
    int64_t result = 99;
    PluginBlock block{parameters, &result, nullptr};
    emu.run(1, [&] { call.handler(&block); });
    EXPECT_EQ(shared, call.kept);
  }
}

// ---- Waiting for a status
// ------------------------------------------------------------------------

TEST_F(StreamsTest, WaitStatusFor8AndFor14) {
  HeldPeer peer;
  int64_t id = connect(peer);
  emu.resetTrace();
  EXPECT_EQ(waitStatus(id, 0, 5), 8);
  // Even a status already reached costs one poll and a sleep of six ticks.
  EXPECT_EQ(emu.entryCount(-89), 1);
  EXPECT_EQ(waitStatus(id, -3, 0), 8);
  peer.finish();
  EXPECT_EQ(waitStatus(id, 14, 5), 14);
}

// A wait for a status that the stream can no longer reach answers at once with the stream's
// status, with or without a time-out: 0 for a refused connection (where a connection still
// pending at the time-out answers 6), 14 once the peer has closed, 18 once both sides have.
TEST_F(StreamsTest, AWaitForAStatusThatCanNoLongerComeAnswersAtOnce) {
  int64_t refused = run("ZUV_TCPOpen", {txt("127.0.0.1"),
                                        num(static_cast<int16_t>(peers::refusedPort())),
                                        num(0),
                                        num(0),
                                        {},
                                        num(0),
                                        num(0)})
                        .number();
  ASSERT_GT(refused, 0);
  HeldPeer peer;
  int64_t closed = connect(peer);
  peer.finish();
  ASSERT_TRUE(peers::await([&] { return status(closed) == kStreamPeerClosed; }));
  struct Case {
    const char* what;
    int64_t wanted;
    int64_t answer;
  };
  const Case cases[] = {{"refused", 8, kStreamNotConnected},
                        {"peer closed", 18, kStreamPeerClosed},
                        {"closed both ways", 20, kStreamClosed}};
  for (const Case& c : cases) {
    int64_t id = c.answer == kStreamNotConnected ? refused : closed;
    if (c.answer == kStreamClosed) {
      ASSERT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
    }
    for (int64_t seconds : {0, 5}) {
      SCOPED_TRACE(std::string(c.what) + ", time-out " + std::to_string(seconds));
      emu.resetTrace();
      EXPECT_EQ(waitStatus(id, c.wanted, seconds), c.answer);
      // A refused connection may still show 6 at the first poll; then 0 ends the wait.
      EXPECT_LE(emu.entryCount(-89), 2) << "the wait went on for a status that cannot come";
    }
  }
  EXPECT_EQ(run("ZUV_TCPRelease", {num(refused), num(0)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPRelease", {num(closed), num(0)}).number(), 0);
}

TEST_F(StreamsTest, AWaitOnAUDPSocketAnswersMinus1AfterOnePoll) {
  int64_t id = 0;
  emu.run(1, [&] { id = streams::add(tcp::createUDP(0)); });
  ASSERT_GT(id, 0);
  emu.resetTrace();
  EXPECT_EQ(waitStatus(id, 8, 0), -1);
  EXPECT_EQ(emu.entryCount(-89), 1);
  EXPECT_EQ(status(id), -1);
  emu.run(1, [&] { EXPECT_EQ(tcp::releaseUDP(streams::remove(static_cast<int32_t>(id))), 0); });
}

// ---- Multi-status
// ---------------------------------------------------------------------------------

TEST_F(StreamsTest, MultiStatusAnswersTheFirstStreamAtTheThresholdAndPollsEveryOne) {
  peers::Peer echo(peers::echo());
  int64_t listener =
      run("ZUV_TCPListen", {num(0), num(0), num(0), num(0), num(0), num(0), num(0), num(0)})
          .number();
  int64_t client =
      run("ZUV_TCPOpen", {txt("127.0.0.1"), num(echo.port()), num(0), num(0), {}, num(0), num(0)})
          .number();
  ASSERT_GT(listener, 0);
  ASSERT_GT(client, 0);
  ASSERT_TRUE(peers::await([&] {
    return run("ZUV_TCPStatus", {num(client), num(0)}).number() == kStreamEstablished;
  }));
  auto multi = [&](std::vector<int32_t> ids, std::vector<int32_t> statuses, int64_t threshold) {
    return run("ZUV_TCPMultiStatus",
               {LongintArray{std::move(ids)}, LongintArray{std::move(statuses)}, num(threshold)});
  };
  auto statusesOf = [](const Outcome& outcome) {
    return std::get<LongintArray>(outcome.params[1]).elements;
  };
  // Element 0 is never read; a bad id leaves its status as it was.
  Outcome both = multi({99, static_cast<int32_t>(listener), 500, static_cast<int32_t>(client)},
                       {-7, -7, -7, -7}, 0);
  EXPECT_EQ(both.number(), 3);
  EXPECT_EQ(statusesOf(both), (std::vector<int32_t>{-7, kStreamListening, -7, kStreamEstablished}));
  EXPECT_EQ(multi({0, static_cast<int32_t>(listener), static_cast<int32_t>(client)}, {0, 0, 0}, 2)
                .number(),
            1);
  EXPECT_EQ(multi({0, static_cast<int32_t>(listener)}, {0, 0}, 9).number(), -1);
  // A shorter status array takes only its own elements.
  Outcome shorter =
      multi({0, static_cast<int32_t>(listener), static_cast<int32_t>(client)}, {-7, -7}, 0);
  EXPECT_EQ(shorter.number(), 2);
  EXPECT_EQ(statusesOf(shorter), (std::vector<int32_t>{-7, kStreamListening}));
  EXPECT_EQ(multi({0}, {0, 5}, 0).number(), -1);
  // Only longint arrays are read: the manifest declares them, so a frame of our own passes an
  // integer array, which is left as it was.
  host::Frame frame = emu.makeFrame(
      {{"ids", host::Kind::IntegerArray, host::Direction::In},
       {"statuses", host::Kind::LongintArray, host::Direction::InOut},
       {"threshold", host::Kind::Longint, host::Direction::In}},
      {IntegerArray{{0, static_cast<int16_t>(listener)}}, LongintArray{{0, -7}}, num(0)},
      host::Kind::Longint);
  emu.run(1, [&] {
    PluginBlock block{frame.parameters(), frame.result(), nullptr};
    handleTCPMultiStatus(&block);
  });
  EXPECT_EQ(std::get<int64_t>(frame.resultValue()), -1);
  EXPECT_EQ(std::get<LongintArray>(frame.param(2)).elements, (std::vector<int32_t>{0, -7}));
  EXPECT_EQ(run("ZUV_TCPRelease", {num(listener), num(0)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPRelease", {num(client), num(0)}).number(), 0);
}

// ---- Names
// ----------------------------------------------------------------------------------------

TEST_F(StreamsTest, NameToAddrAnswersTheFirstIPv4Address) {
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("127.0.0.1")}).number(), kLoopback);
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("127.1")}).number(), kLoopback);
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("localhost")}).number(), kLoopback);
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("127.0.0.2")}).number(), kLoopback + 1);
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("bad..name")}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("::1")}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("255.255.255.255")}).number(), -1);
}

TEST_F(StreamsTest, LocalInfoAnswersThisHostAndItsFixedValues) {
  Outcome info = run("ZUV_TCPLocalInfo");
  EXPECT_EQ(info.number(), 0);
  EXPECT_EQ(info.number(2), 4);
  EXPECT_EQ(info.number(3), -1);
  EXPECT_EQ(info.number(4), 84115459);
  EXPECT_EQ(run("ZUV_TCPNameToAddr", {txt("")}).number(), info.number(1));
}

TEST_F(StreamsTest, AddrToNameFollowsItsFlags) {
  EXPECT_EQ(run("ZUV_TCPAddrToName", {num(kLoopback), num(2)}).text(), u"127.0.0.1");
  EXPECT_EQ(run("ZUV_TCPAddrToName", {num(kLoopback), num(3)}).text(), u"127.0.0.1");
  EXPECT_EQ(run("ZUV_TCPAddrToName", {num(kLoopback), num(0)}).text(), u"localhost");
  EXPECT_EQ(run("ZUV_TCPAddrToName", {num(kLoopback), num(1)}).text(), u"localhost");
  // 127.0.0.2 is not in /etc/hosts and no resolver answers inside the namespace: the lookup
  // fails (EAI_AGAIN) with or without a required name, and the result stays empty.
  EXPECT_EQ(run("ZUV_TCPAddrToName", {num(kLoopback + 1), num(1)}).text(), u"");
  EXPECT_EQ(run("ZUV_TCPAddrToName", {num(kLoopback + 1), num(0)}).text(), u"");
  EXPECT_EQ(run("ZUV_TCPAddrToName", {num(kLoopback + 1), num(2)}).text(), u"127.0.0.2");
}

TEST_F(StreamsTest, ALocalBindToTheSecondLoopbackAddressShowsInStreamInfo) {
  peers::Peer peer(peers::echo(), peers::kLoopback2);
  int64_t id = run("ZUV_TCPOpen",
                   {txt("127.0.0.2"), num(peer.port()), num(0), num(0), {}, num(0), num(kLoopback)})
                   .number();
  ASSERT_GT(id, 0);
  ASSERT_TRUE(awaitStatus(id, kStreamEstablished));
  Outcome info = run("ZUV_TCPStreamInfo", {num(id)});
  EXPECT_EQ(info.number(2), kLoopback + 1);
  EXPECT_EQ(info.number(6), kLoopback);
  EXPECT_EQ(release(id), 0);
}

}  // namespace
}  // namespace zuvtest
