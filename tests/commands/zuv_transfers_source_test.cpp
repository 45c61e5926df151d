// The window of network bytes behind a BLOB receive's converted bytes, driven as the receive
// drives it, pass after pass, on long streams and many short passes: the bytes it converts are
// those one conversion of the whole gives, and what it gives back after a delimiter are the
// bytes that followed the delimiter's own on the network, wherever the passes cut.

#include "commands/zuv_transfers_source.h"

#include <string>
#include <vector>

#include "commands/zuv_transfers_common.h"
#include "support/hex.h"
#include "support/plugin_test.h"

namespace zuvtest {
namespace {

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// The wire in passes of `size` bytes, none ending inside a UTF-8 character, as a receive's
// passes come.
std::vector<std::string> passesOf(const std::string& wire, size_t size) {
  std::vector<std::string> passes;
  for (size_t at = 0; at < wire.size();) {
    size_t end = std::min(wire.size(), at + size);
    while (end < wire.size() && isContinuationByte(wire[end])) ++end;
    passes.push_back(wire.substr(at, end - at));
    at = end;
  }
  return passes;
}

struct WindowCase {
  int filter;
  std::string before;  // network bytes before the delimiter's own
  std::string source;  // the delimiter's own network bytes
  std::string rest;
  std::string delimiter;  // in the bytes produced
};

class SourceWindowTest : public PluginTest {
 protected:
  // The bytes a whole conversion of `wire` produces.
  std::string whole(int filter, const std::string& wire) {
    std::string out;
    emu.run(1, [&] {
      TransferConversion conversion(filter);
      for (const EncodedChars& chars :
           {conversion.next(wire.data(), static_cast<int>(wire.size())), conversion.finish()}) {
        if (chars.length > 0) out.append(chars.chars, static_cast<size_t>(chars.length));
      }
    });
    return out;
  }

  // Runs the passes as a receive does, until the delimiter shows in the bytes produced; answers
  // what the window gives back followed by the passes still to come (what the stream then
  // holds), and the bytes produced up to the delimiter's end in `kept`.
  std::string receive(const WindowCase& c, size_t passSize, std::string& kept) {
    std::string stream = "(no delimiter)";
    emu.run(1, [&] {
      TransferConversion conversion(c.filter);
      SourceWindow window(conversion, 0);
      std::string blob;
      std::string produced;
      const std::vector<std::string> passes = passesOf(c.before + c.source + c.rest, passSize);
      for (size_t pass = 0; pass < passes.size(); ++pass) {
        window.convert(conversion, passes[pass], static_cast<int64_t>(blob.size()), produced);
        blob += produced;
        size_t at = blob.find(c.delimiter);
        if (at == std::string::npos) {
          window.advance();
          continue;
        }
        const size_t end = at + c.delimiter.size();
        const auto base = static_cast<size_t>(window.base());
        stream = std::string(
            window.beyond(static_cast<int64_t>(end - base), std::string_view(blob).substr(base)));
        for (size_t later = pass + 1; later < passes.size(); ++later) stream += passes[later];
        kept = blob.substr(0, end);
        return;
      }
    });
    return stream;
  }
};

// Long streams in passes of every kind of size: a chunk's worth, a few hundred bytes, a few
// bytes and one; the delimiter's bytes fall across a pass's end in many of them.
TEST_F(SourceWindowTest, WhatFollowsTheDelimiterComesBackWhereverThePassesCut) {
  std::string groups;
  for (int i = 0; i < 1000; ++i) groups += "YWJj";
  const WindowCase cases[] = {
      {0x1000 | 0x1 | 0x8, std::string(32767, 'a'), "\r\n", "\xc3\xa9-rest\r\n", "\r"},
      {0x1000 | 0x1 | 0x8, std::string(3000, 'a'), "\r", "\xc3\xa9-rest\r\n", "\r"},
      {0x1000 | 0x1 | 0x20, std::string(3000, 'a'), "&amp;", std::string(40, 'z') + "\xc3\xa9",
       "&"},
      {0x2 | 0x2000, std::string(5000, 'x'), "X", "\xe9\xa4", "X"},
      {0x1000 | 0x800 | 0x4, "\xc3\xa9" + std::string(3000, 'a'), "\r", "\xc3\xa9\r-1", "\r\n"},
      {0x1000 | 0x1 | 0x100, groups, "YWJY", "ZS0x", "X"},
      {0x1000 | 0x1 | 0x200, std::string(3000, 'a'), " ", "b-rest", " "},
  };
  for (const WindowCase& c : cases) {
    const std::string all = whole(c.filter, c.before + c.source + c.rest);
    const size_t end = all.find(c.delimiter) + c.delimiter.size();
    for (size_t passSize :
         {size_t{32768}, size_t{4096}, size_t{999}, size_t{300}, size_t{7}, size_t{1}}) {
      SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter << std::dec
                                      << ", passes of " << passSize);
      std::string kept;
      EXPECT_EQ(hexOf(receive(c, passSize, kept)), hexOf(c.rest));
      EXPECT_TRUE(kept == all.substr(0, end)) << "the passes converted other bytes";
    }
  }
}

// A delimiter inside what one group of bytes makes cannot be split: the group stays, and the
// bytes after it come back.
TEST_F(SourceWindowTest, ADelimiterInsideAGroupKeepsTheGroup) {
  // "abXrest" in Base64 is YWJY cmVz dA: the delimiter "WJ" ends inside the first group's letters.
  const WindowCase encoded{0x1000 | 0x1 | 0x80, "ab", "X", "rest", "WJ"};
  // "YWFh" is "aaa": a delimiter "a" ends in the group's first byte.
  const WindowCase decoded{0x1000 | 0x1 | 0x100, "", "YWFh", "YWJj", "a"};
  for (const WindowCase& c : {encoded, decoded}) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter);
    for (size_t passSize : {size_t{100}, size_t{1}}) {
      std::string kept;
      EXPECT_EQ(receive(c, passSize, kept), c.rest);
    }
  }
}

}  // namespace
}  // namespace zuvtest
