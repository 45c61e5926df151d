// Every text codec command reads its whole text, a U+0000 (Char(0)) at its start, in its middle
// or at its end included, and keeps every U+0000 of its result: one that it passes on and one
// that it decodes. python3's base64, quopri, urllib.parse, html and binascii are the oracles where
// their format is the program's.

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

using namespace std::string_literals;

class ZeroUnitsTest : public CodecTest {
 protected:
  std::u16string callCodec(std::string_view command, const std::u16string& in,
                           std::optional<int64_t> mode) {
    return mode ? call(command, in, *mode) : call(command, in);
  }
};

// "ab" + Char(0) + "cd" through each codec: every unit is read, and the zero unit stays in the
// result (as the escape of a zero byte in the encoders, as itself in the decoders).
TEST_F(ZeroUnitsTest, EveryCodecReadsPastAZeroUnit) {
  const std::u16string abzcd(u"ab\0cd", 5);
  struct Case {
    const char* command;
    std::optional<int64_t> mode;
    std::u16string out;
  };
  const Case cases[] = {
      {"ZUV_Text2Base64", 1, u"YWIAY2Q="},
      {"ZUV_Text2Base64", 0, u"YWIAY2Q"},
      {"ZUV_Text2URL", 0, u"ab%00cd"},
      {"ZUV_Text2URL", 1, u"ab%00cd"},
      {"ZUV_Text2URL", 2, u"ab%00cd"},
      {"ZUV_Text2QP", 2, u"ab=00cd"},
      {"ZUV_Text2QP", 0, u"ab=00cd"},
      {"ZUV_Text2HTML", 0, abzcd},
      {"ZUV_Text2HTML", 2, abzcd},
      {"ZUV_HTML2Text", 0, abzcd},
      {"ZUV_HTML2Text", 2, abzcd},
      {"ZUV_URL2Text", 0, abzcd},
      {"ZUV_URL2Text", -1, abzcd},
      {"ZUV_QP2Text", std::nullopt, abzcd},
      {"ZUV_Text2UU", std::nullopt, u"%86(`8V0`\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + (c.mode ? " " + std::to_string(*c.mode) : ""s));
    EXPECT_EQ(callCodec(c.command, abzcd, c.mode), c.out);
  }
}

TEST_F(ZeroUnitsTest, Base64KeepsTheZeroBytesItDecodes) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"AA==", u"\0"s},
      {u"AGFi", u"\0ab"s},
      {u"YWIAY2Q=", u"ab\0cd"s},
      {u"YWIA", u"ab\0"s},
      {u"AAA", u"\0\0"s},
      {u"YWIA\r\nY2Q", u"ab\0cd"s},
      {u"w6kAAPCfmIA=", u"\u00e9\0\0\U0001F600"s},
  };
  for (const auto& [in, out] : cases) {
    SCOPED_TRACE(host::utf8(in));
    EXPECT_EQ(call("ZUV_Base642Text", in), out);
  }
}

TEST_F(ZeroUnitsTest, AZeroUnitIsOutsideTheBase64Alphabet) {
  // The whole text is read, so the zero unit is met, and any character outside the alphabet
  // but CR and LF empties the result; after the "=" that ends the input nothing is looked at.
  EXPECT_EQ(call("ZUV_Base642Text", u"YWI\0junk"s), u"");
  EXPECT_EQ(call("ZUV_Base642Text", u"\0YWI"s), u"");
  EXPECT_EQ(call("ZUV_Base642Text", u"YWI\0"s), u"");
  EXPECT_EQ(call("ZUV_Base642Text", u"YWI=\0junk"s), u"ab");
}

// One row per codec and mode: the inputs, each with U+0000 at its start, in its middle or at its
// end, and the python expression of what the codec makes of an input's UTF-8 bytes `b`.
struct OracleRow {
  const char* command;
  std::optional<int64_t> mode;
  const char* python;
  std::vector<std::u16string> inputs;
};

// Texts for the encoders: no space, CR, LF, "-", "." or "~", where python writes differently.
const std::vector<std::u16string> kZeroTexts = {
    u"\0"s,
    u"\0\0\0"s,
    u"\0abc"s,
    u"ab\0cd"s,
    u"abc\0"s,
    u"\0x\0y\0"s,
    u"\u00e9\0\u20ac\0\U0001F600"s,
    u"\0<tag>&\"q=1?\0"s,
    u"a\0b\0c\0d\0e\0f\0g\0h\0i\0j\0k\0l\0m\0n\0o\0p\0q\0r\0s\0t\0u\0v\0w\0x\0y\0z\0"s,
};

const std::vector<OracleRow> kRows = {
    {"ZUV_Text2Base64", 1, "base64.b64encode(b)", kZeroTexts},
    {"ZUV_Text2Base64", 0, "base64.b64encode(b).rstrip(b'=')", kZeroTexts},
    {"ZUV_Base642Text",
     std::nullopt,
     "base64.b64decode(b + b'==')",
     {u"AA==", u"AAAA", u"AGFi", u"YWIAY2Q=", u"YWIA", u"AAA", u"YWIA\r\nY2Q", u"w6kAAPCfmIA=",
      u"AGEAYgBjAA=="}},
    {"ZUV_Text2URL", 0, "urllib.parse.quote_plus(b, safe=':;=?@[\\\\]^_`{|}~').encode()",
     kZeroTexts},
    {"ZUV_Text2URL", 1, "urllib.parse.quote(b, safe='!\"#$&\\'()*+,/:;=?@[\\\\]^`{|}').encode()",
     kZeroTexts},
    {"ZUV_Text2URL", 2, "urllib.parse.quote_plus(b, safe='?').encode()", kZeroTexts},
    {"ZUV_URL2Text",
     0,
     "urllib.parse.unquote_plus(b.decode()).encode()",
     {u"\0"s, u"\0%C3%A9+x"s, u"a+%41\0"s, u"%E2%82%AC\0%F0%9F%98%80\0"s, u"\0\0+\0"s}},
    {"ZUV_URL2Text",
     1,
     "urllib.parse.unquote(b.decode()).encode()",
     {u"\0"s, u"\0%C3%A9+x"s, u"a+%41\0"s, u"%E2%82%AC\0%F0%9F%98%80\0"s, u"\0\0+\0"s}},
    // quopri breaks lines with "=" LF, the program with "=" CR LF, at the same places.
    {"ZUV_Text2QP", 0, "quopri.encodestring(b).replace(b'=\\n', b'=\\r\\n')", kZeroTexts},
    {"ZUV_Text2QP", 2, "quopri.encodestring(b).replace(b'=\\n', b'=\\r\\n')", kZeroTexts},
    {"ZUV_QP2Text",
     std::nullopt,
     "quopri.decodestring(b)",
     {u"\0"s, u"\0=C3=A9\0"s, u"a=\r\nb\0"s, u"=3D\0=41"s, u"\0\0=E2=82=AC"s}},
    // ASCII only: html.escape writes no named entity for other characters, and it writes the
    // apostrophe as a reference, which the program keeps.
    {"ZUV_Text2HTML",
     0,
     "html.escape(b.decode()).encode()",
     {u"\0"s, u"\0<b>"s, u"a&\0\"b"s, u"x\0<\0>\0"s}},
    {"ZUV_HTML2Text",
     0,
     "html.unescape(b.decode()).encode()",
     {u"\0"s, u"\0&eacute;&#65;"s, u"a&lt;\0&gt;b"s, u"&amp;\0&#8364;\0"s, u"&#128512;\0"s}},
    // Lines of 45 bytes, which the program ends with CR.
    {"ZUV_Text2UU", std::nullopt,
     "b''.join(binascii.b2a_uu(b[i:i + 45], backtick=True) for i in range(0, len(b), 45))"
     ".replace(b'\\n', b'\\r')",
     kZeroTexts},
};

TEST_F(ZeroUnitsTest, MatchesPythonWithZeroUnitsAnywhere) {
  for (const OracleRow& row : kRows) {
    SCOPED_TRACE(row.command + (row.mode ? " " + std::to_string(*row.mode) : ""s));
    std::vector<std::string> inputs;
    for (const std::u16string& in : row.inputs) inputs.push_back(utf8Of(in));
    std::vector<std::string> expected =
        runPython("for b in lines: print((" + std::string(row.python) + ").hex())\n", inputs);
    ASSERT_EQ(expected.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
      SCOPED_TRACE(hexOf(inputs[i]));
      EXPECT_EQ(utf8Of(callCodec(row.command, row.inputs[i], row.mode)), expected[i]);
    }
  }
}

TEST_F(ZeroUnitsTest, ZeroUnitsGoBackAndForth) {
  // What the Base64 and HTML encoders make of a text with zero units, their decoders give back
  // unit for unit. (The URL and quoted-printable decoders leave %00 and =00 as they are written,
  // so their encoders' forms of a zero unit do not come back as one.)
  struct Pair {
    const char* encode;
    int64_t mode;
    const char* decode;
    std::optional<int64_t> decodeMode;
  };
  const Pair pairs[] = {
      {"ZUV_Text2Base64", 0, "ZUV_Base642Text", std::nullopt},
      {"ZUV_Text2Base64", 1, "ZUV_Base642Text", std::nullopt},
      {"ZUV_Text2HTML", 0, "ZUV_HTML2Text", 0},
  };
  for (const Pair& p : pairs) {
    for (const std::u16string& text : kZeroTexts) {
      SCOPED_TRACE(p.encode + " "s + hexOf(utf8Of(text)));
      EXPECT_EQ(callCodec(p.decode, call(p.encode, text, p.mode), p.decodeMode), text);
    }
  }
}

}  // namespace
}  // namespace zuvtest
