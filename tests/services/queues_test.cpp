// Text queues through ZUV_QueuePush, ZUV_QueuePop, ZUV_QueueSize and ZUV_QueueErase: first in,
// first out per key, shared by every 4D process, with copies of the texts pushed.

#include "support/plugin_test.h"

namespace zuvtest {
namespace {

class QueuesTest : public PluginTest {
 protected:
  void push(int64_t key, const std::u16string& text, int process = 1) {
    run("ZUV_QueuePush", {num(key), Value{text}}, process);
  }
  std::u16string pop(int64_t key, int64_t peek = 0, int process = 1) {
    return run("ZUV_QueuePop", {num(key), num(peek)}, process).text();
  }
  int64_t size(int64_t key, int process = 1) {
    return run("ZUV_QueueSize", {num(key)}, process).number();
  }
  void erase(int64_t key, int process = 1) { run("ZUV_QueueErase", {num(key)}, process); }
  void TearDown() override {
    for (int64_t key : kKeys) erase(key);
    PluginTest::TearDown();
  }
  static constexpr int64_t kKeys[] = {7, -1, 0, 2147483647, -2147483648LL, 42};
};

TEST_F(QueuesTest, PopsInTheOrderOfPushes) {
  push(7, u"a");
  push(7, u"b");
  push(7, u"c");
  EXPECT_EQ(size(7), 3);
  EXPECT_EQ(pop(7), u"a");
  EXPECT_EQ(pop(7), u"b");
  EXPECT_EQ(size(7), 1);
}

TEST_F(QueuesTest, PeekLeavesTheTextInTheQueue) {
  push(7, u"first");
  push(7, u"second");
  for (int64_t peek : {1, -1, 2}) EXPECT_EQ(pop(7, peek), u"first");
  EXPECT_EQ(size(7), 2);
  EXPECT_EQ(pop(7), u"first");
}

TEST_F(QueuesTest, EmptyTextsAreQueuedToo) {
  push(7, u"");
  push(7, u"x");
  EXPECT_EQ(size(7), 2);
  EXPECT_EQ(pop(7), u"");
  EXPECT_EQ(size(7), 1);
  EXPECT_EQ(pop(7), u"x");
}

TEST_F(QueuesTest, KeyNeverPushedToIsEmptyAndStaysWithoutQueue) {
  EXPECT_EQ(pop(42), u"");
  EXPECT_EQ(pop(42, 1), u"");
  EXPECT_EQ(size(42), 0);
  erase(42);
  EXPECT_EQ(size(42), 0);
}

TEST_F(QueuesTest, QueueOutlivesItsLastTextUntilErased) {
  push(7, u"only");
  EXPECT_EQ(pop(7), u"only");
  EXPECT_EQ(size(7), 0);
  EXPECT_EQ(pop(7), u"") << "an empty queue answers at once";
  push(7, u"again");
  EXPECT_EQ(size(7), 1);
  erase(7);
  EXPECT_EQ(size(7), 0);
  EXPECT_EQ(pop(7), u"");
  erase(7);
}

TEST_F(QueuesTest, KeysAreSignedAndDistinct) {
  for (int64_t key : kKeys) push(key, u"key " + host::text(std::to_string(key)));
  push(-1, u"second of -1");
  EXPECT_EQ(size(-1), 2);
  for (int64_t key : kKeys) {
    SCOPED_TRACE(key);
    EXPECT_EQ(pop(key), u"key " + host::text(std::to_string(key)));
  }
  EXPECT_EQ(pop(-1), u"second of -1");
}

TEST_F(QueuesTest, QueueHoldsACopyOfEveryText) {
  // Every text of any character comes back unit for unit; the host's cell of the pushed text is
  // released after the call, so a text that popped right was copied.
  std::u16string texts[] = {u"caf\u00e9", u"\U0001F600 \u4e2d\u6587", std::u16string(100000, u'q'),
                            u"line\r\nend"};
  for (const auto& text : texts) push(7, text);
  for (const auto& text : texts) EXPECT_EQ(pop(7), text);
}

TEST_F(QueuesTest, TextsWithU0000PopWhole) {
  // A U+0000 is a unit like any other: the text comes back with all its units.
  const std::u16string texts[] = {std::u16string(u"ab\0cd", 5), std::u16string(u"\0payload", 8),
                                  std::u16string(u"end\0", 4), std::u16string(3, u'\0')};
  for (const auto& text : texts) push(7, text);
  EXPECT_EQ(pop(7, 1), texts[0]) << "peek";
  for (const auto& text : texts) EXPECT_EQ(pop(7), text);
}

TEST_F(QueuesTest, TextTheHostCannotTakeStaysAtTheHead) {
  push(7, u"first");
  push(7, u"second");
  emu.refuse(host::Refusal::SetText);
  EXPECT_EQ(pop(7), u"") << "the host had no memory for the result";
  EXPECT_EQ(size(7), 2);
  EXPECT_EQ(pop(7), u"first");
  EXPECT_EQ(pop(7), u"second");
  EXPECT_EQ(size(7), 0);
}

TEST_F(QueuesTest, ProcessesShareTheQueuesInTurn) {
  // Three 4D processes push under one key and two others pop: one sequence in push order.
  push(7, u"p1-a", 1);
  push(7, u"p2-a", 2);
  push(7, u"p3-a", 3);
  EXPECT_EQ(size(7, 4), 3);
  EXPECT_EQ(pop(7, 0, 4), u"p1-a");
  push(7, u"p2-b", 2);
  EXPECT_EQ(pop(7, 1, 5), u"p2-a");
  EXPECT_EQ(pop(7, 0, 5), u"p2-a");
  EXPECT_EQ(pop(7, 0, 4), u"p3-a");
  erase(7, 3);
  EXPECT_EQ(pop(7, 0, 2), u"");
  EXPECT_EQ(size(7, 1), 0);
}

TEST_F(QueuesTest, PushPopAndSizeLeaveNoHostObject) {
  for (int i = 0; i < 100; ++i) push(7, u"text " + host::text(std::to_string(i)));
  for (int i = 0; i < 50; ++i) pop(7);
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
  expectNoFaults();
}

}  // namespace
}  // namespace zuvtest
