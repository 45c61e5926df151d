// uuencode bodies through ZUV_Text2UU and ZUV_UU2Text (the format of POSIX uuencode, without
// begin and end lines, with CR line ends), and comparisons with python3's binascii.b2a_uu and
// a2b_uu.

#include "codecs/uuencode.h"

#include <gtest/gtest.h>

#include "codecs/codecs_oracle.h"
#include "plugin/parameters.h"
#include "support/peak_memory.h"
#include "support/sanitizers.h"

namespace zuvtest {
namespace {

struct Case {
  std::string in;
  std::string out;
};

class UUTest : public CodecTest {};

std::string repeat(const std::string& part, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += part;
  return out;
}

TEST_F(UUTest, Encodes) {
  const Case cases[] = {
      {"Cat", "#0V%T\r"},
      {"A", "!00``\r"},
      {"", ""},
      {std::string(46, 'a'), "M" + repeat("86%A", 15) + "\r!80``\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(host::utf8(call("ZUV_Text2UU", host::text(c.in))), c.out);
  }
}

TEST_F(UUTest, Decodes) {
  // A short line's missing characters count as 0 ("#0V" gives C, "`" and a zero byte, which ends
  // the text).
  const Case cases[] = {
      {"#0V%T\r", "Cat"},
      {"#0V%T\n", "Cat"},
      {"#0V%T\r\n", "Cat"},
      {"#0V%T", ""},
      {"#0V%T\r#0V%T", "Cat"},
      {"#0V%T\r\r\n\n#0V%T\n", "CatCat"},
      {"# V%T\r", std::string("\x03") + "at"},
      {"#0V%T `` \r", "Cat"},
      {"#0V%Tx\r", ""},
      {"#0V\r", "C`"},
      {"!00\r", "A"},
      {"begin 644 x\r#0V%T\r`\rend\r", ""},
      {"\x7f\r", ""},
      {"\"00``\r", "A"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(host::utf8(call("ZUV_UU2Text", host::text(c.in))), c.out);
  }
}

TEST_F(UUTest, RefusesDataCharactersPastTheGraveAccent) {
  // Only 32..96 are data characters: 97..126 would read as the values 1..30 if accepted.
  for (int c = 97; c <= 127; ++c) {
    SCOPED_TRACE(c);
    std::string line = "#0V%" + std::string(1, static_cast<char>(c)) + "\r";
    EXPECT_EQ(host::utf8(call("ZUV_UU2Text", host::text(line))), "");
    EXPECT_EQ(host::utf8(call("ZUV_UU2Text", host::text("!" + line.substr(4)))), "");
  }
}

TEST_F(UUTest, RefusesTheLineAfterGoodOnes) {
  EXPECT_EQ(host::utf8(call("ZUV_UU2Text", host::text("#0V%T\r#0V%T~\r"))), "");
}

TEST_F(UUTest, TooLongATextEncodesToNothing) {
  // The limit keeps the lines of the longest text within what a text holds.
  EXPECT_EQ(uu::kMaxEncodedUnits, 518715854);
  int64_t bytes = int64_t{uu::kMaxEncodedUnits} * 3;
  int64_t lines = (bytes + 44) / 45;
  EXPECT_LE(bytes / 3 * 4 + 4 + lines * 2, int64_t{2147483647});

  // A text one unit past the limit gives the empty result before any of its units is read or
  // converted. The record stands for a text of that length: only its length is looked at.
  host::Frame frame = emu.makeFrame({{"t", host::Kind::Text, host::Direction::In}}, {Value{u"x"}},
                                    host::Kind::Text);
  const PA_Unichar units[2] = {'x', 0};
  PA_Unistring tooLong{};
  tooLong.fLength = uu::kMaxEncodedUnits + 1;
  tooLong.fString = const_cast<PA_Unichar*>(units);
  void* parameters[1] = {&tooLong};
  emu.resetTrace();
  emu.run(1, [&] {
    PluginBlock block{parameters, frame.result(), nullptr};
    uu::encode(tooLong, *resultText(&block));
  });
  EXPECT_EQ(emu.entryCount(-675), 0) << "no conversion of a text that is too long";
  EXPECT_EQ(std::get<Text>(frame.resultValue()), Text());
}

TEST_F(UUTest, MatchesBinascii) {
  // binascii.b2a_uu with backtick=True writes the same lines with LF; the program writes CR.
  TextGenerator generator(1003);
  std::vector<std::string> inputs;
  for (int i = 0; i < 200; ++i) {
    inputs.push_back(utf8Of(generator.text(300, [](uint32_t c) { return c != 0; })));
  }
  std::vector<std::string> expected = runPython(
      "for b in lines: print(b''.join(binascii.b2a_uu(b[i:i + 45], backtick=True)"
      " for i in range(0, len(b), 45)).hex())\n",
      inputs);
  ASSERT_EQ(expected.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    std::string lines = expected[i];
    for (char& c : lines) c = c == '\n' ? '\r' : c;
    std::string ours = host::utf8(call("ZUV_Text2UU", host::text(inputs[i])));
    EXPECT_EQ(ours, lines);
    // The decoder reads binascii's own lines (spaces for 0, LF line ends) back to the bytes.
    std::string spaced = expected[i];
    for (char& c : spaced) c = c == '`' ? ' ' : c;
    EXPECT_EQ(host::utf8(call("ZUV_UU2Text", host::text(spaced))), inputs[i]);
    EXPECT_EQ(host::utf8(call("ZUV_UU2Text", host::text(ours))), inputs[i]);
  }
}

TEST_F(UUTest, DecodedBytesEndAtAZero) {
  std::u16string encoded = uu::encodeBytes(std::string("a\0A", 3));
  EXPECT_EQ(encoded, u"#80!!\r");
  EXPECT_EQ(host::utf8(call("ZUV_UU2Text", encoded)), "a");
}

TEST_F(UUTest, KeepsNothingAfterTheFirstZeroByte) {
  // Each line "M" decodes to 45 zero bytes that can never reach the result; the lines after the
  // first zero byte are still read, so that a refused character empties the result.
  std::string bytes;
  EXPECT_TRUE(uu::decodeBytes("#0V%T\r" + repeat("M\r", 1000) + "#0V%T\r", bytes));
  EXPECT_EQ(bytes, "Cat");
  EXPECT_FALSE(uu::decodeBytes("#0V%T\rM\r#0V%Tx\r", bytes));
  EXPECT_EQ(host::utf8(call("ZUV_UU2Text", host::text("#0V%T\rM\r#0V%Tx\r"))), "");
}

TEST_F(UUTest, PeakMemoryOfAHostileTextStaysNearItsSize) {
  // 8 M units of "M" lines: a decoder that kept the zero bytes would hold 45 bytes for every
  // two units. What the command holds at its worst stays below twice its text (the units and
  // their UTF-8 bytes, which the host converts them to) and its result together. The text is in
  // the host's parameter cell before the peak is reset, as it is in 4D.
  if (kAddressSanitizer) {
    GTEST_SKIP() << "the sanitizer's shadow memory and quarantine would count in the peak";
  }
  const host::CommandSpec* spec = emu.manifest().find("ZUV_UU2Text");
  std::vector<Value> args = {Value{host::text(repeat("M\r", 4 * 1024 * 1024))}};
  const int64_t units = static_cast<int64_t>(std::get<Text>(args[0]).size());
  host::Frame frame = emu.makeFrame(spec->params, args, spec->result);
  if (!resetPeakMemory()) GTEST_SKIP() << "the peak resident memory cannot be reset here";
  const int64_t before = residentMemory().now;
  emu.run(1, [&] { FourDPackex(spec->selector, frame.parameters(), nullptr, frame.result()); });
  const int64_t grown = residentMemory().peak - before;
  EXPECT_EQ(std::get<Text>(frame.resultValue()), Text());
  EXPECT_LT(grown, 2 * (units * 2 + units)) << grown / 1024 << " KB";
}

}  // namespace
}  // namespace zuvtest
