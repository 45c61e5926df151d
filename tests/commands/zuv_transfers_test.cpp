// Text conversations over a stream, held through FourDPackex the way a 4D method holds them:
// ZUV_TCPSend, ZUV_TCPReceive with its limits, delimiters, flags and time-outs, and
// ZUV_TCPUnreceive in front and behind, against peers on loopback inside the test binary's own
// network namespace: peers written here (a line protocol, a small HTTP/1.0 server) and python3's
// http.server as an independent one. The mended faults each have a case: refused conversions,
// searches that stay inside the buffer, and pushed-back bytes that are never lost.

#include <climits>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "codecs/codecs.h"
#include "network/tcp.h"
#include "peers/held_peer.h"
#include "peers/peers.h"
#include "peers/python_peer.h"
#include "plugin/streams.h"
#include "support/hex.h"
#include "support/plugin_test.h"
#include "support/repeated.h"
#include "support/stream_test.h"
#include "support/temp_folder.h"
#include "support/yield_pieces.h"
#include "text/conversion.h"

extern char** environ;

namespace zuvtest {
namespace {

using namespace std::string_literals;

// Entered before main, while the binary has one thread (see peers.h).
const bool kIsolated = peers::isolated();

// ---- Conversations
// ---------------------------------------------------------------------------------

using peers::HeldPeer;

class TransfersTest : public StreamTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    StreamTest::SetUp();
  }

  int64_t open(int16_t port, const std::string& host = "127.0.0.1") {
    int64_t id =
        run("ZUV_TCPOpen", {txt(host), num(port), num(0), num(0), {}, num(0), num(0)}).number();
    EXPECT_GT(id, 0);
    EXPECT_TRUE(peers::await([&] { return status(id) >= kStreamEstablished; }));
    return id;
  }
  // A stream to a held peer, both ends connected.
  int64_t connect(HeldPeer& peer) {
    int64_t id = open(peer.port());
    EXPECT_TRUE(peer.awaitConnected());
    return id;
  }
  int64_t status(int64_t id) { return run("ZUV_TCPStatus", {num(id), num(0)}).number(); }
  int64_t available(int64_t id) { return run("ZUV_TCPBytesAvailable", {num(id)}).number(); }
  bool awaitAvailable(int64_t id, int64_t count) {
    return peers::await([&] { return available(id) >= count; });
  }
  int64_t send(int64_t id, std::string_view text, int64_t mode = 0, int64_t filter = 0,
               int process = 1) {
    return run("ZUV_TCPSend", {num(id), txt(text), num(mode), num(filter)}, process).number();
  }
  Outcome receive(int64_t id, std::string_view current, int64_t limit, int64_t filter,
                  int64_t flags, std::string_view delimiter, int64_t timeout) {
    return run("ZUV_TCPReceive", {num(id), txt(current), num(limit), num(filter), num(flags),
                                  txt(delimiter), num(timeout)});
  }
  // The next bytes the stream has, as UTF-8 text: a receive without limit or delimiter.
  Outcome next(int64_t id) { return receive(id, "", 0, 0, 0, "", 0); }
  int64_t unreceive(int64_t id, std::string_view text, int64_t inFront, int64_t filter = 0) {
    return run("ZUV_TCPUnreceive", {num(id), txt(text), num(inFront), num(filter)}).number();
  }
  int64_t waitStatus(int64_t id, int64_t wanted, int64_t seconds) {
    return run("ZUV_TCPWaitStatus", {num(id), num(wanted), num(seconds)}).number();
  }
  static std::string bytesOf(const Outcome& outcome) { return host::utf8(outcome.text(2)); }
};

TEST_F(TransfersTest, BadStreamIdsAnswerMinus1AndTouchNothing) {
  for (int64_t id : {0LL, -1LL, 1LL, 1023LL, 1024LL, static_cast<long long>(INT_MAX)}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(send(id, "x"), -1);
    Outcome received = receive(id, "kept", 10, 0, 0, "", 0);
    EXPECT_EQ(received.number(), -1);
    EXPECT_EQ(bytesOf(received), "kept");
    EXPECT_EQ(unreceive(id, "x", 1), -1);
    EXPECT_EQ(waitStatus(id, 8, 1), -1);
  }
}

TEST_F(TransfersTest, ALineProtocolWithACRLFDelimiter) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("abc\r\ndef");
  ASSERT_TRUE(awaitAvailable(id, 8));
  Outcome line = receive(id, "", 1000, 0, 0, "\r\n", -1);
  EXPECT_EQ(line.number(), 5);
  EXPECT_EQ(bytesOf(line), "abc\r\n");
  Outcome rest = next(id);
  EXPECT_EQ(rest.number(), 3);
  EXPECT_EQ(bytesOf(rest), "def");

  // The delimiter stays in the stream with 0x2.
  peer.write("ghi\r\njkl");
  ASSERT_TRUE(awaitAvailable(id, 8));
  Outcome kept = receive(id, "", 1000, 0, 0x2, "\r\n", -1);
  EXPECT_EQ(kept.number(), 3);
  EXPECT_EQ(bytesOf(kept), "ghi");
  EXPECT_EQ(bytesOf(next(id)), "\r\njkl");

  // A line that comes in pieces: the receive waits for its end.
  peer.write("mn");
  ASSERT_TRUE(awaitAvailable(id, 2));
  emu.onYield(1, 1, [&] { peer.write("o\r\npq"); });
  Outcome pieces = receive(id, "", 1000, 0, 0, "\r\n", -1);
  EXPECT_EQ(bytesOf(pieces), "mno\r\n");
  ASSERT_TRUE(awaitAvailable(id, 2));
  EXPECT_EQ(bytesOf(next(id)), "pq");

  // Without a limit the first piece ends the receive, delimiter or not.
  peer.write("rs");
  ASSERT_TRUE(awaitAvailable(id, 2));
  emu.onYield(1, 1, [&] { ADD_FAILURE() << "a second pass"; });
  EXPECT_EQ(bytesOf(receive(id, "", 0, 0, 0, "\r\n", -1)), "rs");
}

TEST_F(TransfersTest, AppendModeAddsToTheTextAndSearchesItUnlessOnlyNewBytesAreAsked) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("abc");
  ASSERT_TRUE(awaitAvailable(id, 3));
  Outcome appended = receive(id, "xy", 0, 0, 0x1, "", 0);
  EXPECT_EQ(appended.number(), 5);
  EXPECT_EQ(bytesOf(appended), "xyabc");

  // A delimiter in the earlier text ends the receive as soon as a pass brings bytes; the rest,
  // earlier text included, goes back into the stream.
  peer.write("cd");
  ASSERT_TRUE(awaitAvailable(id, 2));
  Outcome early = receive(id, "a\r\nb", 100, 0, 0x1, "\r\n", -1);
  EXPECT_EQ(early.number(), 3);
  EXPECT_EQ(bytesOf(early), "a\r\n");
  EXPECT_EQ(bytesOf(next(id)), "bcd");

  // With 0x4 only the last delimiter length - 1 bytes of the earlier text are searched.
  peer.write("cd");
  ASSERT_TRUE(awaitAvailable(id, 2));
  Outcome newOnly = receive(id, "a\r\nb", 0, 0, 0x1 | 0x4, "\r\n", 0);
  EXPECT_EQ(newOnly.number(), 6);
  EXPECT_EQ(bytesOf(newOnly), "a\r\nbcd");
  peer.write("\ncd");
  ASSERT_TRUE(awaitAvailable(id, 3));
  Outcome across = receive(id, "ab\r", 0, 0, 0x1 | 0x4, "\r\n", 0);
  EXPECT_EQ(bytesOf(across), "ab\r\n");
  EXPECT_EQ(across.number(), 4);
  EXPECT_EQ(bytesOf(next(id)), "cd");

  // The limit counts the earlier text: 3 bytes held and a limit of 5 take 2 more; a text that
  // holds the limit already takes none.
  peer.write("abcdef");
  ASSERT_TRUE(awaitAvailable(id, 6));
  Outcome limited = receive(id, "xyz", 5, 0, 0x1, "", -1);
  EXPECT_EQ(limited.number(), 5);
  EXPECT_EQ(bytesOf(limited), "xyzab");
  EXPECT_EQ(bytesOf(receive(id, "12345", 5, 0, 0x1, "", -1)), "12345");
  EXPECT_EQ(bytesOf(next(id)), "cdef");
}

TEST_F(TransfersTest, AByteLimitTakesExactlyThatManyBytes) {
  HeldPeer peer;
  int64_t id = connect(peer);
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += static_cast<char>('a' + i % 26);
  peer.write(hundred);
  ASSERT_TRUE(awaitAvailable(id, 100));
  Outcome ten = receive(id, "", 10, 0, 0, "", -1);
  EXPECT_EQ(ten.number(), 10);
  EXPECT_EQ(bytesOf(ten), hundred.substr(0, 10));
  Outcome rest = next(id);
  EXPECT_EQ(rest.number(), 90);
  EXPECT_EQ(bytesOf(rest), hundred.substr(10));

  // Without a limit and a delimiter, the first pass that brings bytes ends the receive.
  peer.write("12345");
  ASSERT_TRUE(awaitAvailable(id, 5));
  emu.onYield(1, 1, [&] { ADD_FAILURE() << "a second pass"; });
  EXPECT_EQ(receive(id, "", 0, 0, 0, "", -1).number(), 5);
}

struct CharsetCase {
  int64_t filter;
  std::string wire;  // the bytes of "é€a" or of what the character set can hold of it
  std::string text;
};

TEST_F(TransfersTest, EachCharacterSetOfTheFilterOnSendAndReceive) {
  HeldPeer peer;
  int64_t id = connect(peer);
  const CharsetCase sends[] = {
      {0,
       "\xC3\xA9\xE2\x82\xAC"
       "a",
       "é€a"},
      {0x800,
       "\xC3\xA9\xE2\x82\xAC"
       "a",
       "é€a"},
      {0x1, "\xE9?a", "é?a"},
      {0x2000,
       "\x8E\xDB"
       "a",
       "é€a"},
  };
  for (const CharsetCase& c : sends) {
    SCOPED_TRACE(c.filter);
    EXPECT_EQ(send(id, "é€a", 0, c.filter), 0);
    EXPECT_EQ(peer.read(c.wire.size()), c.wire);
  }
  const CharsetCase receives[] = {
      {0,
       "\xC3\xA9\xE2\x82\xAC"
       "a",
       "é€a"},
      {0x1000,
       "\xC3\xA9\xE2\x82\xAC"
       "a",
       "é€a"},
      {0x2,
       "\xE9"
       "a",
       "éa"},
      {0x4000,
       "\x8E\xDB"
       "a",
       "é€a"},
  };
  for (const CharsetCase& c : receives) {
    SCOPED_TRACE(c.filter);
    peer.write(c.wire);
    ASSERT_TRUE(awaitAvailable(id, static_cast<int64_t>(c.wire.size())));
    Outcome received = receive(id, "", static_cast<int64_t>(c.wire.size()), c.filter, 0, "", -1);
    EXPECT_EQ(received.number(), static_cast<int64_t>(c.wire.size()));
    EXPECT_EQ(bytesOf(received), c.text);
  }
  // The delimiter is found in the receive character set.
  peer.write("x\xE9y\xE9z");
  ASSERT_TRUE(awaitAvailable(id, 5));
  Outcome cut = receive(id, "", 100, 0x2, 0, "é", -1);
  EXPECT_EQ(cut.number(), 2);
  EXPECT_EQ(bytesOf(cut), "xé");
  EXPECT_EQ(bytesOf(receive(id, "", 0, 0x2, 0, "", 0)), "yéz");
}

TEST_F(TransfersTest, FiltersWithoutACharacterSetAnswerMinus7) {
  HeldPeer peer;
  int64_t id = connect(peer);
  for (int64_t filter : {0x2LL, 0x3LL, 0x1000LL, 0x4LL, 0x1LL | 0x2000LL}) {
    SCOPED_TRACE(filter);
    EXPECT_EQ(send(id, "lost", 0, filter), -7);
  }
  for (int64_t filter : {0x800LL, 0x3LL, 0x4LL, 0x1000LL | 0x4000LL, 0x2LL | 0x800LL}) {
    SCOPED_TRACE(filter);
    Outcome received = receive(id, "emptied", 10, filter, 0x1, "", 0);
    EXPECT_EQ(received.number(), -7);
    EXPECT_EQ(bytesOf(received), "");
  }
  // The push-back takes nothing of a text it has no character set for, and answers its size.
  EXPECT_EQ(unreceive(id, "ab", 1), 2);
  EXPECT_EQ(unreceive(id, "lost", 1, 0x800), 2);
  EXPECT_EQ(bytesOf(next(id)), "ab");
  EXPECT_TRUE(peer.nothingWaiting());
}

TEST_F(TransfersTest, TextFiltersOnSendAndOnReceive) {
  HeldPeer peer;
  int64_t id = connect(peer);
  EXPECT_EQ(send(id, "a\rb", 0, 0x800 | 0x4), 0);
  EXPECT_EQ(peer.read(4), "a\r\nb");
  EXPECT_EQ(send(id, "hello", 0, 0x800 | 0x80), 0);
  EXPECT_EQ(peer.read(7), "aGVsbG8");
  EXPECT_EQ(send(id, "a\r\nb", 0, 0x1 | 0x8), 0);
  EXPECT_EQ(peer.read(3), "a\rb");

  // The answer counts the bytes received; the filters then rewrite the text.
  peer.write("a\rb");
  ASSERT_TRUE(awaitAvailable(id, 3));
  Outcome lines = receive(id, "", 3, 0x1004, 0, "", -1);
  EXPECT_EQ(lines.number(), 3);
  EXPECT_EQ(bytesOf(lines), "a\r\nb");
  peer.write("aGVsbG8=");
  ASSERT_TRUE(awaitAvailable(id, 8));
  Outcome decoded = receive(id, "", 8, 0x1000 | 0x100, 0, "", -1);
  EXPECT_EQ(decoded.number(), 8);
  EXPECT_EQ(bytesOf(decoded), "hello");
  // In append mode the whole text passes through the filters again.
  peer.write("bG8=");
  ASSERT_TRUE(awaitAvailable(id, 4));
  Outcome whole = receive(id, "aGVs", 0, 0x1000 | 0x100, 0x1, "", 0);
  EXPECT_EQ(whole.number(), 8);
  EXPECT_EQ(bytesOf(whole), "hello");
}

// ---- Zero units
// ------------------------------------------------------------------------------------

// Listens on 127.0.0.1 and prints its port, then serves one connection for each argument, in
// order: it writes the argument's bytes (hexadecimal; "-" for none), reads the stream to its end
// and prints "got" and what came, in hexadecimal.
constexpr const char* kHexPeer = R"(
import socket, sys
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(len(sys.argv))
print(listener.getsockname()[1])
for job in sys.argv[1:]:
    connection, _ = listener.accept()
    if job != "-":
        connection.sendall(bytes.fromhex(job))
    data = bytearray()
    while True:
        piece = connection.recv(65536)
        if not piece:
            break
        data += piece
    print("got", data.hex())
    connection.close()
)";

struct ZeroSendCase {
  std::string text;  // UTF-8
  int64_t filter;
  std::string wire;
};

// A U+0000 is a character like any control character: it goes out as a zero byte, passes the
// text filters, and nothing after it is lost; a decoded zero byte goes out too.
TEST_F(TransfersTest, ATextSentKeepsItsZeroUnitsUnderEveryFilter) {
  const ZeroSendCase cases[] = {
      {"a\0b\r"s, 0x800 | 0x4, "a\0b\r\n"s},
      {"a\0b"s, 0, "a\0b"s},
      {"\0é\0"s, 0x1, "\0\xE9\0"s},
      {"\0\r\n\0"s, 0x1 | 0x8, "\0\r\0"s},
      {"<\0é>"s, 0x800 | 0x10, "&lt;\0&eacute;&gt;"s},
      {"a\0b"s, 0x800 | 0x80, "YQBi"s},
      {"\0"s, 0x800 | 0x200, "=00"s},
      {"YQBi"s, 0x800 | 0x100, "a\0b"s},
  };
  std::vector<std::string> jobs(std::size(cases), "-");
  peers::PythonPeer peer(kHexPeer, jobs);
  ASSERT_TRUE(peer.started());
  const auto port = static_cast<int16_t>(std::stoi(peer.readLine()));
  for (const ZeroSendCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter << " " << hexOf(c.text));
    int64_t id = open(port);
    EXPECT_EQ(send(id, c.text, 0, c.filter), 0);
    EXPECT_EQ(run("ZUV_TCPRelease", {num(id), num(0)}).number(), 0);
    EXPECT_EQ(peer.readLine(), "got " + hexOf(c.wire));
  }
  EXPECT_EQ(peer.wait(), 0);
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

struct ZeroReceiveCase {
  std::string wire;
  int64_t filter;
  int64_t flags;
  std::string current;    // the variable's text before the receive (UTF-8)
  std::string delimiter;  // UTF-8
  std::string text;       // the variable's text after it (UTF-8)
  int64_t count;
  std::string rest;  // what the next receive gets
};

// Every byte a receive takes stays in the text, a zero byte included (as U+0000), with and
// without text filters and in append mode; the count is that of the bytes received.
TEST_F(TransfersTest, ATextReceivedKeepsItsZeroBytesUnderEveryFilter) {
  const ZeroReceiveCase cases[] = {
      {"ab\0cd\n"s, 0, 0, "", "\n", "ab\0cd\n"s, 6, ""},
      {"a\rb\0c\rd"s, 0x1000 | 0x4, 0, "", "", "a\r\nb\0c\r\nd"s, 7, ""},
      {"ab\0cd\n"s, 0, 0x1, "x\0y"s, "", "x\0yab\0cd\n"s, 9, ""},
      {"\0\r"s, 0x1000 | 0x4, 0x1, "a\r\0"s, "", "a\r\n\0\0\r\n"s, 5, ""},
      {"ab\n\0cd"s, 0, 0, "", "\n", "ab\n", 3, "\0cd"s},
      {"\0\xE9\0"s, 0x2, 0, "", "", "\0é\0"s, 3, ""},
      {"YQBi"s, 0x1000 | 0x100, 0, "", "", "a\0b"s, 4, ""},
  };
  std::vector<std::string> jobs;
  for (const ZeroReceiveCase& c : cases) jobs.push_back(hexOf(c.wire));
  peers::PythonPeer peer(kHexPeer, jobs);
  ASSERT_TRUE(peer.started());
  const auto port = static_cast<int16_t>(std::stoi(peer.readLine()));
  for (const ZeroReceiveCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter << " flags " << c.flags
                                    << " " << hexOf(c.wire));
    int64_t id = open(port);
    ASSERT_TRUE(awaitAvailable(id, static_cast<int64_t>(c.wire.size())));
    // A limit above what comes, and no wait: the receive ends at its first empty pass.
    Outcome received = receive(id, c.current, 100, c.filter, c.flags, c.delimiter, 0);
    EXPECT_EQ(received.number(), c.count);
    EXPECT_EQ(hexOf(bytesOf(received)), hexOf(c.text));
    Outcome rest = next(id);
    EXPECT_EQ(rest.number(), static_cast<int64_t>(c.rest.size()));
    EXPECT_EQ(hexOf(bytesOf(rest)), hexOf(c.rest));
    EXPECT_EQ(run("ZUV_TCPRelease", {num(id), num(0)}).number(), 0);
    EXPECT_EQ(peer.readLine(), "got ");
  }
  EXPECT_EQ(peer.wait(), 0);
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

struct FollowingTextCase {
  int64_t filter;
  std::string wire;
  int64_t count;     // the bytes the text keeps
  std::string text;  // UTF-8
};

// A text receive cuts its bytes in the receive's character set and filters the text only
// afterwards, so what follows the delimiter goes back into the stream as the peer sent it, in
// every character set and under text filters, wherever the peer's pieces cut.
TEST_F(TransfersTest, WhatFollowsTheDelimiterStaysInTheStreamAsThePeerSentIt) {
  const FollowingTextCase cases[] = {
      {0x1000, "a\xc3\xa9\r\n\xc3\xa9-1\r<", 5, "a\xc3\xa9\r\n"},
      {0x2, "a\xe9\r\n\xe9-1\r<", 4, "a\xc3\xa9\r\n"},
      {0x4000, "a\x8e\r\n\x8e-1\r<", 4, "a\xc3\xa9\r\n"},
      {0x1000 | 0x4, "a\xc3\xa9\r\n\xc3\xa9-1\r<", 5, "a\xc3\xa9\r\n\n"},
      {0x2 | 0x10, "a\xe9\r\n\xe9-1\r<", 4, "a&eacute;\r\n"},
      {0x1000 | 0x100, "YWJY\r\nZS0x\xc3\xa9", 6, "abX"},
  };
  HeldPeer peer;
  int64_t id = connect(peer);
  for (const FollowingTextCase& c : cases) {
    const std::string rest = c.wire.substr(static_cast<size_t>(c.count));
    for (size_t cut = 1; cut <= c.wire.size(); ++cut) {
      SCOPED_TRACE(testing::Message()
                   << "filter 0x" << std::hex << c.filter << std::dec << ", cut at " << cut);
      sendAtYields(emu, peer, id, cutInTwo(c.wire, cut));
      Outcome line = receive(id, "", 100, c.filter, 0, "\r\n", 600);
      EXPECT_EQ(line.number(), c.count);
      EXPECT_EQ(bytesOf(line), c.text);
      Outcome raw = run("ZUV_TCPReceiveBlob",
                        {num(id), blob(""), num(rest.size()), num(0), num(0x2), txt(""), num(600)});
      EXPECT_EQ(hexOf(raw.blob(2).bytes), hexOf(rest));
      EXPECT_EQ(available(id), 0);
    }
  }
}

TEST_F(TransfersTest, PushBackInFrontAndBehindIsReceivedFirst) {
  HeldPeer peer;
  int64_t id = connect(peer);
  EXPECT_EQ(unreceive(id, "A", 1), 1);
  EXPECT_EQ(unreceive(id, "B", 0), 2);
  EXPECT_EQ(unreceive(id, "C", 1), 3);
  EXPECT_EQ(unreceive(id, "é", 0, 0x2), 4);
  peer.write("xyz");
  ASSERT_TRUE(awaitAvailable(id, 7));
  Outcome first = receive(id, "", 0, 0x2, 0, "", 0);
  EXPECT_EQ(first.number(), 4);
  EXPECT_EQ(bytesOf(first), "CABé");
  EXPECT_EQ(bytesOf(next(id)), "xyz");
  EXPECT_EQ(unreceive(id, "", 1), 0);
}

TEST_F(TransfersTest, TimeOutZeroEndsAtTheFirstEmptyPassAndTicksAtTheDeadline) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("12345");
  ASSERT_TRUE(awaitAvailable(id, 5));
  Outcome zero = receive(id, "", 100, 0, 0, "", 0);
  EXPECT_EQ(zero.number(), 5);
  EXPECT_EQ(bytesOf(zero), "12345");

  // Nothing comes: six ticks are 100 ms.
  auto start = std::chrono::steady_clock::now();
  Outcome none = receive(id, "emptied", 100, 0, 0, "", 6);
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(none.number(), 0);
  EXPECT_EQ(bytesOf(none), "");
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
  EXPECT_LT(elapsed, std::chrono::seconds(5));

  // Bytes that come before the deadline are kept; 30 ticks end it half a second after the start.
  peer.write("ab");
  ASSERT_TRUE(awaitAvailable(id, 2));
  start = std::chrono::steady_clock::now();
  Outcome some = receive(id, "", 100, 0, 0, "", 30);
  elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(some.number(), 2);
  EXPECT_GE(elapsed, std::chrono::milliseconds(500));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST_F(TransfersTest, AReceiveWithoutDeadlineEndsOnceThePeerHasClosed) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("last words");
  peer.finish();
  Outcome received = receive(id, "", 1000, 0, 0, "", -1);
  EXPECT_EQ(received.number(), 10);
  EXPECT_EQ(bytesOf(received), "last words");
  // Nothing more can come: an empty receive ends too, with or without a limit.
  EXPECT_EQ(receive(id, "", 1000, 0, 0, "\r\n", -1).number(), 0);
  EXPECT_EQ(receive(id, "", 0, 0, 0, "", -1).number(), 0);
}

TEST_F(TransfersTest, ASecondProcessPushesBackBetweenTwoPassesOfAReceive) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("ab");
  ASSERT_TRUE(awaitAvailable(id, 2));
  host::Emulator::Pending pushed;
  // The second pass takes three of the six pushed-back bytes and finds the delimiter in them;
  // its surplus goes back in front of the three still waiting.
  emu.onYield(1, 1, [&] {
    pushed = emu.start("ZUV_TCPUnreceive", {num(id), txt("1\n2345"), num(0), num(0)}, 2);
  });
  Outcome line = receive(id, "", 5, 0, 0, "\n", -1);
  EXPECT_EQ(emu.wait(pushed).number(), 6);
  EXPECT_EQ(line.number(), 4);
  EXPECT_EQ(bytesOf(line), "ab1\n");
  EXPECT_EQ(bytesOf(next(id)), "2345");

  // With 0x4 a later pass finds a delimiter that comes after a zero byte.
  peer.write(std::string("ab\0c", 4));
  ASSERT_TRUE(awaitAvailable(id, 4));
  emu.onYield(1, 1, [&] {
    pushed = emu.start("ZUV_TCPUnreceive", {num(id), txt("\r\nd"), num(0), num(0)}, 2);
  });
  Outcome after = receive(id, "", 100, 0, 0x4, "\r\n", -1);
  emu.wait(pushed);
  EXPECT_EQ(after.number(), 6);
  EXPECT_EQ(bytesOf(next(id)), "d");
}

// Listens on 127.0.0.1, prints its port, takes one connection and reads it to its end, then
// prints how many bytes came and where "INTERLOPER" starts in them (-1: nowhere).
constexpr const char* kCollectingPeer = R"(
import socket
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(1)
print(listener.getsockname()[1])
connection, _ = listener.accept()
data = bytearray()
while True:
    piece = connection.recv(65536)
    if not piece:
        break
    data += piece
print(len(data), data.find(b"INTERLOPER"))
)";

// A send of many pieces yields after each; a second process that sends meanwhile waits for its
// end, whether the first one's bytes go out buffered (mode 1) or directly (mode 0).
TEST_F(TransfersTest, ASecondProcessSendsOnlyAfterAMultiPassSendHasEnded) {
  const std::string large(300000, 'x');
  for (int64_t mode : {1, 0}) {
    SCOPED_TRACE(mode);
    peers::PythonPeer peer(kCollectingPeer);
    ASSERT_TRUE(peer.started());
    int64_t id = open(static_cast<int16_t>(std::stoi(peer.readLine())));
    host::Emulator::Pending other;
    emu.onYield(1, 2, [&] {
      other = emu.start("ZUV_TCPSend", {num(id), txt("INTERLOPER"), num(0), num(0)}, 2);
    });
    EXPECT_EQ(send(id, large, mode), 0);
    EXPECT_EQ(emu.wait(other).number(), 0);
    EXPECT_EQ(run("ZUV_TCPClose", {num(id)}).number(), 0);
    EXPECT_EQ(peer.readLine(), "300010 300000");
    EXPECT_EQ(peer.wait(), 0);
    EXPECT_EQ(run("ZUV_TCPRelease", {num(id), num(0)}).number(), 0);
  }
}

TEST_F(TransfersTest, AReleaseDuringAReceiveAnswersBusyAndTheReceiveGoesOn) {
  HeldPeer peer;
  int64_t id = connect(peer);
  host::Emulator::Pending releasing;
  emu.onYield(1, 1, [&] { releasing = emu.start("ZUV_TCPRelease", {num(id), num(0)}, 2); });
  emu.onYield(1, 2, [&] { peer.write("hello"); });
  Outcome received = receive(id, "", 5, 0, 0, "", -1);
  EXPECT_EQ(emu.wait(releasing).number(), -2);
  EXPECT_EQ(received.number(), 5);
  EXPECT_EQ(bytesOf(received), "hello");
  EXPECT_EQ(run("ZUV_TCPRelease", {num(id), num(0)}).number(), 0);
}

struct ZeroBeforeDelimiterCase {
  int64_t filter;
  int64_t flags;
  std::string text;  // UTF-8
  int64_t count;
  std::string rest;  // what the next receive gets
};

// A text keeps its zero bytes, so its receive looks for the delimiter in every byte, as a BLOB
// receive does: a zero byte before the delimiter hides nothing, and what follows the delimiter
// stays in the stream, with every flag and under text filters.
TEST_F(TransfersTest, AZeroByteBeforeTheDelimiterHidesNothing) {
  const std::string wire("x\0yz\r\nrest-of-stream", 20);
  const ZeroBeforeDelimiterCase cases[] = {
      {0, 0, "x\0yz\r\n"s, 6, "rest-of-stream"},
      {0, 0x2, "x\0yz"s, 4, "\r\nrest-of-stream"},
      {0, 0x4, "x\0yz\r\n"s, 6, "rest-of-stream"},
      {0x2, 0, "x\0yz\r\n"s, 6, "rest-of-stream"},
      {0x2, 0x2, "x\0yz"s, 4, "\r\nrest-of-stream"},
      {0x1000 | 0x4, 0, "x\0yz\r\n\n"s, 6, "rest-of-stream"},
      {0x1000 | 0x4, 0x4, "x\0yz\r\n\n"s, 6, "rest-of-stream"},
  };
  HeldPeer peer;
  int64_t id = connect(peer);
  for (const ZeroBeforeDelimiterCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter << " flags " << c.flags);
    peer.write(wire);
    ASSERT_TRUE(awaitAvailable(id, 20));
    Outcome line = receive(id, "", 100, c.filter, c.flags, "\r\n", 60);
    EXPECT_EQ(line.number(), c.count);
    EXPECT_EQ(hexOf(bytesOf(line)), hexOf(c.text));
    Outcome rest = receive(id, "", 100, 0, 0, "", 0);
    EXPECT_EQ(hexOf(bytesOf(rest)), hexOf(c.rest));
    EXPECT_EQ(available(id), 0);
  }
  // A delimiter that holds a zero byte is found like any other; one that does not come leaves
  // the whole text to the limit.
  peer.write("xa\0by"s);
  ASSERT_TRUE(awaitAvailable(id, 5));
  Outcome zero = receive(id, "", 5, 0, 0, std::string_view("a\0b", 3), -1);
  EXPECT_EQ(zero.number(), 4);
  EXPECT_EQ(hexOf(bytesOf(zero)), hexOf("xa\0b"s));
  EXPECT_EQ(bytesOf(next(id)), "y");
  peer.write("xay");
  ASSERT_TRUE(awaitAvailable(id, 3));
  Outcome whole = receive(id, "", 3, 0, 0, std::string_view("a\0b", 3), -1);
  EXPECT_EQ(whole.number(), 3);
  EXPECT_EQ(bytesOf(whole), "xay");
}

TEST_F(TransfersTest, ASendOnABrokenConnectionReleasesItsStream) {
  peers::Peer peer(peers::source("", peers::Ending::Close));
  int64_t id = open(peer.port());
  ASSERT_TRUE(peers::await([&] { return status(id) == kStreamPeerClosed; }));
  // The first send reaches the closed peer, which answers with a reset; a later one fails.
  int64_t answer = 0;
  ASSERT_TRUE(peers::await([&] {
    answer = send(id, "x");
    return answer == -1;
  }));
  EXPECT_EQ(streams::lookUp(static_cast<int32_t>(id)), nullptr);
  EXPECT_EQ(send(id, "x"), -1);
}

TEST_F(TransfersTest, ABrokenSendLeavesAStreamThatAnotherProcessHolds) {
  peers::Peer peer(peers::source("", peers::Ending::Close));
  int64_t id = open(peer.port());
  ASSERT_TRUE(peers::await([&] { return status(id) == kStreamPeerClosed; }));
  EXPECT_EQ(send(id, "x"), 0);
  // Await the peer's reset on the socket itself, reading nothing from it.
  int fd = streams::lookUp(static_cast<int32_t>(id))->sock.get();
  ASSERT_TRUE(peers::await([&] {
    pollfd entry{fd, POLLOUT, 0};
    poll(&entry, 1, 0);
    return (entry.revents & POLLERR) != 0;
  }));
  host::Emulator::Pending failed;
  emu.onYield(2, 1, [&] {
    failed = emu.start("ZUV_TCPSend", {num(id), txt("y"), num(0), num(0)}, 1);
  });
  host::Emulator::Pending waiting = emu.start("ZUV_TCPWaitStatus", {num(id), num(20), num(0)}, 2);
  int64_t last = emu.wait(waiting).number();
  EXPECT_EQ(emu.wait(failed).number(), -1);
  // The wait ends at the status that the failed send left, which the stream never leaves.
  EXPECT_TRUE(last == kStreamNotConnected || last == kStreamClosed) << last;
  EXPECT_NE(streams::lookUp(static_cast<int32_t>(id)), nullptr);
  EXPECT_EQ(run("ZUV_TCPRelease", {num(id), num(0)}).number(), 0);
}

TEST_F(TransfersTest, AnEmptySendFlushesWhatTheSendBufferHolds) {
  HeldPeer peer;
  int64_t id = connect(peer);
  EXPECT_EQ(send(id, "abc", 1), 3);
  EXPECT_TRUE(peer.nothingWaiting());
  EXPECT_EQ(send(id, "", 1), 0);
  EXPECT_EQ(peer.read(3), "abc");
}

TEST_F(TransfersTest, TextsTheHostCannotConvertAreNeitherSentNorReceivedInto) {
  HeldPeer peer;
  int64_t id = connect(peer);
  emu.refuse(host::Refusal::Conversion);
  EXPECT_EQ(send(id, "lost"), -1);
  EXPECT_EQ(send(id, "sent"), 0);
  EXPECT_EQ(peer.read(4), "sent");

  peer.write("new");
  ASSERT_TRUE(awaitAvailable(id, 3));
  emu.refuse(host::Refusal::Conversion);
  Outcome refused = receive(id, "earlier", 0, 0, 0x1, "", 0);
  EXPECT_EQ(refused.number(), -1);
  EXPECT_EQ(bytesOf(refused), "earlier");
  emu.refuse(host::Refusal::Conversion);
  EXPECT_EQ(receive(id, "", 0, 0, 0, "\n", 0).number(), -1);
  // The way back that shows the delimiter exact: a refusal there is no -8 of a delimiter that
  // the character set cannot hold.
  emu.refuse(host::Refusal::Conversion, 2);
  EXPECT_EQ(receive(id, "", 0, 0, 0, "\n", 0).number(), -1);
  emu.refuse(host::Refusal::Conversion);
  EXPECT_EQ(unreceive(id, "lost", 1), -1);
  EXPECT_EQ(bytesOf(next(id)), "new");
}

TEST_F(TransfersTest, BytesThatThePushBackRefusesStayInTheText) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("ab\r\ncd");
  ASSERT_TRUE(awaitAvailable(id, 6));
  emu.refuse(host::Refusal::GrowHandle);
  Outcome received = receive(id, "", 0, 0, 0, "\r\n", 0);
  EXPECT_EQ(received.number(), 6);
  EXPECT_EQ(bytesOf(received), "ab\r\ncd");
  emu.clearRefusals();
}

TEST_F(TransfersTest, AnAppendToAnEmptyTextTakesTheBytesAsTheyCome) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("abc");
  ASSERT_TRUE(awaitAvailable(id, 3));
  Outcome appended = receive(id, "", 0, 0, 0x1, "", 0);
  EXPECT_EQ(appended.number(), 3);
  EXPECT_EQ(bytesOf(appended), "abc");
  // Nothing waiting: the empty text stays empty.
  Outcome none = receive(id, "", 10, 0, 0x1, "", 0);
  EXPECT_EQ(none.number(), 0);
  EXPECT_EQ(bytesOf(none), "");
}

struct RefusedTextCase {
  std::string current;
  int64_t flags;
  std::string delimiter;
  int64_t nth;  // the final conversion among the host's conversions of the receive
};

// The bytes of a receive whose text the host cannot make stay in the stream, in their order,
// and the variable keeps its text.
TEST_F(TransfersTest, AReceiveWhoseTextTheHostCannotMakeGivesItsBytesBack) {
  HeldPeer peer;
  int64_t id = connect(peer);
  const RefusedTextCase cases[] = {
      {"kept", 0, "", 1},
      {"earlier", 0x1, "", 2},
      // The delimiter's conversion, and its way back, which shows it exact, come first.
      {"kept", 0, "\n", 3},
      {"earlier", 0x1, "\n", 4},
  };
  for (const RefusedTextCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.current << " flags " << c.flags);
    peer.write("ab\ncd");
    ASSERT_TRUE(awaitAvailable(id, 5));
    emu.refuse(host::Refusal::Conversion, c.nth);
    Outcome refused = receive(id, c.current, 0, 0, c.flags, c.delimiter, 0);
    EXPECT_EQ(refused.number(), -1);
    EXPECT_EQ(bytesOf(refused), c.current);
    emu.clearRefusals();
    EXPECT_EQ(available(id), 5);
    EXPECT_EQ(bytesOf(next(id)), "ab\ncd");
  }
}

// A receive that ends inside a UTF-8 character leaves its beginning in the stream, so that the
// receives together give the exact text; the count is what the text holds.
TEST_F(TransfersTest, ACharacterSplitByALimitOrAPassComesWholeWithTheNextReceive) {
  HeldPeer peer;
  int64_t id = connect(peer);
  peer.write("ab\xC3\xA9");
  ASSERT_TRUE(awaitAvailable(id, 4));
  Outcome limited = receive(id, "", 3, 0, 0, "", -1);
  EXPECT_EQ(limited.number(), 2);
  EXPECT_EQ(bytesOf(limited), "ab");
  Outcome whole = next(id);
  EXPECT_EQ(whole.number(), 2);
  EXPECT_EQ(bytesOf(whole), "é");

  // The peer's bytes end inside a character: without a limit, the first pass ends the receive.
  peer.write("cd\xE2\x82");
  ASSERT_TRUE(awaitAvailable(id, 4));
  Outcome split = receive(id, "x", 0, 0x1000, 0x1, "", 0);
  EXPECT_EQ(split.number(), 3);
  EXPECT_EQ(bytesOf(split), "xcd");
  // Its beginning alone is no text yet: the receive ends at its empty pass with nothing.
  Outcome waiting = next(id);
  EXPECT_EQ(waiting.number(), 0);
  EXPECT_EQ(bytesOf(waiting), "");
  EXPECT_EQ(available(id), 2);
  // A receive without deadline waits for the rest.
  emu.onYield(1, 1, [&] { peer.write("\xAC!"); });
  Outcome rest = receive(id, "", 0, 0, 0, "", -1);
  EXPECT_EQ(bytesOf(rest), "€!");
  EXPECT_EQ(rest.number(), 4);

  // A limit too small for the character gives its bytes as they are.
  peer.write("\xC3\xA9");
  ASSERT_TRUE(awaitAvailable(id, 2));
  EXPECT_EQ(bytesOf(receive(id, "", 1, 0, 0, "", -1)), "\uFFFD");
  EXPECT_EQ(bytesOf(receive(id, "", 1, 0, 0, "", -1)), "\uFFFD");

  // Other character sets cut nowhere.
  peer.write("ab\xC3");
  ASSERT_TRUE(awaitAvailable(id, 3));
  Outcome single = receive(id, "", 3, 0x2, 0, "", -1);
  EXPECT_EQ(single.number(), 3);
  EXPECT_EQ(bytesOf(single), "abÃ");

  // Once the stream can bring no more, the tail is given as it is.
  peer.write("z\xF0\x9F");
  peer.finish();
  Outcome last = receive(id, "", 0, 0, 0, "", -1);
  EXPECT_EQ(last.number(), 3);
  EXPECT_EQ(bytesOf(last), "z\uFFFD");
}

// ---- Long texts, decoded piece by piece
// ------------------------------------------------------------------

// A long text in which characters of every length, broken ones among them, fall on every side of
// the pieces that the passes read and decode. It ends with a whole character.
std::string mixedUTF8(size_t size, uint32_t seed) {
  static const char* const kTokens[] = {
      "a",        "line\r\n", "\xC3\xA9",     "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
      "\xE2\x82", "\xFF",     "\xED\xA0\x80", "\xF0\x9F",     "\xC3"};
  std::mt19937 random(seed);
  std::string bytes;
  while (bytes.size() < size) bytes += kTokens[random() % std::size(kTokens)];
  return bytes + "z";
}

// The text that the host makes of the bytes in one conversion.
host::Text wholeText(const std::string& bytes, int32_t charset) {
  host::Bytes units = host::Emulator::convert(bytes, charset, 2);
  return host::Text(reinterpret_cast<const char16_t*>(units.data()), units.size() / 2);
}

class LongTextTest : public TransfersTest {
 protected:
  // Receives while the peer writes the bytes from another thread, as a sender far ahead of the
  // receive would.
  Outcome receiveWhileWritten(HeldPeer& peer, int64_t id, const std::string& bytes,
                              std::string_view current, int64_t limit, int64_t filter,
                              int64_t flags, std::string_view delimiter) {
    std::thread writer([&] { peer.write(bytes); });
    Outcome received = receive(id, current, limit, filter, flags, delimiter, -1);
    writer.join();
    return received;
  }
};

TEST_F(LongTextTest, PiecesDecodedAsTheyComeJoinIntoTheTextOfTheWhole) {
  HeldPeer peer;
  int64_t id = connect(peer);
  const std::string bytes = mixedUTF8(300000, 1);
  const auto size = static_cast<int64_t>(bytes.size());

  Outcome replaced = receiveWhileWritten(peer, id, bytes, "kept", size, 0, 0, "");
  EXPECT_EQ(replaced.number(), size);
  EXPECT_TRUE(replaced.text(2) == wholeText(bytes, 7));

  // The limit counts the earlier text's bytes too.
  Outcome appended = receiveWhileWritten(peer, id, bytes, "earlier é ", 11 + size, 0, 0x1, "");
  EXPECT_EQ(appended.number(), 11 + size);
  EXPECT_TRUE(appended.text(2) == wholeText("earlier é " + bytes, 7));

  // Bytes of a single-byte character set have no character to cut.
  Outcome latin = receiveWhileWritten(peer, id, bytes, "", size, 0x2, 0, "");
  EXPECT_EQ(latin.number(), size);
  EXPECT_TRUE(latin.text(2) == wholeText(bytes, 1005));
  EXPECT_EQ(available(id), 0);
}

TEST_F(LongTextTest, ADelimiterFarInEndsTheTextThereAndLeavesTheRestInTheStream) {
  HeldPeer peer;
  int64_t id = connect(peer);
  const std::string text = mixedUTF8(250000, 2) + "\r\n.\r\n";
  for (int64_t flags : {0, 0x4}) {
    SCOPED_TRACE(testing::Message() << "flags " << flags);
    Outcome line = receiveWhileWritten(peer, id, text + "rest", "", 1 << 20, 0, flags, "\r\n.\r\n");
    EXPECT_EQ(line.number(), static_cast<int64_t>(text.size()));
    EXPECT_TRUE(line.text(2) == wholeText(text, 7));
    ASSERT_TRUE(awaitAvailable(id, 4));
    EXPECT_EQ(bytesOf(next(id)), "rest");
  }

  // The delimiter's first bytes end the second of two pieces taken from the push-back, and the
  // delimiter stays in the stream (0x2): the text ends before bytes already decoded.
  const std::string head = repeated("é", 32767) + "\r\n";
  ASSERT_EQ(unreceive(id, head, 1), 65536);
  peer.write(".\r\nrest");
  ASSERT_TRUE(awaitAvailable(id, 65536 + 7));
  Outcome cut = receive(id, "", 1 << 20, 0, 0x2, "\r\n.\r\n", -1);
  EXPECT_EQ(cut.number(), 65534);
  EXPECT_TRUE(cut.text(2) == wholeText(repeated("é", 32767), 7));
  EXPECT_EQ(bytesOf(receive(id, "", 9, 0, 0, "", -1)), "\r\n.\r\nrest");
}

TEST_F(LongTextTest, APieceTheHostRefusesLeavesTheTextToOneConversionAtTheEnd) {
  HeldPeer peer;
  int64_t id = connect(peer);
  const std::string bytes = mixedUTF8(200000, 3);
  const auto size = static_cast<int64_t>(bytes.size());
  emu.refuse(host::Refusal::Conversion, 3);
  Outcome refusedPiece = receiveWhileWritten(peer, id, bytes, "", size, 0, 0, "");
  EXPECT_EQ(refusedPiece.number(), size);
  EXPECT_TRUE(refusedPiece.text(2) == wholeText(bytes, 7));

  // Every conversion refused: the text stays as it was, and the bytes in the stream.
  for (int nth = 1; nth <= 100; ++nth) emu.refuse(host::Refusal::Conversion, nth);
  Outcome refused = receiveWhileWritten(peer, id, bytes, "kept", size, 0, 0, "");
  emu.clearRefusals();
  EXPECT_EQ(refused.number(), -1);
  EXPECT_EQ(bytesOf(refused), "kept");
  EXPECT_EQ(available(id), size);
  Outcome again = receive(id, "", size, 0, 0, "", -1);
  EXPECT_EQ(again.number(), size);
  EXPECT_TRUE(again.text(2) == wholeText(bytes, 7));
}

// ---- HTTP/1.0
// -------------------------------------------------------------------------------------

// Asks for a path and reads the answer as a 4D method would: the status line, the headers up to
// the empty line, then the body until the server closes.
struct HttpAnswer {
  std::string statusLine;
  std::string headers;
  std::string body;
};

class HttpTest : public TransfersTest {
 protected:
  HttpAnswer get(int16_t port, const std::string& path) {
    HttpAnswer answer;
    int64_t id = open(port);
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    EXPECT_EQ(send(id, request), 0);
    answer.statusLine = bytesOf(receive(id, "", 1000, 0, 0, "\r\n", 600));
    answer.headers = bytesOf(receive(id, "", 65536, 0, 0, "\r\n\r\n", 600));
    // No deadline: the receive ends once the server has closed and every byte is in.
    answer.body = bytesOf(receive(id, "", 1 << 20, 0, 0, "", -1));
    EXPECT_EQ(run("ZUV_TCPRelease", {num(id), num(0)}).number(), 0);
    return answer;
  }
};

TEST_F(HttpTest, AnExchangeWithAServerWrittenHere) {
  peers::Peer server([](int fd, peers::Peer&) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<size_t>(n));
    }
    std::string body = request.rfind("GET /hello HTTP/1.0\r\n", 0) == 0 ? "héllo wörld" : "?";
    peers::writeAll(fd,
                    "HTTP/1.0 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                    "Content-Length: " +
                        std::to_string(body.size()) + "\r\n\r\n" + body);
  });
  HttpAnswer answer = get(server.port(), "/hello");
  EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK\r\n");
  EXPECT_NE(answer.headers.find("Content-Length: 13\r\n"), std::string::npos);
  EXPECT_EQ(answer.headers.substr(answer.headers.size() - 4), "\r\n\r\n");
  EXPECT_EQ(answer.body, "héllo wörld");
}

// python3's http.server in a child process, bound to 127.0.0.1 on a port it chooses.
class PythonServer {
 public:
  explicit PythonServer(const std::string& directory) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const char* argv[] = {"python3", "-u",        "-m",          "http.server",
                          "--bind",  "127.0.0.1", "--directory", directory.c_str(),
                          "0",       nullptr};
    if (posix_spawnp(&pid_, "python3", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (pid_ > 0) port_ = readPort(out[0]);
    ::close(out[0]);
  }
  ~PythonServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  PythonServer(const PythonServer&) = delete;
  PythonServer& operator=(const PythonServer&) = delete;
  int16_t port() const { return static_cast<int16_t>(port_); }

 private:
  // "Serving HTTP on 127.0.0.1 port 40123 (http://127.0.0.1:40123/) ..."
  static int readPort(int fd) {
    std::string line;
    char c;
    while (line.find('\n') == std::string::npos) {
      pollfd entry{fd, POLLIN, 0};
      if (poll(&entry, 1, 10000) <= 0 || ::read(fd, &c, 1) != 1) return 0;
      line += c;
    }
    std::smatch match;
    if (!std::regex_search(line, match, std::regex("port ([0-9]+)"))) return 0;
    return std::stoi(match[1]);
  }

  pid_t pid_ = -1;
  int port_ = 0;
};

TEST_F(HttpTest, AnExchangeWithPythonsHttpServer) {
  TempFolder directory("zuv-transfers");
  ASSERT_TRUE(directory.made());
  std::string contents = "Grüße aus dem Netz\n";
  for (int i = 0; i < 2000; ++i) contents += "line " + std::to_string(i) + " ünïcödé\n";
  directory.write("page.txt", contents);
  {
    PythonServer server(directory.name());
    if (server.port() == 0) GTEST_SKIP() << "python3 -m http.server did not start";
    HttpAnswer answer = get(server.port(), "/page.txt");
    EXPECT_EQ(answer.statusLine, "HTTP/1.0 200 OK\r\n");
    EXPECT_NE(answer.headers.find("Content-Length: " + std::to_string(contents.size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(answer.body, contents);
    HttpAnswer missing = get(server.port(), "/missing.txt");
    EXPECT_EQ(missing.statusLine.rfind("HTTP/1.0 404", 0), 0u) << missing.statusLine;
  }
}

// examples/http_get.4dm, run by zuvhost against python3's http.server as script/demo runs it,
// prints what its "//>" lines show.
TEST(HttpExampleTest, TheHttpGetExamplePrintsWhatItShows) {
  if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
  std::ifstream in(std::string(ZUV_SOURCE_DIR) + "/examples/http_get.4dm", std::ios::binary);
  std::string script((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(script.empty());
  TempFolder directory("zuv-http-get");
  ASSERT_TRUE(directory.made());
  directory.write("hello.txt", "Grüße from the web server.");
  std::string output;
  std::string expected;
  {
    PythonServer server(directory.name());
    if (server.port() == 0) GTEST_SKIP() << "python3 -m http.server did not start";
    std::string port = std::to_string(static_cast<uint16_t>(server.port()));
    std::string runnable =
        std::regex_replace(script, std::regex("\\$port:=[0-9]+"), "$$port:=" + port);
    std::string path = directory.write("http_get.4dm", runnable);
    FILE* pipe = popen((std::string("'") + ZUVHOST_PATH + "' '" + path + "' 2>&1").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
  }
  std::istringstream lines(script);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("//> ", 0) == 0) expected += line.substr(4) + "\n";
  }
  EXPECT_EQ(output, expected);
}

}  // namespace
}  // namespace zuvtest
