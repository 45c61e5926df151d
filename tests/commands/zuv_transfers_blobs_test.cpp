// ZUV_TCPReceiveBlob's bytes through FourDPackex against a peer that the test drives, sending in
// pieces between the receive's passes: what follows a delimiter goes back into the stream as the
// peer sent it, under every text filter and character set, wherever the pieces cut; and the
// limit counts the bytes taken from the network, however they arrive and whatever the filters
// make of them.

#include <string>
#include <utility>
#include <vector>

#include "4DPluginAPI.h"
#include "network/tcp.h"
#include "peers/held_peer.h"
#include "peers/peers.h"
#include "support/hex.h"
#include "support/plugin_test.h"
#include "support/repeated.h"
#include "support/stream_test.h"
#include "support/yield_pieces.h"

namespace zuvtest {
namespace {

using namespace std::string_literals;
using peers::HeldPeer;

// Entered before main, while the binary has one thread (see peers.h).
const bool kIsolated = peers::isolated();

constexpr int64_t kKeepStream = 0x2;

class BlobReceiveTest : public StreamTest {
 protected:
  void SetUp() override {
    if (!kIsolated) GTEST_SKIP() << peers::kNoNamespace;
    StreamTest::SetUp();
  }

  int64_t connect(HeldPeer& peer) {
    int64_t id =
        run("ZUV_TCPOpen", {txt("127.0.0.1"), num(peer.port()), num(0), num(0), {}, num(0), num(0)})
            .number();
    EXPECT_GT(id, 0);
    EXPECT_TRUE(peers::await([&] { return status(id) >= kStreamEstablished; }));
    EXPECT_TRUE(peer.awaitConnected());
    return id;
  }
  int64_t status(int64_t id) { return run("ZUV_TCPStatus", {num(id), num(0)}).number(); }

  void sendAtYields(HeldPeer& peer, int64_t id, std::vector<std::string> pieces) {
    zuvtest::sendAtYields(emu, peer, id, std::move(pieces));
  }
  Outcome receiveBlob(int64_t id, int64_t limit, int64_t filter, int64_t flags,
                      std::string_view delimiter, int64_t ticks) {
    return run("ZUV_TCPReceiveBlob", {num(id), blob(""), num(limit), num(filter), num(flags),
                                      txt(delimiter), num(ticks)});
  }
  // The next `count` bytes of the stream as they came (fewer when they do not come within ten
  // seconds), and true in `emptied` when the stream holds nothing more.
  std::string take(int64_t id, size_t count, bool& emptied) {
    std::string bytes;
    if (count > 0) {
      bytes = receiveBlob(id, static_cast<int64_t>(count), 0, kKeepStream, "", 600).blob(2).bytes;
    }
    emptied = run("ZUV_TCPBytesAvailable", {num(id)}).number() == 0;
    return bytes;
  }
};

// ---- What follows a delimiter ------------------------------------------------------------------

// The character sets of a pair, and what "é" is in each.
struct CharsetPair {
  int64_t bits;
  const char* in;
  const char* out;
};

const CharsetPair kPairs[] = {
    {0x1000 | 0x1, "\xc3\xa9", "\xe9"},    // UTF-8 in, ISO-8859-1 out
    {0x2 | 0x2000, "\xe9", "\x8e"},        // ISO-8859-1 in, Mac OS Roman out
    {0x4000 | 0x800, "\x8e", "\xc3\xa9"},  // Mac OS Roman in, UTF-8 out
};

// "é" made the bytes of a character set.
std::string withE(const std::string& text, const char* e) {
  std::string out;
  for (size_t at = 0; at < text.size(); ++at) {
    if (text.compare(at, 2, "\xc3\xa9") == 0) {
      out += e;
      ++at;
    } else {
      out += text[at];
    }
  }
  return out;
}

// The peer sends before + source + rest, "é" in the pair's in set; the delimiter's bytes are
// made by `source`. The BLOB keeps `kept` ("é" in the out set) and the stream keeps `rest`.
struct FollowingCase {
  int64_t textBits;
  std::string before;
  std::string source;
  std::string rest;
  std::string delimiter;  // UTF-8, as the command takes it
  std::string kept;
};

const std::string kFiller(40, 'z');  // more than an HTML entity's reach

const FollowingCase kFollowing[] = {
    {0, "a\xc3\xa9", "X", "\xc3\xa9-1\xc3\xa9-2\r<&amp;=41", "X", "a\xc3\xa9X"},
    {0x4, "a\xc3\xa9", "\r", "\xc3\xa9-1\r-2", "\r\n", "a\xc3\xa9\r\n"},
    {0x8, "a\xc3\xa9", "\r\n", "\xc3\xa9-1\r\n-2", "\r", "a\xc3\xa9\r"},
    {0x8, "a\xc3\xa9", "\r", "\xc3\xa9-1\r\n-2", "\r", "a\xc3\xa9\r"},
    {0x10, "a\xc3\xa9", "<", "\xc3\xa9-1<&-2", "&lt;", "a&eacute;&lt;"},
    {0x20, "a\xc3\xa9", "&amp;", "\xc3\xa9-1&lt;-2" + kFiller, "&", "a\xc3\xa9&"},
    {0x40, "a\xc3\xa9", "&", "\xc3\xa9-1&<-2", "&amp;", "a&eacute;&amp;"},
    {0x80, "ab", "X", "\xc3\xa9-1\r", "WJY", "YWJY"},
    {0x100, "YWJ", "Y", "\xc3\xa9 ZS0x\r\n", "X", "abX"},
    {0x200, "a", "=", "\xc3\xa9-1 =\r\n", "=3D", "a=3D"},
    {0x200, "a", " ", "\xc3\xa9-1", " ", "a "},
    {0x400, "a", "=58", "\xc3\xa9=41\r\n-1", "X", "aX"},
};

// Every text filter under three character-set pairs, the peer's bytes cut in two at every place
// (and sent whole): the BLOB ends with the delimiter, and the stream gives the peer's own bytes
// that follow the delimiter's, not the filter's or the character set's form of them.
TEST_F(BlobReceiveTest, WhatFollowsTheDelimiterStaysInTheStreamAsThePeerSentIt) {
  HeldPeer peer;
  int64_t id = connect(peer);
  for (const FollowingCase& c : kFollowing) {
    for (const CharsetPair& pair : kPairs) {
      const int64_t filter = pair.bits | c.textBits;
      const std::string wire = withE(c.before + c.source + c.rest, pair.in);
      const std::string kept = withE(c.kept, pair.out);
      const std::string rest = withE(c.rest, pair.in);
      for (size_t cut = 1; cut <= wire.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << filter << std::dec << " "
                                        << hexOf(wire) << " cut at " << cut);
        sendAtYields(peer, id, cutInTwo(wire, cut));
        Outcome line = receiveBlob(id, 0, filter, kKeepStream, c.delimiter, 600);
        EXPECT_EQ(hexOf(line.blob(2).bytes), hexOf(kept));
        EXPECT_EQ(line.number(), static_cast<int64_t>(kept.size()));
        bool emptied = false;
        EXPECT_EQ(hexOf(take(id, rest.size(), emptied)), hexOf(rest));
        EXPECT_TRUE(emptied);
      }
    }
  }
}

// The next receive reads the peer's bytes under its own filter, whichever it is.
TEST_F(BlobReceiveTest, TheNextReceiveReadsThePeersBytesUnderItsOwnFilter) {
  struct NextCase {
    int64_t filter;
    std::string first;  // sent before the first receive
    std::string later;  // sent during the second
    int64_t nextFilter;
    std::string next;  // what the second receive stores
  };
  const NextCase cases[] = {
      {0x1001, "aX\xc3\xa9-1", "\xc3\xa9-2", 0x1001, "\xe9-1\xe9-2"},
      {0x1001, "aX\xc3\xa9-1", "\xc3\xa9-2", 0, "\xc3\xa9-1\xc3\xa9-2"},
      {0x1804, "aX\r-1", "\r-2", 0x1804, "\r\n-1\r\n-2"},
      {0x2002, "aX\xe9\xa4", "\xe9", 0x2002, "\x8e?\x8e"},
      {0x2002, "aX\xe9\xa4", "\xe9", 0x2 | 0x800, "\xc3\xa9\xc2\xa4\xc3\xa9"},
  };
  HeldPeer peer;
  int64_t id = connect(peer);
  for (const NextCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "filters 0x" << std::hex << c.filter << ", 0x" << c.nextFilter);
    sendAtYields(peer, id, {c.first});
    Outcome first = receiveBlob(id, 0, c.filter, kKeepStream, "X", 30);
    EXPECT_EQ(first.blob(2).bytes, "aX");
    // The second receive ends once the later bytes came: at its first empty pass after them.
    sendAtYields(peer, id, {c.later});
    Outcome next = receiveBlob(id, 0, c.nextFilter, kKeepStream, "", 0);
    EXPECT_EQ(hexOf(next.blob(2).bytes), hexOf(c.next));
    bool emptied = false;
    take(id, 0, emptied);
    EXPECT_TRUE(emptied);
  }
}

struct LastBytesCase {
  int64_t filter;
  std::string wire;
  std::string delimiter;
  std::string kept;
};

// A delimiter that only the stream's last character or the filters' last bytes bring, once the
// peer has ended, still ends the BLOB: flag 8 leaves it out.
TEST_F(BlobReceiveTest, ADelimiterInTheLastBytesCutsTheBlobToo) {
  const LastBytesCase cases[] = {
      {0x1000 | 0x800 | 0x8, "a\r", "\r", "a"},
      {0x1000 | 0x800, "a\xc3\xa9", "\xc3\xa9", "a"},
      {0x1000 | 0x1, "a\xc3\xa9", "\xc3\xa9", "a"},
  };
  for (const LastBytesCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter);
    HeldPeer peer;
    int64_t id = connect(peer);
    peer.write(c.wire);
    peer.finish();
    Outcome line = receiveBlob(id, 0, c.filter, 0x8, c.delimiter, -1);
    EXPECT_EQ(hexOf(line.blob(2).bytes), hexOf(c.kept));
    EXPECT_EQ(line.number(), static_cast<int64_t>(c.kept.size()));
  }
}

// ---- The limit ---------------------------------------------------------------------------------

struct LimitCase {
  int64_t filter;
  std::string wire;
  size_t piece;  // the peer's pieces; 0: all at once
  std::string kept;
  size_t taken;  // bytes of the wire that the receive took
};

// A limit of 10 takes 10 bytes from the network whatever the filter makes of them, and however
// they arrive: filters that grow bytes store more than 10, ones that shrink them fewer, and the
// rest stays in the stream.
TEST_F(BlobReceiveTest, TheLimitCountsTheBytesTakenFromTheNetwork) {
  const std::string e10 = repeated("\xc3\xa9", 10);
  const std::string hundred(100, 'b');
  const LimitCase cases[] = {
      {0x1804, std::string(40, '\r'), 0, repeated("\r\n", 10), 10},
      {0x1804, std::string(40, '\r'), 3, repeated("\r\n", 10), 10},
      {0x83, hundred, 0, "YmJiYmJiYmJiYg", 10},
      {0x83, hundred, 4, "YmJiYmJiYmJiYg", 10},
      {0x1810, std::string(12, '<'), 0, repeated("&lt;", 10), 10},
      {0x1001, e10, 0, "\xe9\xe9\xe9\xe9\xe9", 10},
      {0x1001, e10, 4, "\xe9\xe9\xe9\xe9\xe9", 10},
      {0x1001, "a" + e10, 0, "a\xe9\xe9\xe9\xe9", 9},
  };
  HeldPeer peer;
  int64_t id = connect(peer);
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "filter 0x" << std::hex << c.filter << std::dec << ", pieces of " << c.piece);
    std::vector<std::string> pieces;
    for (size_t at = 0; at < c.wire.size(); at += c.piece == 0 ? c.wire.size() : c.piece) {
      pieces.push_back(c.wire.substr(at, c.piece == 0 ? std::string::npos : c.piece));
    }
    sendAtYields(peer, id, pieces);
    Outcome limited = receiveBlob(id, 10, c.filter, kKeepStream, "", 600);
    EXPECT_EQ(hexOf(limited.blob(2).bytes), hexOf(c.kept));
    EXPECT_EQ(limited.number(), static_cast<int64_t>(c.kept.size()));
    // The pieces still to come arrive during the next receive's passes.
    const std::string rest = c.wire.substr(c.taken);
    bool emptied = false;
    EXPECT_EQ(hexOf(take(id, rest.size(), emptied)), hexOf(rest));
    EXPECT_TRUE(emptied);
  }
}

}  // namespace
}  // namespace zuvtest
