// Percent-encoding through ZUV_Text2URL and ZUV_URL2Text: the three encoder modes byte by byte,
// the decoder's runs of escaped UTF-8 and what it leaves in place, and comparisons with python3's
// urllib.parse (RFC 3986 percent-encoding).

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

class URLTest : public CodecTest {};

TEST_F(URLTest, EncodesPerMode) {
  const Case cases[] = {
      {u"a b&c/é", 0, u"a+b%26c%2F%C3%A9"},
      {u"a b&c/é", 1, u"a%20b&c/%C3%A9"},
      {u"a b&c/é", 2, u"a+b%26c%2F%C3%A9"},
      {u"file-name.txt", 0, u"file%2Dname%2Etxt"},
      {u"file-name.txt*", 1, u"file-name.txt*"},
      {u"?_~@:", 2, u"?_%7E%40%3A"},
      {u"?_~@:", 0, u"?_~@:"},
      {u"<>%", 1, u"%3C%3E%25"},
      {u"\U0001F600", 0, u"%F0%9F%98%80"},
      {u"a\xD800"
       u"b",
       0, u"ab"},
      {u"a\xDC00", 1, u"a"},
      {std::u16string(u"a\0b", 3), 1, u"a%00b"},  // every unit is read
      {u"abc", 3, u""},
      {u"abc", -1, u""},
      {u"a b", 6, u"a+b"},
      {u"a b", 5, u"a%20b"},
      {u"", 1, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::utf8(c.in));
    EXPECT_EQ(call("ZUV_Text2URL", c.in, c.mode), c.out);
  }
}

TEST_F(URLTest, AnOutputPastTheLimitFailsBeforeItIsAllocated) {
  // Each U+FFFF is three escaped bytes, nine units.
  const std::u16string wide(1 << 20, u'\uFFFF');
  expectMeasuredBeforeAllocated(
      [&](std::u16string& out, int64_t limit) { return urlEncodeUnits(wide, 0, out, limit); });
}

TEST_F(URLTest, EncodesAZeroUnit) {
  std::u16string out;
  ASSERT_TRUE(urlEncodeUnits(std::u16string_view(u"\0", 1), 0, out));
  EXPECT_EQ(out, u"%00");
}

// What modes 0 and 2 make of an ASCII character, written out from their definition.
std::u16string expectedASCII(uint32_t c, int mode) {
  const std::string mode2Escaped = "<>\"#%\\{}[]|^`~;/:@=&";
  if (c == ' ') return std::u16string(1, u'+');
  bool kept = c >= 48 && c <= 126 && c != '<' && c != '>' &&
              (mode == 0 || mode2Escaped.find(static_cast<char>(c)) == std::string::npos);
  if (kept) return std::u16string(1, static_cast<char16_t>(c));
  char hex[4];
  std::snprintf(hex, sizeof hex, "%%%02X", c);
  return host::text(hex);
}

TEST_F(URLTest, ModesZeroAndTwoKeepTheirCharacters) {
  // quote() cannot express modes 0 and 2 (it always keeps "-", "." and "_"), so every ASCII
  // character is checked against the modes' own definition.
  for (int mode : {0, 2}) {
    for (uint32_t c = 1; c < 128; ++c) {
      SCOPED_TRACE(c);
      EXPECT_EQ(call("ZUV_Text2URL", std::u16string(1, static_cast<char16_t>(c)), mode),
                expectedASCII(c, mode));
    }
  }
}

TEST_F(URLTest, ModeOneIsQuoteFromBytes) {
  // Mode 1 equals urllib.parse.quote_from_bytes with the printable characters 33..126 but "%",
  // "<" and ">" safe, over every byte a text can produce and over generated texts.
  TextGenerator generator(3986);
  std::vector<std::string> inputs;
  std::u16string all;
  for (char16_t c = 1; c < 0x800; ++c) all.push_back(c);
  inputs.push_back(utf8Of(all));
  for (int i = 0; i < 300; ++i) {
    inputs.push_back(utf8Of(generator.text(200, [](uint32_t c) { return c != 0; })));
  }
  std::vector<std::string> expected = runPython(
      "safe = ''.join(chr(c) for c in range(33, 127) if chr(c) not in '%<>')\n"
      "for b in lines: print(urllib.parse.quote_from_bytes(b, safe=safe).encode().hex())\n",
      inputs);
  ASSERT_EQ(expected.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(callUTF8("ZUV_Text2URL", inputs[i], 1), expected[i]);
  }
}

TEST_F(URLTest, Decodes) {
  const Case cases[] = {
      {u"a+b%20c", 0, u"a b c"},
      {u"a+b%20c", 1, u"a+b c"},
      {u"%2B", 0, u"+"},
      {u"%41%42", 0, u"AB"},
      {u"%c3%a9", 0, u"é"},
      {u"%C3%A9", 0, u"é"},
      {u"%E2%82%AC", 0, u"€"},
      {u"%F0%9F%98%80", 0, u"\U0001F600"},
      {u"%C3%A9%C3%A9", 0, u"éé"},
      {u"%C3%A9%A9", 0, u"é"},
      {u"%zz", 0, u"%zz"},
      {u"%4g", 0, u"%4g"},
      {u"%00", 0, u"%00"},
      {u"100%", 0, u"100%"},
      {u"a%4", 0, u"a%4"},
      {u"%C3", 0, u"%C3"},
      {u"%C3x", 0, u"%C3x"},
      {u"%A9", 0, u"%A9"},
      {u"%C0%80", 0, u"%C0%80"},
      {u"%E0%81%81", 0, u"%E0%81%81"},
      {u"%E0%9F%BF", 0, u"%E0%9F%BF"},
      {u"%F0%8F%BF%BF", 0, u"%F0%8F%BF%BF"},
      {u"=E0=81=81", -1, u"=E0=81=81"},
      {u"%ED%A0%80", 0, u"%ED%A0%80"},
      {u"%F5%80%80%80", 0, u"%F5%80%80%80"},
      {u"%F4%90%80%80", 0, u"%F4%90%80%80"},
      {u"%C3%A9%zz", 0, u"%C3%A9%zz"},
      {u"%C3%41", 0, u"%C3A"},
      {u"%%41", 0, u"%%41"},
      {u"%+1", 0, u"%+1"},
      {u"\U0001F600%41", 0, u"\U0001F600A"},
      {u"%\U0001F600", 0, u"%\U0001F600"},
      {u"=41", -1, u"A"},
      {u"%41", -1, u"%41"},
      {u"a+b", -1, u"a+b"},
      // A run holds one character's four bytes at most; a further escape is read afresh.
      {u"%F0%9F%98%80%80", 0, u"\U0001F600%80"},
      {u"", 0, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(host::utf8(c.in));
    EXPECT_EQ(call("ZUV_URL2Text", c.in, c.mode), c.out);
  }
}

TEST_F(URLTest, DecodesWhatPythonQuotes) {
  // urllib.parse.quote with nothing safe escapes every byte but letters, digits and "_.-~";
  // unquote reads the program's escapes back. They agree on valid UTF-8 without zero bytes
  // (unquote makes U+0000 of %00 and U+FFFD of bad runs, which the program leaves escaped).
  TextGenerator generator(1738);
  std::vector<std::string> inputs;
  for (int i = 0; i < 300; ++i) {
    inputs.push_back(utf8Of(generator.text(200, [](uint32_t c) { return c != 0; })));
  }
  std::vector<std::string> quoted =
      runPython("for b in lines: print(urllib.parse.quote(b, safe='').encode().hex())\n", inputs);
  std::vector<std::string> ours;
  for (const std::string& in : inputs) ours.push_back(callUTF8("ZUV_Text2URL", in, 1));
  std::vector<std::string> unquoted = runPython(
      "for b in lines: print(urllib.parse.unquote(b.decode(), errors='strict').encode().hex())\n",
      ours);
  ASSERT_EQ(quoted.size(), inputs.size());
  ASSERT_EQ(unquoted.size(), inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(callUTF8("ZUV_URL2Text", quoted[i], 1), inputs[i]);
    EXPECT_EQ(unquoted[i], inputs[i]);
  }
}

}  // namespace
}  // namespace zuvtest
