// Base64 and quoted-printable through ZUV_Text2Base64, ZUV_Base642Text, ZUV_Text2QP and
// ZUV_QP2Text: the cases of RFC 2045 and of the program's own format, then comparisons with
// python3's base64, binascii and quopri and coreutils base64 on generated texts.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs.h"
#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

struct Case {
  const char* in;
  int64_t mode;
  const char* out;
};

class Base64Test : public CodecTest {};
class QuotedPrintableTest : public CodecTest {};

TEST_F(Base64Test, EncodesTheLettersOfRFC2045) {
  // RFC 4648 section 10 vectors, and the program's unpadded form (option bit 0 clear).
  const Case cases[] = {
      {"Man", 0, "TWFu"},      {"Ma", 0, "TWE"},          {"Ma", 1, "TWE="},
      {"M", 0, "TQ"},          {"M", 1, "TQ=="},          {"é", 0, "w6k"},
      {"é", 1, "w6k="},        {"foobar", 1, "Zm9vYmFy"}, {"fooba", 1, "Zm9vYmE="},
      {"foob", 3, "Zm9vYg=="}, {"fo", 2, "Zm8"},          {"", 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(callUTF8("ZUV_Text2Base64", c.in, c.mode), c.out);
  }
}

TEST_F(Base64Test, WritesNoLineBreak) {
  std::string out = callUTF8("ZUV_Text2Base64", std::string(100, 'x'), 1);
  EXPECT_EQ(out.size(), 136u);
  EXPECT_EQ(out.find_first_of("\r\n"), std::string::npos);
}

TEST_F(Base64Test, DecodesAsFarAsItsLettersGo) {
  const Case cases[] = {
      {"TWFu", 0, "Man"},
      {"TW\r\nFu", 0, "Man"},
      {"T\rW\nF\r\nu\n", 0, "Man"},
      {"TWE=", 0, "Ma"},
      {"TWE", 0, "Ma"},
      {"TQ==", 0, "M"},
      {"TQ", 0, "M"},
      {"T", 0, ""},
      {"TWFu=garbage", 0, "Man"},
      {"TW!u", 0, ""},
      {"TW Fu", 0, ""},
      {"w6k", 0, "é"},
      {"TWFuTQ", 0, "ManM"},
      {"=", 0, ""},
      {"TWFu\xc3\xa9", 0, ""},
      // Whole groups first, then a group that holds something else at each of its places.
      {"TWFuTWFu\r\nTWFu", 0, "ManManMan"},
      {"TWFuTWFuT\nWFuTWFu", 0, "ManManManMan"},
      {"TWFuTWFuTWF\r\nuTWFu", 0, "ManManManMan"},
      {"TWFuTWFuTWE=TWFu", 0, "ManManMa"},
      {"TWFuTWFuTW!u", 0, ""},
      {"TWFuTWFuTWF\xe2\x82\xac", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(callUTF8("ZUV_Base642Text", c.in), c.out);
  }
}

// The decoding rule, one unit at a time: letters make groups of four, CR and LF are skipped, "="
// ends the input, anything else fails; a last group of two or three letters gives one or two
// bytes.
bool decodeUnitByUnit(std::u16string_view in, std::string& out) {
  const std::string_view letters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out.clear();
  uint32_t group = 0;
  int count = 0;
  for (char16_t unit : in) {
    if (unit == u'\r' || unit == u'\n') continue;
    if (unit == u'=') break;
    size_t value = unit < 128 ? letters.find(static_cast<char>(unit)) : std::string_view::npos;
    if (value == std::string_view::npos) return false;
    group = group << 6 | static_cast<uint32_t>(value);
    if (++count < 4) continue;
    out +=
        {static_cast<char>(group >> 16), static_cast<char>(group >> 8), static_cast<char>(group)};
    group = 0;
    count = 0;
  }
  if (count == 2) out += static_cast<char>(group >> 4);
  if (count == 3) out += {static_cast<char>(group >> 10), static_cast<char>(group >> 2)};
  return true;
}

TEST(Base64DecoderTest, EveryUnitAtEveryPlaceOfALongRun) {
  // Long runs of letters are decoded many units at a time: each unit value, put at each place of
  // such a run, must give what the unit-by-unit rule gives. Units past 255 include those whose
  // low byte is a letter, and those that read as negative numbers.
  std::u16string letters;
  for (int i = 0; i < 3; ++i) {
    letters += u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  }
  std::vector<char16_t> units;
  for (int unit = 0; unit < 512; ++unit) units.push_back(static_cast<char16_t>(unit));
  for (char16_t unit : {0x012B, 0x012F, 0x0141, 0x2B00, 0x7FFF, 0x8000, 0x8041, 0xFF2F, 0xFFFF}) {
    units.push_back(unit);
  }
  for (size_t start = 0; start < 4; ++start) {
    for (size_t place = start; place < letters.size(); ++place) {
      for (char16_t unit : units) {
        std::u16string in = letters;
        in[place] = unit;
        std::u16string_view view = std::u16string_view(in).substr(start);
        std::string expected;
        bool valid = decodeUnitByUnit(view, expected);
        EncodedChars decoded;
        ASSERT_EQ(base64DecodeUnits(view, decoded), valid) << place << " " << unit;
        if (valid) {
          ASSERT_EQ(std::string(decoded.chars, static_cast<size_t>(decoded.length)), expected)
              << place << " " << unit;
        }
      }
    }
  }
}

TEST_F(Base64Test, DecodedTextEndsAtAZeroByte) {
  // "QQBC" is A, a zero byte, B: the host takes the text up to the zero.
  EXPECT_EQ(callUTF8("ZUV_Base642Text", "QQBC"), "A");
}

TEST_F(Base64Test, EmptyTextMakesNoConversion) {
  emu.resetTrace();
  EXPECT_EQ(call("ZUV_Base642Text", u""), u"");
  EXPECT_EQ(call("ZUV_Text2Base64", u"", 1), u"");
  EXPECT_EQ(emu.entryCount(-675), 0);
}

TEST_F(Base64Test, AnOutputPastTheTextLimitFails) {
  // Sizes are counted in 64 bits: an output that a text cannot hold is refused, never wrapped.
  std::u16string out;
  EXPECT_FALSE(base64EncodeBytes("Man", false, out, 3));
  EXPECT_TRUE(base64EncodeBytes("Man", false, out, 4));
  EXPECT_EQ(out, u"TWFu");
}

TEST_F(QuotedPrintableTest, AnOutputPastTheLimitFailsBeforeItIsAllocated) {
  // Every byte escaped: three units a byte, and a soft break every 25 escapes.
  const std::string bytes(1 << 20, '\xFF');
  expectMeasuredBeforeAllocated([&](std::u16string& out, int64_t limit) {
    return quotedEncodeBytes(bytes, false, out, limit);
  });
}

TEST_F(Base64Test, MatchesPythonAndCoreutils) {
  // The program pads only on request and never breaks lines: padded output is compared with
  // base64.b64encode and base64 -w0, unpadded output with the same letters without "=".
  TextGenerator generator(2045);
  std::vector<std::string> inputs;
  for (int i = 0; i < 200; ++i) inputs.push_back(utf8Of(generator.text(300)));
  std::vector<std::string> expected =
      runPython("for b in lines: print(base64.b64encode(b).hex())\n", inputs);
  ASSERT_EQ(expected.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    std::string padded = callUTF8("ZUV_Text2Base64", inputs[i], 1);
    EXPECT_EQ(padded, expected[i]);
    std::string unpadded = expected[i].substr(0, expected[i].find('='));
    EXPECT_EQ(callUTF8("ZUV_Text2Base64", inputs[i], 0), unpadded);
    if (i % 20 == 0) {
      EXPECT_EQ(runTool("base64 -w0", inputs[i]), padded);
    }
  }
}

TEST_F(Base64Test, DecodesWhatPythonEncodesWithLineEnds) {
  // base64.encodebytes breaks lines with LF every 76 letters; the program skips CR and LF
  // anywhere, so the CR LF form of those lines decodes too (coreutils would refuse the CR).
  TextGenerator generator(4648);
  std::vector<std::string> inputs;
  for (int i = 0; i < 200; ++i) inputs.push_back(utf8Of(generator.text(400)));
  std::vector<std::string> encoded = runPython(
      "for b in lines: print(base64.encodebytes(b).replace(b'\\n', b'\\r\\n').hex())\n", inputs);
  ASSERT_EQ(encoded.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(callUTF8("ZUV_Base642Text", encoded[i]), inputs[i].substr(0, inputs[i].find('\0')));
  }
}

TEST_F(QuotedPrintableTest, EncodesAsTheProgramAlwaysHas) {
  const std::string eighty(80, 'a');
  const Case cases[] = {
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
  for (const Case& c : cases) {
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
  const Case cases[] = {
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
  for (const Case& c : cases) {
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
