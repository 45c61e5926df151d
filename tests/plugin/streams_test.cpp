// The stream table and the life cycle, driven through FourDPackex the way 4D calls them: new
// streams take the lowest free id, a full table of 1023 streams refuses the next one and leaks
// nothing, and shut-down releases every stream and clears the table. The streams connect to a
// refused port on loopback inside the test binary's own network namespace.

#include "plugin/streams.h"

#include <cstdint>
#include <string>
#include <vector>

#include "peers/peers.h"
#include "support/plugin_test.h"
#include "support/stream_test.h"

namespace zuvtest {
namespace {

// Entered before main, while the binary has one thread (see peers.h).
const bool kIsolated = peers::isolated();

class StreamTableTest : public StreamTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    PluginTest::SetUp();
  }

  int64_t open(int16_t port) {
    return run("ZUV_TCPOpen", {txt("127.0.0.1"), num(port), num(0), num(0), {}, num(0), num(0)})
        .number();
  }
  int64_t release(int64_t id) { return run("ZUV_TCPRelease", {num(id), num(0)}).number(); }
};

TEST_F(StreamTableTest, IdsAreTheLowestFreeAndStreamAtWalksThem) {
  uint16_t port = peers::refusedPort();
  EXPECT_EQ(open(static_cast<int16_t>(port)), 1);
  EXPECT_EQ(open(static_cast<int16_t>(port)), 2);
  EXPECT_EQ(open(static_cast<int16_t>(port)), 3);
  EXPECT_EQ(release(1), 0);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(0)}).number(), 2);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(1)}).number(), 2);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(2)}).number(), 3);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(3)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(1024)}).number(), 0);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(1025)}).number(), -1);
  EXPECT_EQ(run("ZUV_TCPStreamAt", {num(-1)}).number(), -1);
  EXPECT_EQ(open(static_cast<int16_t>(port)), 1);
  // Shut-down releases the three streams.
}

// A record that the table held under two ids (a fault of ours) is freed once: its second
// release touches nothing and is a fault that names the command.
TEST_F(StreamTableTest, ARecordReleasedTwiceIsFreedOnceAndTheSecondReleaseIsAFault) {
  const int64_t id = open(static_cast<int16_t>(peers::refusedPort()));
  ASSERT_EQ(id, 1);
  const int64_t again = streams::add(stream(id));
  ASSERT_EQ(again, 2);
  EXPECT_EQ(release(id), 0);
  EXPECT_EQ(release(again), -1);
  const std::vector<std::string> faults = emu.faults();
  ASSERT_EQ(faults.size(), 1u);
  EXPECT_NE(faults[0].find("the network layer: a release of the stream record at 0x"),
            std::string::npos)
      << faults[0];
  EXPECT_NE(faults[0].find("which was released before or never made; nothing was freed [host "
                           "call"),
            std::string::npos)
      << faults[0];
  EXPECT_NE(faults[0].find("(ZUV_TCPRelease)]"), std::string::npos) << faults[0];
  emu.clearFaults();
}

TEST_F(StreamTableTest, A1024thStreamIsRefusedAndEveryReleaseLeavesNoDescriptor) {
  int before = peers::openDescriptors();
  uint16_t port = peers::refusedPort();
  for (int64_t expected = 1; expected <= 1023; ++expected) {
    ASSERT_EQ(open(static_cast<int16_t>(port)), expected);
  }
  EXPECT_EQ(peers::openDescriptors(), before + 1023);
  // The table is full: the stream made for this open is released at once.
  EXPECT_EQ(open(static_cast<int16_t>(port)), 0);
  EXPECT_EQ(peers::openDescriptors(), before + 1023);
  EXPECT_EQ(run("ZUV_TCPGlobalInfo", {num(6)}).number(), 1024);
  EXPECT_EQ(emu.live().handles, 1023);
  for (int64_t id = 1; id <= 1023; ++id) ASSERT_EQ(release(id), 0);
  EXPECT_EQ(peers::openDescriptors(), before);
  EXPECT_EQ(emu.live().handles, 0);
}

TEST_F(StreamTableTest, ShutDownReleasesEveryStreamAndClearsTheTable) {
  int before = peers::openDescriptors();
  uint16_t port = peers::refusedPort();
  ASSERT_EQ(open(static_cast<int16_t>(port)), 1);
  ASSERT_EQ(open(static_cast<int16_t>(port)), 2);
  emu.shutdown();
  EXPECT_EQ(streams::lookUp(1), nullptr);
  EXPECT_EQ(streams::lookUp(2), nullptr);
  EXPECT_EQ(peers::openDescriptors(), before);
}

}  // namespace
}  // namespace zuvtest
