// Base64 through ZUV_Text2Base64 and ZUV_Base642Text: the cases of RFC 2045 and of the
// program's own format, then comparisons with python3's base64 and coreutils base64 on
// generated texts.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs.h"
#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

class Base64Test : public CodecTest {};

TEST_F(Base64Test, EncodesTheLettersOfRFC2045) {
  // RFC 4648 section 10 vectors, and the program's unpadded form (option bit 0 clear).
  const Utf8Case cases[] = {
      {"Man", 0, "TWFu"},      {"Ma", 0, "TWE"},          {"Ma", 1, "TWE="},
      {"M", 0, "TQ"},          {"M", 1, "TQ=="},          {"é", 0, "w6k"},
      {"é", 1, "w6k="},        {"foobar", 1, "Zm9vYmFy"}, {"fooba", 1, "Zm9vYmE="},
      {"foob", 3, "Zm9vYg=="}, {"fo", 2, "Zm8"},          {"", 1, ""},
  };
  for (const Utf8Case& c : cases) {
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
  const Utf8Case cases[] = {
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
  for (const Utf8Case& c : cases) {
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

TEST_F(Base64Test, DecodedTextKeepsAZeroByte) {
  // "QQBC" is A, a zero byte, B: the text holds all three, the zero as U+0000.
  EXPECT_EQ(call("ZUV_Base642Text", u"QQBC"), std::u16string(u"A\0B", 3));
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
    EXPECT_EQ(callUTF8("ZUV_Base642Text", encoded[i]), inputs[i]);
  }
}

}  // namespace
}  // namespace zuvtest
