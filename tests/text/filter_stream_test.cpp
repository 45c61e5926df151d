// The text filters of a transfer applied chunk after chunk: for every filter and texts that put
// the filters' undecided cases at chunk ends (a CR before a LF, an entity or escape cut in two,
// Base64 groups, the quoted-printable column, surrogate pairs, a zero unit), the chunks give
// together exactly what the filters give for the whole text, however the text is cut: what
// filterUnits gives. A zero unit passes every filter as any control character does, characters
// outside the Base64 alphabet are skipped, the encodings encode the bytes of the character set
// they are given, and the decodings give bytes of it.

#include "text/filter_stream.h"

#include <string>
#include <vector>

#include "codecs/codecs_oracle.h"
#include "support/plugin_test.h"
#include "text/filters.h"

namespace zuvtest {
namespace {

class FilterStreamTest : public PluginTest {
 protected:
  // filterUnits on the whole text.
  std::u16string whole(const std::u16string& units, int filter) {
    std::u16string out;
    emu.run(1, [&] { filterUnits(units, filter, out); });
    return out;
  }
  // The stream given the text in pieces that start at the cuts.
  std::u16string streamed(const std::u16string& units, int filter, const std::vector<size_t>& cuts,
                          PA_4DCharSet encoded = kCharSetUTF8) {
    std::u16string out;
    emu.run(1, [&] {
      FilterStream stream(filter, encoded);
      size_t from = 0;
      for (size_t cut : cuts) {
        out += stream.push(std::u16string_view(units).substr(from, cut - from));
        from = cut;
      }
      out += stream.push(std::u16string_view(units).substr(from));
      out += stream.finish();
    });
    return out;
  }
  // Every cut into two pieces, and the text a unit at a time.
  void expectAnyCutGivesTheWhole(const std::u16string& units, int filter) {
    expectAnyCutGives(units, filter, whole(units, filter));
  }
  void expectAnyCutGives(const std::u16string& units, int filter, const std::u16string& expected,
                         PA_4DCharSet encoded = kCharSetUTF8) {
    for (size_t cut = 0; cut <= units.size(); ++cut) {
      ASSERT_EQ(streamed(units, filter, {cut}, encoded), expected) << "cut at " << cut;
    }
    std::vector<size_t> everyUnit;
    for (size_t cut = 1; cut < units.size(); ++cut) everyUnit.push_back(cut);
    EXPECT_EQ(streamed(units, filter, everyUnit, encoded), expected) << "a unit at a time";
  }
};

struct StreamCase {
  int filter;
  std::string utf8;
};

TEST_F(FilterStreamTest, ChunksGiveWhatTheFilterGivesForTheWhole) {
  const std::string longLine =
      "A quoted-printable line longer than seventy-six characters, with = signs, tabs\t and "
      "spaces \r\nbefore line ends, and \xc3\xa9t\xc3\xa9 \xf0\x9f\x98\x80 to escape, goes on "
      "and on beyond the column where a soft break must come.";
  const StreamCase cases[] = {
      {0x4, "a\rb\r\r\nc\r"},
      {0x8, "a\r\nb\r\r\n\r\r"},
      {0x10, "<\xc3\xa9>&\"\xf0\x9f\x98\x80 \xc3\xbc"},
      {0x40, "<a href=\"x\">\xc3\xa9</a>"},
      {0x20, "&amp;&#65;&#x42;&lt&eacute;x &#38;amp; &#128512;&amp&#59; &;&#;"},
      {0x80, "hello w\xc3\xb6rld \xf0\x9f\x98\x80!"},
      {0x80, "ab"},
      {0x100, "aGVs\r\nbG8gd8O2cmxkIPCfmIA="},
      {0x100, "w6nDqcOp8J+YgA"},
      {0x100, "aGVs bG8g!d8O2\tcmxk-IPCf mIA="},
      {0x200, longLine},
      {0x200, "trailing space \rand tab\t\r" + std::string(80, '=')},
      // A line that goes past the soft-break column through a CR, then an escape.
      {0x200, std::string(76, 'a') + "\r\n" + std::string(10, 'b') + "\xc3\xa9"},
      {0x400, "a=3D=C3=A9 =\r\nsoft=\rbreak=F0=9F=98=80 end=\r\n=3=\r\nD=41=4"},
      {0x400, "=C3=\r\n=A9=E2=82=AC=zz=\r"},
      {0x4 | 0x80, "line\rline\r"},
      {0x8 | 0x20 | 0x200, "&eacute;\r\n&lt;x&gt; = \r\n"},
      {0x10 | 0x400, "caf=C3=A9 <b>"},
      {0x20 | 0x100, "&#89;WJj"},
      {0x4 | 0x10 | 0x80, "\xc3\xa9\r<\xf0\x9f\x98\x80"},
  };
  for (const StreamCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter << ": " << c.utf8);
    expectAnyCutGivesTheWhole(host::text(c.utf8), c.filter);
  }
}

struct ZeroCase {
  int filter;
  std::u16string in;
  std::u16string out;
};

TEST_F(FilterStreamTest, AZeroUnitPassesEveryFilterAsAnyControlCharacterDoes) {
  const ZeroCase cases[] = {
      {0x4, std::u16string(u"a\0\rb", 4), std::u16string(u"a\0\r\nb", 5)},
      {0x8, std::u16string(u"x\r\0y\r\n", 6), std::u16string(u"x\r\0y\r", 5)},
      {0x10, std::u16string(u"<\0\u00e9", 3), std::u16string(u"&lt;\0&eacute;", 13)},
      {0x20, std::u16string(u"&lt;\0&amp;", 10), std::u16string(u"<\0&", 3)},
      {0x80, std::u16string(u"a\0b", 3), u"YQBi"},
      // A decoded zero byte.
      {0x100, u"YQBi", std::u16string(u"a\0b", 3)},
      {0x200, std::u16string(u"a\0b", 3), u"a=00b"},
      {0x400, std::u16string(u"a\0=41", 5), std::u16string(u"a\0A", 3)},
      {0x4 | 0x80, std::u16string(u"\0\r", 2), u"AA0K"},
  };
  for (const ZeroCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter);
    expectAnyCutGives(c.in, c.filter, c.out);
  }
}

TEST_F(FilterStreamTest, CharactersOutsideTheBase64AlphabetAreSkipped) {
  // As RFC 2045 asks of a decoder; the chunks before and after the character all decode.
  EXPECT_EQ(streamed(u"YWJj*ZGVm", 0x100, {4}), u"abcdef");
  EXPECT_EQ(streamed(u"YWJj*ZGVm", 0x100, {6}), u"abcdef");
  expectAnyCutGives(u"YW Jj*Z\u00e9GVm\r\n!", 0x100, u"abcdef");
  EXPECT_EQ(whole(u"YWJj*ZGVm", 0x100), u"abcdef");
}

TEST_F(FilterStreamTest, EncodingsEncodeTheBytesOfTheirCharacterSet) {
  // U+0097 and "<": the bytes 97 3C in ISO-8859-1, C2 97 3C in UTF-8.
  const std::u16string units = u"\u0097<";
  EXPECT_EQ(streamed(units, 0x80, {1}, kCharSet1005), u"lzw");
  EXPECT_EQ(streamed(units, 0x80, {1}), u"wpc8");
  EXPECT_EQ(streamed(units, 0x200, {1}, kCharSet1005), u"=97<");
  EXPECT_EQ(streamed(units, 0x200, {1}), u"=C2=97<");
  // é is 8E in Mac OS Roman.
  EXPECT_EQ(streamed(u"\u00e9", 0x200, {}, kCharSet100), u"=8E");
}

// ISO-8859-1: each byte is the unit of its value.
std::u16string latin1Units(const std::string& bytes) {
  std::u16string units;
  for (char byte : bytes) units.push_back(static_cast<unsigned char>(byte));
  return units;
}

TEST_F(FilterStreamTest, DecodingsGiveTheBytesOfTheirCharacterSet) {
  // The bytes 97 3C are U+0097 and "<" in ISO-8859-1; 8E is é in Mac OS Roman.
  EXPECT_EQ(streamed(u"lzw", 0x100, {1}, kCharSet1005), u"\u0097<");
  EXPECT_EQ(streamed(u"=97<", 0x400, {1}, kCharSet1005), u"\u0097<");
  EXPECT_EQ(streamed(u"jg", 0x100, {}, kCharSet100), u"\u00e9");
  EXPECT_EQ(streamed(u"=8e", 0x400, {}, kCharSet100), u"\u00e9");
  // Read as UTF-8, as before: C2 97 3C, and a byte that begins no character.
  EXPECT_EQ(streamed(u"wpc8", 0x100, {1}), u"\u0097<");
  EXPECT_EQ(streamed(u"=C2=97<", 0x400, {3}), u"\u0097<");
  EXPECT_EQ(streamed(u"lzw", 0x100, {1}), u"\ufffd<");
  EXPECT_EQ(streamed(u"=97<", 0x400, {1}), u"=97<");
  // A binary body, every byte value and zero bytes among them, cut anywhere, gives what Python
  // decodes; the quoted-printable body also holds bytes written as they are and an "=" that
  // begins no escape.
  std::string data(6, '\0');
  for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>((i * 167 + 13) % 256));
  data += std::string("\0\0\xff\0", 4);
  std::vector<std::string> oracle = runPython(
      "for l in lines:\n"
      "  b64 = base64.encodebytes(l)\n"
      "  b64 = b64[:100] + b' *\\r' + b64[100:]\n"
      "  qp = binascii.b2a_qp(l, istext=False).replace(b'=\\r\\n', b'=\\n')\n"
      "  qp = qp.replace(b'=\\n', b'=\\r\\n').replace(b'=3D', b'=3D\\xe9\\0\\x80=G=4=41', 1)\n"
      "  for body in (b64, base64.b64decode(b64), qp, quopri.decodestring(qp)):\n"
      "    print(body.hex())\n",
      {data});
  ASSERT_EQ(oracle.size(), 4u);
  ASSERT_EQ(oracle[1], data);
  ASSERT_GT(oracle[3].size(), data.size());
  {
    SCOPED_TRACE("Base64");
    expectAnyCutGives(latin1Units(oracle[0]), 0x100, latin1Units(oracle[1]), kCharSet1005);
  }
  SCOPED_TRACE("quoted-printable");
  expectAnyCutGives(latin1Units(oracle[2]), 0x400, latin1Units(oracle[3]), kCharSet1005);
}

}  // namespace
}  // namespace zuvtest
