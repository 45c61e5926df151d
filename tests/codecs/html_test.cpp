// HTML character references through ZUV_Text2HTML and ZUV_HTML2Text: the entity table, the
// modes, numeric references (decimal, 0x hexadecimal, characters beyond the Basic Multilingual
// Plane as one reference), tag removal, and comparisons with python3's html.entities and
// html.unescape (HTML 4.01 section 24, HTML5 character references).

#include <gtest/gtest.h>

#include "codecs/codecs.h"
#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

struct Case {
  std::u16string in;
  int64_t mode;
  std::u16string out;
};

class HTMLTest : public CodecTest {};

TEST_F(HTMLTest, Encodes) {
  const Case cases[] = {
      {u"café", 0, u"caf&eacute;"},
      {u"Ω", 0, u"&#937;"},
      {u"Ωé", 1, u"&#937;&eacute;"},
      {u"<b>\"x\" & y</b>", 0, u"&lt;b&gt;&quot;x&quot; &amp; y&lt;/b&gt;"},
      {u"<b>\"x\" & y</b>", 1, u"<b>\"x\" &amp; y</b>"},
      {u"<b>\"x\" & y</b>", 7, u"<b>\"x\" &amp; y</b>"},
      {u"<b>\"x\" & y</b>", 2, u"<b>\"x\" & y</b>"},
      {u"€™“”‘’≤≥•œŒ", 0, u"&euro;(TM)\"\"''<=>=*oeOE"},
      {u"≤", 2, u"<="},
      {u"\u0080\u009f¦²³·¹¼½¾×", 0,
       u"&#128;&#159;&#166;&#178;&#179;&#183;&#185;&#188;&#189;&#190;&#215;"},
      {u"\u00a0ÿÆÐÞß\u00ad¯", 0, u"&nbsp;&yuml;&AElig;&ETH;&THORN;&szlig;&shy;&macr;"},
      // One reference for a character beyond the Basic Multilingual Plane; an unpaired half
      // keeps a reference of its own.
      {u"\U0001F600", 0, u"&#128512;"},
      {u"\xD83D"
       u"a\xDE00",
       0, u"&#55357;a&#56832;"},
      {u"plain text\r\n", 0, u"plain text\r\n"},
      {u"", 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::utf8(c.in));
    EXPECT_EQ(call("ZUV_Text2HTML", c.in, c.mode), c.out);
  }
}

TEST_F(HTMLTest, DecodesNumericReferences) {
  const Case cases[] = {
      {u"&#65;", 0, u"A"},
      {u"&#0x41;", 0, u"A"},
      {u"&#0X41;", 0, u"A"},
      {u"&#x41;&#X41;", 0, u"&#x41;&#X41;"},
      {u"&#65", 0, u"&#65"},
      // Leading zeros are decimal, as HTML reads them: &#039; is the apostrophe.
      {u"&#039;&#0101;&#08;", 0, u"'e\b"},
      {u"&#0;x", 0, u"&#0;x"},
      {u"&#65536;", 0, u"\U00010000"},
      {u"&#128512;", 0, u"\U0001F600"},
      {u"&#0x1F600;", 0, u"\U0001F600"},
      {u"&#1114111;", 0, u"\U0010FFFF"},
      {u"&#1114112;", 0, u"&#1114112;"},
      // Ten digits are read; an eleventh makes the reference no reference.
      {u"&#0000000065;", 0, u"A"},
      {u"&#0001114111;", 0, u"\U0010FFFF"},
      {u"&#00000000065;", 0, u"&#00000000065;"},
      {u"&#9999999999;", 0, u"&#9999999999;"},
      {u"&#99999999999;", 0, u"&#99999999999;"},
      {u"&#0xFFFFFFFF;", 0, u"&#0xFFFFFFFF;"},
      {u"&#0x123456789;", 0, u"&#0x123456789;"},
      {u"&#\u0666\u0665;", 0, u"&#\u0666\u0665;"},
      {u"&#55357;&#56832;", 0, u"\U0001F600"},
      {u"&&#65;", 0, u"&A"},
      {u"&#38;lt;", 0, u"<"},
      {u"&#38;lt;", 2, u"<"},
      {u"&#38;lt;", 1, u"&lt;"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::utf8(c.in));
    EXPECT_EQ(call("ZUV_HTML2Text", c.in, c.mode), c.out);
  }
}

TEST_F(HTMLTest, DecodesNamedEntities) {
  const Case cases[] = {
      {u"caf&eacute; &euro; &nbsp;", 0, u"café € \u00a0"},
      {u"&amp;&lt;&#60;", 1, u"&amp;&lt;<"},
      {u"&quot;&gt;&uuml;", 1, u"&quot;&gt;ü"},
      {u"&amp;lt;", 0, u"&lt;"},
      {u"&foo; &AMP; &eacute", 0, u"&foo; &AMP; &eacute"},
      {u"(TM) oe <= \"", 0, u"(TM) oe <= \""},
      {u"&&amp;;", 0, u"&&;"},
      {u"", 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::utf8(c.in));
    EXPECT_EQ(call("ZUV_HTML2Text", c.in, c.mode), c.out);
  }
}

TEST_F(HTMLTest, ModeTwoRemovesTags) {
  const Case cases[] = {
      {u"<p>Hello&nbsp;<b>World</b></p>", 2, u"Hello\u00a0World"},
      {u"a < b and c > d", 2, u"a  d"},
      {u"&lt;i&gt;x", 2, u"x"},
      {u"<a\r\nhref=x>y<<z>>", 2, u"y>"},
      {u"x <unclosed", 2, u"x <unclosed"},
      {u"<p>Hello</p>", 0, u"<p>Hello</p>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::utf8(c.in));
    EXPECT_EQ(call("ZUV_HTML2Text", c.in, c.mode), c.out);
  }
}

TEST_F(HTMLTest, EmptyTextMakesNoHostCall) {
  emu.resetTrace();
  emu.run(1, [&] {
    PA_Unistring text{};
    htmlEncode(text, 0);
    htmlDecode(text, 2);
    EXPECT_EQ(text.fLength, 0);
  });
  EXPECT_TRUE(emu.trace().empty());
}

TEST_F(HTMLTest, AnOutputPastTheTextLimitFails) {
  std::u16string out;
  EXPECT_FALSE(htmlEncodeUnits(u"ΩΩ", 0, out, 10));
  EXPECT_TRUE(htmlEncodeUnits(u"ΩΩ", 0, out, 12));
  EXPECT_EQ(out, u"&#937;&#937;");
}

TEST_F(HTMLTest, AnOutputPastTheLimitFailsBeforeItIsAllocated) {
  // 8 units of "&#65535;" for each unit.
  const std::u16string wide(1 << 20, u'\uFFFF');
  expectMeasuredBeforeAllocated(
      [&](std::u16string& out, int64_t limit) { return htmlEncodeUnits(wide, 0, out, limit); });
}

// Characters that html.unescape reads as HTML5 does, differently from a plain reference: the
// C1 range (mapped to windows-1252), noncharacters and the table's lossy plain replacements.
bool sharedWithHTML5(uint32_t c) {
  if (c >= 0x80 && c <= 0x9F) return false;
  if (c >= 0xFDD0 && c <= 0xFDEF) return false;
  if ((c & 0xFFFE) == 0xFFFE) return false;
  if (c == 0) return false;
  const uint32_t replaced[] = {8226, 8482, 339, 338, 8804, 8805, 8220, 8221, 8216, 8217};
  for (uint32_t r : replaced) {
    if (c == r) return false;
  }
  return true;
}

// Characters that a numeric reference gives back in HTML5 too: html.unescape drops references
// of control characters other than TAB, LF and CR.
bool referable(uint32_t c) {
  if (c < 32 && c != 9 && c != 10 && c != 13) return false;
  if (c == 127 || (c >= 0xD800 && c <= 0xDFFF)) return false;
  return sharedWithHTML5(c);
}

TEST_F(HTMLTest, TableIsHTML4Latin1) {
  // Every row of the table that is an entity is the HTML 4 name of its character. The table's
  // rows lie below U+0400 and in U+2000..U+22FF.
  std::vector<std::string> inputs;
  std::vector<std::u16string> encoded;
  for (uint32_t c = 32; c < 0x2300; ++c) {
    if (!referable(c) || (c >= 0x400 && c < 0x2000)) continue;
    std::u16string one(1, static_cast<char16_t>(c));
    std::u16string out = call("ZUV_Text2HTML", one, 0);
    if (out.size() > 1 && out[0] == u'&' && out[1] != u'#') {
      inputs.push_back(utf8Of(one));
      encoded.push_back(out);
    }
  }
  EXPECT_EQ(inputs.size(), 4u + 87u + 1u);
  std::vector<std::string> names = runPython(
      "for b in lines: print(('&' + html.entities.codepoint2name[ord(b.decode())] + ';')"
      ".encode().hex())\n",
      inputs);
  ASSERT_EQ(names.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) EXPECT_EQ(host::text(names[i]), encoded[i]);
}

TEST_F(HTMLTest, EntityTableHoldsItsRowsInOrder) {
  // The rows one by one: the four markup characters, the Latin-1 units 160..255 in ascending
  // order without the nine that have no row (each with its HTML 4 name, from html.entities),
  // then the plain replacements and the euro sign, and the end row.
  std::vector<std::pair<uint16_t, std::string>> expected = {
      {34, "&quot;"}, {38, "&amp;"}, {60, "&lt;"}, {62, "&gt;"}};
  std::vector<std::string> latin1;
  for (uint32_t c = 160; c <= 255; ++c) {
    if (c == 166 || c == 178 || c == 179 || c == 183 || c == 185 || c == 188 || c == 189 ||
        c == 190 || c == 215) {
      continue;
    }
    latin1.push_back(utf8Of(std::u16string(1, static_cast<char16_t>(c))));
  }
  ASSERT_EQ(latin1.size(), 87u);
  std::vector<std::string> names = runPython(
      "for b in lines: print(('&' + html.entities.codepoint2name[ord(b.decode())] + ';')"
      ".encode().hex())\n",
      latin1);
  ASSERT_EQ(names.size(), latin1.size());
  for (size_t i = 0; i < latin1.size(); ++i) {
    expected.emplace_back(static_cast<uint16_t>(host::text(latin1[i])[0]), names[i]);
  }
  const std::pair<uint16_t, std::string> replacements[] = {
      {8226, "*"},  {8482, "(TM)"}, {339, "oe"},  {338, "OE"}, {8364, "&euro;"}, {8804, "<="},
      {8805, ">="}, {8220, "\""},   {8221, "\""}, {8216, "'"}, {8217, "'"},
  };
  expected.insert(expected.end(), std::begin(replacements), std::end(replacements));
  ASSERT_EQ(expected.size(), 102u);
  size_t rows = 0;
  for (; sEntities[rows].unit != 0; ++rows) {
    ASSERT_LT(rows, expected.size());
    SCOPED_TRACE(rows + 1);
    EXPECT_EQ(sEntities[rows].unit, expected[rows].first);
    EXPECT_STREQ(sEntities[rows].text, expected[rows].second.c_str());
  }
  EXPECT_EQ(rows, 102u);
}

TEST_F(HTMLTest, UnescapeReadsWhatTheProgramEncodes) {
  // html.unescape reads the program's named entities and decimal references, one per
  // character (also beyond the Basic Multilingual Plane), back to the text; characters that
  // HTML5 maps otherwise are left out of the generated texts.
  TextGenerator generator(401);
  std::vector<std::u16string> texts;
  std::vector<std::string> encoded;
  for (int i = 0; i < 300; ++i) {
    std::u16string text = generator.text(300, sharedWithHTML5);
    texts.push_back(text);
    encoded.push_back(utf8Of(call("ZUV_Text2HTML", text, 0)));
  }
  std::vector<std::string> unescaped =
      runPython("for b in lines: print(html.unescape(b.decode()).encode().hex())\n", encoded);
  ASSERT_EQ(unescaped.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(host::text(unescaped[i]), texts[i]);
    EXPECT_EQ(call("ZUV_HTML2Text", host::text(encoded[i]), 0), texts[i]);
  }
}

TEST_F(HTMLTest, DecodesLikeUnescape) {
  // On texts of table entities and decimal references 1..0x10FFFF without leading zeros, the
  // program and html.unescape agree (it differs on &#x41;, leading zeros and the 0x form).
  TextGenerator generator(2070);
  std::vector<std::string> inputs;
  const char* names[] = {"&amp;",  "&lt;",    "&gt;",  "&quot;", "&eacute;", "&nbsp;", "&euro;",
                         "&yuml;", "&THORN;", "&foo;", "&",      ";",        "#"};
  for (int i = 0; i < 300; ++i) {
    std::string in;
    for (int k = 0; k < 40; ++k) {
      switch (generator.pick(0, 2)) {
        case 0:
          in += names[generator.pick(0, 12)];
          break;
        case 1: {
          uint32_t c =
              generator.pick(0, 1) ? generator.pick(32, 0xFFFD) : generator.pick(1, 0x10FFFF);
          if (!referable(c)) c = 'x';
          in += "&#" + std::to_string(c) + ";";
          break;
        }
        default:
          in += utf8Of(generator.text(5, sharedWithHTML5));
      }
    }
    inputs.push_back(in);
  }
  std::vector<std::string> expected =
      runPython("for b in lines: print(html.unescape(b.decode()).encode().hex())\n", inputs);
  ASSERT_EQ(expected.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(inputs[i]);
    EXPECT_EQ(callUTF8("ZUV_HTML2Text", inputs[i], 0), expected[i]);
  }
}

}  // namespace
}  // namespace zuvtest
