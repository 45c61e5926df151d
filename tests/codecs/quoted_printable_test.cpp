// Quoted-printable through ZUV_Text2QP and ZUV_QP2Text: the cases of RFC 2045 and of the
// program's own format, then comparisons with python3's binascii and quopri on generated texts.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs.h"
#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

class QuotedPrintableTest : public CodecTest {};

TEST_F(QuotedPrintableTest, AnOutputPastTheLimitFailsBeforeItIsAllocated) {
  // Every byte escaped: three units a byte, and a soft break every 25 escapes.
  const std::string bytes(1 << 20, '\xFF');
  expectMeasuredBeforeAllocated([&](std::u16string& out, int64_t limit) {
    return quotedEncodeBytes(bytes, false, out, limit);
  });
}

TEST_F(QuotedPrintableTest, EncodesAsTheProgramAlwaysHas) {
  const std::string eighty(80, 'a');
  const Utf8Case cases[] = {
      {"a=b", 0, "a=3Db"},
      {"é", 0, "=C3=A9"},
      {"a \r\nb", 0, "a=20\r\nb"},
      {"a \nb", 0, "a \nb"},
      {"a ", 0, "a "},
      {"a\t\r", 0, "a=09\r"},
      {"\x01\x7f", 0, "=01=7F"},
      {"\r\n", 0, "\r\n"},
      {"a+b", 0, "a+b"},
      // A TAB is escaped only before a CR, like a space.
      {"a\tb", 0, "a\tb"},
      {"a\t\nb", 0, "a\t\nb"},
      {"a\t", 0, "a\t"},
      {"\t\t\r", 2, "\t=09\r"},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(callUTF8("ZUV_Text2QP", c.in, c.mode), c.out);
  }
  EXPECT_EQ(callUTF8("ZUV_Text2QP", eighty, 0), std::string(75, 'a') + "=\r\n" + "aaaaa");
}

TEST_F(QuotedPrintableTest, ColumnCountsLineEndsOutsideTextMode) {
  // Outside text mode the second line's column goes on from the first, CR and LF included:
  // 10 letters, CR, LF leave the column at 12, so the second line breaks after 63 letters.
  std::string in = std::string(10, 'a') + "\r\n" + std::string(70, 'b');
  std::string expected =
      std::string(10, 'a') + "\r\n" + std::string(63, 'b') + "=\r\n" + std::string(7, 'b');
  EXPECT_EQ(callUTF8("ZUV_Text2QP", in, 0), expected);
  // Text mode restarts at each CR, the CR and LF counting 1 and 2: 73 letters fit.
  EXPECT_EQ(callUTF8("ZUV_Text2QP", in, 2), in);
  std::string longer = std::string(10, 'a') + "\r\n" + std::string(80, 'b');
  EXPECT_EQ(callUTF8("ZUV_Text2QP", longer, 2),
            std::string(10, 'a') + "\r\n" + std::string(73, 'b') + "=\r\n" + std::string(7, 'b'));
}

TEST_F(QuotedPrintableTest, SoftBreakRules) {
  // The 76th character is kept on its line when a CR follows it.
  std::string line = std::string(75, 'a') + "b\r";
  EXPECT_EQ(callUTF8("ZUV_Text2QP", line, 0), line);
  // Past column 75 (reached through that CR) literal characters get no soft break; the next
  // escape starts a new line.
  std::string past = std::string(75, 'a') + "b\r\ncd=";
  EXPECT_EQ(callUTF8("ZUV_Text2QP", past, 0), std::string(75, 'a') + "b\r\ncd=\r\n=3D");
  // An escape that finds the column at 73 starts a new line.
  EXPECT_EQ(callUTF8("ZUV_Text2QP", std::string(73, 'a') + "=", 0),
            std::string(73, 'a') + "=\r\n=3D");
  EXPECT_EQ(callUTF8("ZUV_Text2QP", std::string(72, 'a') + "=", 0), std::string(72, 'a') + "=3D");
  // Text mode breaks at column 75 or more.
  EXPECT_EQ(callUTF8("ZUV_Text2QP", std::string(76, 'a'), 2), std::string(75, 'a') + "=\r\n" + "a");
}

TEST_F(QuotedPrintableTest, Decodes) {
  const Utf8Case cases[] = {
      {"a=\r\nb", 0, "ab"},
      {"a=\rb", 0, "ab"},
      {"a=\nb", 0, "a=\nb"},
      {"=3d", 0, "="},
      {"=3D", 0, "="},
      {"=C3=A9", 0, "é"},
      {"=E9", 0, "=E9"},
      {"a+b", 0, "a+b"},
      {"=00", 0, "=00"},
      {"=C3=\r\n=A9", 0, "é"},
      {"==\r\n\r\n", 0, "\n"},
      {"x=", 0, "x="},
      // Overlong forms stay as they are written.
      {"=E0=81=81", 0, "=E0=81=81"},
      {"=C1=81", 0, "=C1=81"},
      {"=F0=8F=BF=BF", 0, "=F0=8F=BF=BF"},
  };
  for (const Utf8Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(callUTF8("ZUV_QP2Text", c.in), c.out);
  }
}

TEST_F(QuotedPrintableTest, PythonDecodesWhatTheProgramEncodes) {
  // binascii.a2b_qp reads the program's output back to the exact bytes in both modes: the soft
  // break "=\r\n", literal CR and LF and long lines outside text mode are all valid for it.
  TextGenerator generator(2045);
  std::vector<std::string> inputs;
  std::vector<std::string> encoded;
  for (int i = 0; i < 300; ++i) {
    std::u16string text = generator.text(400, [](uint32_t c) { return c != 0; });
    inputs.push_back(utf8Of(text));
    encoded.push_back(utf8Of(call("ZUV_Text2QP", text, i % 2 == 0 ? 0 : 2)));
  }
  std::vector<std::string> decoded =
      runPython("for b in lines: print(binascii.a2b_qp(b).hex())\n", encoded);
  std::vector<std::string> quopri =
      runPython("for b in lines: print(quopri.decodestring(b).hex())\n", encoded);
  ASSERT_EQ(decoded.size(), inputs.size());
  ASSERT_EQ(quopri.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(decoded[i], inputs[i]);
    EXPECT_EQ(quopri[i], inputs[i]);
    EXPECT_EQ(utf8Of(call("ZUV_QP2Text", host::text(encoded[i]))), inputs[i]);
  }
}

TEST_F(QuotedPrintableTest, DecodesWhatPythonEncodes) {
  // binascii.b2a_qp breaks lines with "=\n" unless the data's first line end is CR LF; the
  // program takes only "=\r\n" and "=\r" as soft breaks, so the texts here end lines with CR LF
  // alone, and hold no zero byte (=00 stays as it is written).
  TextGenerator generator(1521);
  std::vector<std::string> inputs;
  for (int i = 0; i < 300; ++i) {
    std::u16string text = u"a\r\n" + generator.text(400, [](uint32_t c) {
      return c != 0 && c != u'\r' && c != u'\n';
    });
    inputs.push_back(utf8Of(text));
  }
  std::vector<std::string> encoded =
      runPython("for b in lines: print(binascii.b2a_qp(b, quotetabs=True).hex())\n", inputs);
  ASSERT_EQ(encoded.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(utf8Of(call("ZUV_QP2Text", host::text(encoded[i]))), inputs[i]);
  }
}

}  // namespace
}  // namespace zuvtest
