// The text filters of a transfer applied chunk after chunk: for every filter and texts that put
// the filters' undecided cases at chunk ends (a CR before a LF, an entity or escape cut in two,
// Base64 groups, the quoted-printable column, surrogate pairs, a zero unit), the chunks give
// together exactly what filterText gives for the whole text, however the text is cut.

#include "utils_filter_stream.h"

#include <string>
#include <vector>

#include "support/plugin_test.h"
#include "utils_codecs.h"

namespace zuvtest {
namespace {

class FilterStreamTest : public PluginTest {
 protected:
  // filterText on the whole text, in a temporary host text.
  std::u16string whole(const std::u16string& units, int filter) {
    std::u16string out;
    emu.run(1, [&] {
      PA_Unistring text = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(units.c_str()));
      filterText(text, filter);
      out = std::u16string(unitsOf(text));
      PA_DisposeUnistring(&text);
    });
    return out;
  }
  // The stream given the text in pieces that start at the cuts.
  std::u16string streamed(const std::u16string& units, int filter,
                          const std::vector<size_t>& cuts) {
    std::u16string out;
    emu.run(1, [&] {
      FilterStream stream(filter);
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
    const std::u16string expected = whole(units, filter);
    for (size_t cut = 0; cut <= units.size(); ++cut) {
      ASSERT_EQ(streamed(units, filter, {cut}), expected) << "cut at " << cut;
    }
    std::vector<size_t> everyUnit;
    for (size_t cut = 1; cut < units.size(); ++cut) everyUnit.push_back(cut);
    EXPECT_EQ(streamed(units, filter, everyUnit), expected) << "a unit at a time";
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

TEST_F(FilterStreamTest, AZeroUnitEndsTheTextWhereverItComesFrom) {
  // Decoded zero bytes: Base64 and quoted-printable escapes.
  expectAnyCutGivesTheWhole(host::text("YQBiYw=="), 0x100);
  expectAnyCutGivesTheWhole(host::text("a=00b=41"), 0x400);
  // A zero unit in what the chunks hold, with a filter that holds units back.
  expectAnyCutGivesTheWhole(std::u16string(u"x\r\0y\r", 5), 0x8);
}

TEST_F(FilterStreamTest, NothingComesAfterACharacterOutsideTheBase64Alphabet) {
  // The whole text would give nothing; the chunks before the character have gone already.
  EXPECT_EQ(streamed(u"YWJj*ZGVm", 0x100, {4}), u"abc");
  EXPECT_EQ(streamed(u"YWJj*ZGVm", 0x100, {6}), u"");
  EXPECT_EQ(whole(u"YWJj*ZGVm", 0x100), u"");
}

}  // namespace
}  // namespace zuvtest
