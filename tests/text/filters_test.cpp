// The text filters of the transfers: each bit alone, the bits that cancel each other, and the
// fixed order in which filterUnits applies them.

#include "text/filters.h"

#include <gtest/gtest.h>

#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

class FilterTest : public PluginTest {
 protected:
  // The units after filterUnits, run in a 4D process, since the codecs convert through the host.
  std::u16string filtered(const std::u16string& in, int filter) {
    std::u16string out;
    emu.run(1, [&] { filterUnits(in, filter, out); });
    return out;
  }
};

struct Case {
  std::u16string in;
  int filter;
  std::u16string out;
};

TEST_F(FilterTest, AppliesEachBit) {
  const Case cases[] = {
      {u"a\rb\rc", 0x4, u"a\r\nb\r\nc"}, {u"a\r\nb", 0x4, u"a\r\n\nb"},
      {u"a\nb", 0x4, u"a\nb"},           {u"a\r\nb\rc\nd", 0x8, u"a\rb\rc\nd"},
      {u"a\r\r\n\nb", 0x8, u"a\r\r\nb"}, {u"<é>", 0x10, u"&lt;&eacute;&gt;"},
      {u"<é>", 0x40, u"<&eacute;>"},     {u"<é>", 0x50, u"&lt;&eacute;&gt;"},
      {u"&lt;&eacute;", 0x20, u"<é"},    {u"Ma", 0x80, u"TWE"},
      {u"TWE=", 0x100, u"Ma"},           {u"T W!F\tu", 0x100, u"Man"},
      {u"a=b", 0x200, u"a=3Db"},         {u"a=3Db=\r\nc", 0x400, u"a=bc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::utf8(c.in) + " " + std::to_string(c.filter));
    EXPECT_EQ(filtered(c.in, c.filter), c.out);
  }
}

TEST_F(FilterTest, ContradictoryBitsDoNothing) {
  const Case cases[] = {
      {u"a\r\nb\r", 0xC, u"a\r\nb\r"},
      {u"<&lt;>", 0x30, u"<&lt;>"},
      {u"<&lt;>", 0x70, u"<&lt;>"},
      {u"<&lt;>", 0x60, u"<&lt;>"},
      {u"TWFu", 0x180, u"TWFu"},
      {u"a=3D", 0x600, u"a=3D"},
      {u"a\rb", 0x1000, u"a\rb"},
      {u"a\rb", 0x7803, u"a\rb"},
      {u"a\rb", 0x10000 | 0x8000, u"a\rb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.filter));
    EXPECT_EQ(filtered(c.in, c.filter), c.out);
  }
}

TEST_F(FilterTest, AppliesBitsInOrder) {
  const Case cases[] = {
      // Line ends change on the encoded form first, and the decoder skips CR and LF.
      {u"TW\rFu", 0x104, u"Man"},
      // Line ends change before the text is encoded.
      {u"a\rb", 0x84, u"YQ0KYg"},
      // HTML encoding comes before Base64 and quoted-printable.
      {u"é", 0x90, u"JmVhY3V0ZTs"},
      {u"é", 0x210, u"&eacute;"},
      // Base64 decoding comes before quoted-printable decoding.
      {u"YT0zRGI", 0x500, u"a=b"},
      // HTML decoding of what the line-end step left.
      {u"&lt;\r", 0x24, u"<\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.filter));
    EXPECT_EQ(filtered(c.in, c.filter), c.out);
  }
}

TEST_F(FilterTest, EmptyTextStaysEmpty) {
  for (int filter : {0x4, 0x8, 0x10, 0x20, 0x80, 0x100, 0x200, 0x400, 0x7FC}) {
    EXPECT_EQ(filtered(u"", filter), u"");
  }
}

TEST_F(FilterTest, TextWithoutCRPassesLineEndFilterWithoutHostCall) {
  emu.resetTrace();
  EXPECT_EQ(filtered(u"plain\ntext", 0x4), u"plain\ntext");
  EXPECT_EQ(emu.entryCount(-613), 0);
  EXPECT_EQ(emu.entryCount(-675), 0);
}

TEST_F(FilterTest, LineEndsOfALongTextChangeInOnePass) {
  std::u16string in;
  std::u16string expected;
  for (int i = 0; i < 100000; ++i) {
    in += u"line\r";
    expected += u"line\r\n";
  }
  EXPECT_EQ(filtered(in, 0x4), expected);
  EXPECT_EQ(filtered(expected, 0x8), in);
}

TEST(ReplaceAllUnitsTest, ReplacesLeftToRightWithoutOverlapAndStopsAtTheLimit) {
  std::u16string out;
  EXPECT_TRUE(replaceAllUnits(u"aaa", u"aa", u"b", out));
  EXPECT_EQ(out, u"ba");
  EXPECT_TRUE(replaceAllUnits(u"\r\r", u"\r", u"\r\n", out));
  EXPECT_EQ(out, u"\r\n\r\n");
  EXPECT_FALSE(replaceAllUnits(u"\r\r", u"\r", u"\r\n", out, 3));
}

}  // namespace
}  // namespace zuvtest
