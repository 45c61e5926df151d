// ZUV_BlobSearch and ZUV_BlobReplace: matches that never overlap, a count of 0 meaning one, the
// zero byte that ends the search, patterns that can never match, replacements of every length
// against python3's bytes.find, count and replace, and BLOBs as large as a BLOB can be.

#include <climits>
#include <random>
#include <sstream>

#include <gtest/gtest.h>

#include "4DPluginAPI.h"
#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

class BlobSearchTest : public PluginTest {
 protected:
  struct Answer {
    int64_t result;
    int64_t count;
    Bytes blob;
  };

  Answer search(const Bytes& bytes, int64_t offset, const Text& pattern, int64_t count,
                int64_t utf8 = 1) {
    Outcome out = run("ZUV_BlobSearch", {blob(bytes), num(offset), pattern, num(count), num(utf8)});
    return {out.number(), out.number(4), out.blob(1).bytes};
  }

  Answer replace(const Bytes& bytes, int64_t offset, const Text& pattern, const Text& with,
                 int64_t count, int64_t utf8 = 1) {
    Outcome out =
        run("ZUV_BlobReplace", {blob(bytes), num(offset), pattern, with, num(count), num(utf8)});
    return {out.number(), out.number(5), out.blob(1).bytes};
  }
};

struct SearchCase {
  Bytes bytes;
  int64_t offset;
  Text pattern;
  int64_t count;
  int64_t result;
  int64_t found;
};

TEST_F(BlobSearchTest, FindsMatchesThatNeverOverlap) {
  const Bytes zeroInside("ab\0ab", 5);
  const SearchCase cases[] = {
      {"abcabc", 0, u"b", 0, 1, 1},  // a count of 0 means one match
      {"abcabc", 0, u"b", 2, 4, 2},
      {"abcabc", 0, u"b", 5, 4, 2},
      {"abcabc", 2, u"b", 5, 4, 1},
      {"abcabc", 6, u"b", 5, -1, 0},  // the offset must lie inside the BLOB
      {"abcabc", -1, u"b", 5, -1, 0},
      {"abcabc", 5, u"c", 5, 5, 1},
      {"abcabc", 0, u"x", 5, -1, 0},
      {"abcabc", 0, u"b", -1, -1, 0},  // a negative count finds nothing
      {"abcabc", 0, u"abcabcd", 1, -1, 0},
      {"aaaa", 0, u"aa", 5, 2, 2},
      {zeroInside, 0, u"b", 5, 1, 1},  // the zero byte ends the search
      {zeroInside, 3, u"b", 5, 4, 1},
      {zeroInside, 2, u"b", 5, -1, 0},
      {"", 0, u"a", 1, -1, 0},
      // A pattern that is empty or holds a zero byte matches nothing.
      {"abc", 0, u"", 5, -1, 0},
      {Bytes("a\0b", 3), 0, Text(u"\0", 1), 5, -1, 0},
      {Bytes("a\0b", 3), 0, Text(u"a\0", 2), 5, -1, 0},
  };
  for (const SearchCase& c : cases) {
    SCOPED_TRACE(hexOf(c.bytes) + " " + host::utf8(c.pattern) + " from " +
                 std::to_string(c.offset) + " count " + std::to_string(c.count));
    Answer answer = search(c.bytes, c.offset, c.pattern, c.count);
    EXPECT_EQ(answer.result, c.result);
    EXPECT_EQ(answer.count, c.found);
    EXPECT_EQ(answer.blob, c.bytes);
  }
}

TEST_F(BlobSearchTest, SwitchChoosesThePatternsBytes) {
  // é is C3 A9 in UTF-8 and 8E in host character set 100 (Mac OS Roman).
  EXPECT_EQ(search("caf\xC3\xA9", 0, u"é", 1, 1).result, 3);
  EXPECT_EQ(search("caf\xC3\xA9", 0, u"é", 1, 0).result, -1);
  EXPECT_EQ(search("caf\x8E", 0, u"é", 1, 0).result, 3);
  EXPECT_EQ(search("caf\x8E", 0, u"é", 1, 7).result, -1);
}

TEST_F(BlobSearchTest, TextsTheCharacterSetCannotHoldExactlyMatchAndWriteNothing) {
  const Bytes bytes = "Is it? Yes? \xE4\xB8\xAD";
  // Mac OS Roman lacks 中: the host's '?' in its place would match both question marks.
  Answer found = search(bytes, 0, u"中", 10, 0);
  EXPECT_EQ(found.result, -1);
  EXPECT_EQ(found.count, 0);
  Answer unmatched = replace(bytes, 0, u"中", u"!", 10, 0);
  EXPECT_EQ(unmatched.blob, bytes);
  EXPECT_EQ(unmatched.result, -1);
  EXPECT_EQ(unmatched.count, 0);
  // A replacement that would be written as '?' is refused with a code of its own.
  Answer refused = replace(bytes, 0, u"?", u"中", 10, 0);
  EXPECT_EQ(refused.blob, bytes);
  EXPECT_EQ(refused.result, -8);
  EXPECT_EQ(refused.count, 0);
  // UTF-8 holds 中, and every character but an unpaired surrogate.
  EXPECT_EQ(search(bytes, 0, u"中", 10, 1).result, 12);
  const Text surrogate(1, char16_t{0xD800});
  EXPECT_EQ(search("a\xEF\xBF\xBD", 0, surrogate, 5, 1).result, -1);
  Answer lone = replace("a?", 0, u"?", surrogate, 5, 1);
  EXPECT_EQ(lone.blob, "a?");
  EXPECT_EQ(lone.result, -8);
  EXPECT_EQ(lone.count, 0);
}

TEST_F(BlobSearchTest, ABlobWithoutHandleIsEmpty) {
  for (const char* command : {"ZUV_BlobSearch", "ZUV_BlobReplace"}) {
    SCOPED_TRACE(command);
    std::vector<Value> args = {noHandleBlob(), num(0), Value{Text(u"a")}};
    if (std::string_view(command) == "ZUV_BlobReplace") args.push_back(Value{Text(u"b")});
    args.push_back(num(5));
    args.push_back(num(1));
    Outcome out = run(command, args);
    EXPECT_EQ(out.number(), -1);
    EXPECT_EQ(out.number(args.size() - 1), 0);
    EXPECT_FALSE(out.blob(1).hasHandle);
  }
}

struct ReplaceCase {
  Bytes bytes;
  int64_t offset;
  Text pattern;
  Text with;
  int64_t count;
  Bytes after;
  int64_t result;
  int64_t made;
};

TEST_F(BlobSearchTest, ReplacesInPlace) {
  const ReplaceCase cases[] = {
      {"abcabc", 0, u"b", u"xyz", 0, "axyzcabc", 1, 1},
      {"abcabc", 0, u"bc", u"", 2, "aa", 2, 2},     // the offset in the BLOB as changed
      {"aaa", 0, u"a", u"aa", 10, "aaaaaa", 4, 3},  // a replacement is not searched again
      {"abcabc", 0, u"b", u"x", 5, "axcaxc", 4, 2},
      {"abcabc", 1, u"abc", u"", 5, "abc", 3, 1},
      {"abcabc", 3, u"abc", u"", 5, "abc", 3, 1},
      {"abcabc", 0, u"abc", u"", 5, "", 0, 2},
      {"xabcabc", 0, u"abc", u"", 5, "x", 1, 2},
      {"abcabc", 0, u"c", u"CC", 5, "abCCabCC", 6, 2},
      {"abcabc", 0, u"a", u"AAAA", 1, "AAAAbcabc", 0, 1},
      {Bytes("ab\0ab", 5), 0, u"b", u"XY", 5, Bytes("aXY\0ab", 6), 1, 1},
      {Bytes("ab\0ab", 5), 0, u"b", u"", 5, Bytes("a\0ab", 4), 1, 1},
      {"abcabc", 0, u"b", u"x", -3, "abcabc", -1, 0},
      {"abcabc", 0, u"", u"x", 5, "abcabc", -1, 0},
      {"abcabc", 0, Text(u"b\0", 2), u"x", 5, "abcabc", -1, 0},
      {"abc", 0, u"\r\n", u"\n", 5, "abc", -1, 0},
      {"a\r\nb\r\n\r\nc\r", 0, u"\r\n", u"\n", 100, "a\nb\n\nc\r", 4, 3},
  };
  for (const ReplaceCase& c : cases) {
    SCOPED_TRACE(hexOf(c.bytes) + " " + hexOf(host::utf8(c.pattern)) + " by " +
                 hexOf(host::utf8(c.with)) + " from " + std::to_string(c.offset) + " count " +
                 std::to_string(c.count));
    Answer answer = replace(c.bytes, c.offset, c.pattern, c.with, c.count);
    EXPECT_EQ(answer.blob, c.after);
    EXPECT_EQ(answer.result, c.result);
    EXPECT_EQ(answer.count, c.made);
  }
}

TEST_F(BlobSearchTest, AReplacementWithAZeroByteIsWrittenWhole) {
  Answer answer = replace("abcb", 0, u"b", Text(u"x\0y", 3), 5);
  EXPECT_EQ(answer.blob, Bytes("ax\0ycx\0y", 8));
  EXPECT_EQ(answer.result, 5);
  EXPECT_EQ(answer.count, 2);
}

TEST_F(BlobSearchTest, RefusedGrowthReplacesNothing) {
  emu.refuse(host::Refusal::GrowHandle);
  Answer answer = replace("abcabc", 0, u"b", u"xyz", 5);
  EXPECT_EQ(answer.blob, "abcabc");
  EXPECT_EQ(answer.result, -1);
  EXPECT_EQ(answer.count, 0);
}

TEST_F(BlobSearchTest, RefusedConversionsSearchNothing) {
  // A replacement that the host did not convert would delete the matches instead.
  emu.refuse(host::Refusal::Conversion, 2);
  Answer answer = replace("abcabc", 0, u"b", u"x", 5);
  EXPECT_EQ(answer.blob, "abcabc");
  EXPECT_EQ(answer.result, -1);
  EXPECT_EQ(answer.count, 0);
  emu.clearRefusals();
  emu.refuse(host::Refusal::Conversion, 1);
  EXPECT_EQ(search("abcabc", 0, u"b", 5).count, 0);
  // The way back that shows the replacement exact: a refusal there is no -8 of a replacement
  // that the character set cannot hold.
  emu.clearRefusals();
  emu.refuse(host::Refusal::Conversion, 3);
  Answer unchecked = replace("abcabc", 0, u"b", u"x", 5);
  EXPECT_EQ(unchecked.blob, "abcabc");
  EXPECT_EQ(unchecked.result, -1);
  EXPECT_EQ(unchecked.count, 0);
}

// A case for python3: the BLOB, the pattern, the replacement, the offset and the count, separated
// by zero bytes (none of them holds one).
struct OracleCase {
  Bytes bytes;
  Bytes pattern;
  Bytes with;
  int64_t offset;
  int64_t count;
};

std::vector<OracleCase> makeOracleCases() {
  std::mt19937 random(2108);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  const char alphabet[] = "ab\r\nc";
  auto word = [&](int low, int high) {
    Bytes out;
    for (int n = pick(low, high); n > 0; --n) out.push_back(alphabet[pick(0, 4)]);
    return out;
  };
  std::vector<OracleCase> cases;
  for (int i = 0; i < 400; ++i) {
    OracleCase c;
    c.bytes = word(1, 120);
    c.pattern = word(1, 3);
    c.with = word(0, 5);
    c.offset = pick(0, static_cast<int>(c.bytes.size()) - 1);
    const int64_t counts[] = {0, 1, 2, 3, 7, 1000};
    c.count = counts[pick(0, 5)];
    cases.push_back(c);
  }
  return cases;
}

TEST_F(BlobSearchTest, AgreesWithPythonBytes) {
  // Without a zero byte in the BLOB the rules are those of bytes.find, count and replace from
  // the offset on, with count 0 meaning one.
  std::vector<OracleCase> cases = makeOracleCases();
  std::vector<std::string> inputs;
  for (const OracleCase& c : cases) {
    inputs.push_back(c.bytes + '\0' + c.pattern + '\0' + c.with + '\0' + std::to_string(c.offset) +
                     '\0' + std::to_string(c.count));
  }
  std::vector<std::string> expected = runPython(
      "for l in lines:\n"
      "    b, p, r, o, n = l.split(b'\\0'); o = int(o); n = int(n) or 1\n"
      "    k = min(n, b.count(p, o))\n"
      "    last = -1; i = o\n"
      "    for _ in range(k): last = b.find(p, i); i = last + len(p)\n"
      "    moved = last + (k - 1) * (len(r) - len(p)) if k else -1\n"
      "    after = b[:o] + b[o:].replace(p, r, n)\n"
      "    print((b'%d %d %d ' % (k, last, moved) + after).hex())\n",
      inputs);
  ASSERT_EQ(expected.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    const OracleCase& c = cases[i];
    SCOPED_TRACE(hexOf(inputs[i]));
    std::istringstream fields(expected[i]);
    int64_t count = 0;
    int64_t last = 0;
    int64_t moved = 0;
    fields >> count >> last >> moved;
    const Bytes after = expected[i].substr(static_cast<size_t>(fields.tellg()) + 1);
    Answer found = search(c.bytes, c.offset, host::text(c.pattern), c.count);
    EXPECT_EQ(found.count, count);
    EXPECT_EQ(found.result, last);
    Answer replaced =
        replace(c.bytes, c.offset, host::text(c.pattern), host::text(c.with), c.count);
    EXPECT_EQ(replaced.count, count);
    EXPECT_EQ(replaced.result, moved);
    EXPECT_EQ(replaced.blob, after);
  }
}

// A BLOB of the largest size: the emulator reserves such a handle without memory; its bytes past
// the first MiB read as zero, which ends the search there.
class LargestBlobTest : public PluginTest {
 protected:
  // Runs a command whose first parameter is a BLOB of `size` bytes starting with `start`, and
  // answers the result and the count parameter; the BLOB is cut back to its start afterwards.
  std::pair<int64_t, int64_t> runOnLargest(const char* command, std::vector<Value> rest,
                                           int64_t size, const Bytes& start) {
    const host::CommandSpec* spec = emu.manifest().find(command);
    std::vector<Value> args = {blob(start)};
    args.insert(args.end(), rest.begin(), rest.end());
    host::Frame frame = emu.makeFrame(spec->params, args, spec->result);
    PluginBlock block{frame.parameters(), frame.result(), nullptr};
    HostHandle handle = nullptr;
    int32_t grownTo = 0;
    emu.run(1, [&] {
      handle = PA_GetBlobHandleParameter(&block, 1);
      if (PA_SetHandleSize(handle, static_cast<int32_t>(size))) grownTo = PA_GetHandleSize(handle);
      FourDPackex(spec->selector, frame.parameters(), nullptr, frame.result());
      PA_SetHandleSize(handle, static_cast<int32_t>(start.size()));
    });
    EXPECT_EQ(grownTo, size);
    const size_t countParam = spec->params.size() - 1;
    return {std::get<int64_t>(frame.resultValue()), std::get<int64_t>(frame.param(countParam))};
  }
};

TEST_F(LargestBlobTest, IsSearchedWithoutATerminator) {
  auto [result, count] =
      runOnLargest("ZUV_BlobSearch", {num(0), txt("b"), num(5), num(1)}, INT32_MAX, "abab");
  EXPECT_EQ(result, 3);
  EXPECT_EQ(count, 2);
}

TEST_F(LargestBlobTest, ReplacementThatWouldPassTheLargestSizeIsNotMade) {
  // Room for one more byte only: a replacement that grows by two is not made, and the result
  // names no match.
  auto [result, count] = runOnLargest(
      "ZUV_BlobReplace", {num(0), txt("b"), txt("xyz"), num(5), num(1)}, INT32_MAX - 1, "abab");
  EXPECT_EQ(result, -1);
  EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace zuvtest
