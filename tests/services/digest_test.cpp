// Digests and checksums through ZUV_DigestInit, ZUV_DigestAddText, ZUV_DigestAddBlob and
// ZUV_DigestFinal, compared with python3's hashlib and zlib and with `openssl dgst` (MD4, which
// hashlib lacks here), on texts and random BLOBs fed whole and in pieces.

#include "services/digest.h"

#include <random>

#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

struct Algorithm {
  int number;
  const char* python;  // an expression of the bytes `b` that prints the value in hexadecimal
};

const Algorithm kAlgorithms[] = {
    {1, "hashlib.sha1(b).hexdigest()"}, {9, "hashlib.sha1(b).hexdigest()"},
    {5, "hashlib.md5(b).hexdigest()"},  {10, "hashlib.new('ripemd160', b).hexdigest()"},
    {100, "'%08x' % zlib.crc32(b)"},    {101, "'%08x' % zlib.adler32(b)"},
};

class DigestTest : public PluginTest {
 protected:
  int64_t init(int64_t algorithm) { return run("ZUV_DigestInit", {num(algorithm)}).number(); }
  void addText(int64_t id, const std::string& utf8, int64_t asUTF8 = 1) {
    run("ZUV_DigestAddText", {num(id), txt(utf8), num(asUTF8)});
  }
  void addBlob(int64_t id, const Bytes& bytes) { run("ZUV_DigestAddBlob", {num(id), blob(bytes)}); }
  std::string final(int64_t id, int64_t finish = 1) {
    return host::utf8(run("ZUV_DigestFinal", {num(id), num(finish)}).text());
  }
  std::string digestOfBlob(int64_t algorithm, const Bytes& bytes) {
    int64_t id = init(algorithm);
    addBlob(id, bytes);
    return final(id);
  }
};

// The oracle's values of every input, one python3 run per algorithm.
std::vector<std::string> pythonValues(const Algorithm& algorithm,
                                      const std::vector<Bytes>& inputs) {
  std::vector<std::string> out = runPython(
      "import hashlib, zlib\n"
      "for b in lines: print((" +
          std::string(algorithm.python) + ").encode().hex())\n",
      inputs);
  return out;
}

std::vector<Bytes> randomInputs() {
  std::mt19937 random(1321);
  std::vector<Bytes> inputs;
  for (size_t size : {0, 1, 3, 55, 56, 63, 64, 65, 119, 1000, 65536, 300001}) {
    Bytes bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    inputs.push_back(bytes);
  }
  return inputs;
}

TEST_F(DigestTest, AlgorithmsMatchHashlibAndZlib) {
  std::vector<Bytes> inputs = randomInputs();
  for (const Algorithm& algorithm : kAlgorithms) {
    SCOPED_TRACE(algorithm.number);
    std::vector<std::string> expected = pythonValues(algorithm, inputs);
    ASSERT_EQ(expected.size(), inputs.size());
    for (size_t i = 0; i < inputs.size(); ++i) {
      SCOPED_TRACE(inputs[i].size());
      EXPECT_EQ(digestOfBlob(algorithm.number, inputs[i]), expected[i]);
    }
  }
}

TEST_F(DigestTest, MD4MatchesOpensslDgst) {
  for (const Bytes& bytes : randomInputs()) {
    SCOPED_TRACE(bytes.size());
    std::string line = runTool("openssl dgst -md4 -provider legacy -provider default -r", bytes);
    ASSERT_GE(line.size(), 32u) << "openssl has no MD4";
    EXPECT_EQ(digestOfBlob(4, bytes), line.substr(0, 32));
  }
}

TEST_F(DigestTest, KnownVectorsAndEmptyInput) {
  // RFC 1320, RFC 1321, FIPS 180 and the RIPEMD-160 paper's vectors for "abc"; CRC-32 and
  // Adler-32 of no bytes are their starting values.
  struct Case {
    int algorithm;
    const char* input;
    const char* value;
  };
  const Case cases[] = {
      {4, "abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {5, "abc", "900150983cd24fb0d6963f7d28e17f72"},
      {1, "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {10, "abc", "8eb208f7e05d987a9b044a8e98c6b087f15a0bfc"},
      {100, "abc", "352441c2"},
      {101, "abc", "024d0127"},
      {5, "", "d41d8cd98f00b204e9800998ecf8427e"},
      {4, "", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {100, "", "00000000"},
      {101, "", "00000001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.algorithm) + " " + c.input);
    int64_t id = init(c.algorithm);
    ASSERT_NE(id, 0);
    addText(id, c.input);
    EXPECT_EQ(final(id), c.value);
  }
}

TEST_F(DigestTest, NumbersThatNameNoAlgorithmGiveNoId) {
  int64_t before = init(5);
  for (int64_t number : {0, 2, 3, 6, 7, 8, 11, 99, 102, -1, -5, 2147483647}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(init(number), 0);
  }
  // Refused numbers use no id: the next one follows at once.
  int64_t after = init(5);
  EXPECT_EQ(after, before + 1);
  EXPECT_EQ(final(before, 0), "");
  EXPECT_EQ(final(after, 0), "");
}

TEST_F(DigestTest, PiecesTextsAndBlobsGiveTheValueOfTheWhole) {
  // A U+0000 in a text is digested like any other character.
  std::string whole = std::string("The quick brown fox ") + '\0' +
                      "jumps over the lazy dog, caf\u00e9 \u4e2d\u6587";
  for (const Algorithm& algorithm : kAlgorithms) {
    SCOPED_TRACE(algorithm.number);
    std::string expected = digestOfBlob(algorithm.number, whole);
    int64_t id = init(algorithm.number);
    addText(id, whole.substr(0, 4));
    addBlob(id, whole.substr(4, 11));
    addText(id, "");
    addBlob(id, "");
    run("ZUV_DigestAddBlob", {num(id), noHandleBlob()});
    addText(id, whole.substr(15));
    EXPECT_EQ(final(id), expected);
  }
}

TEST_F(DigestTest, TextBytesFollowTheCharacterSetFlag) {
  // "é" is C3 A9 in UTF-8 and 8E in Mac OS Roman (host character set 100).
  int64_t utf8 = init(5);
  addText(utf8, "caf\u00e9", 1);
  int64_t roman = init(5);
  addText(roman, "caf\u00e9", 0);
  EXPECT_EQ(final(utf8), digestOfBlob(5, "caf\xc3\xa9"));
  EXPECT_EQ(final(roman), digestOfBlob(5, "caf\x8e"));
}

TEST_F(DigestTest, CharactersThatMacRomanLacksAddQuestionMarks) {
  // With the flag 0 each character outside Mac OS Roman (one outside the BMP too) adds one "?".
  int64_t roman = init(5);
  addText(roman, "a\u0436b\U0001F600", 0);
  EXPECT_EQ(final(roman), digestOfBlob(5, "a?b?"));
  int64_t utf8 = init(5);
  addText(utf8, "a\u0436b\U0001F600", 1);
  EXPECT_EQ(final(utf8), digestOfBlob(5, "a\u0436b\U0001F600"));
}

TEST_F(DigestTest, DiscardEndsTheIdAndOnlyOneFinishes) {
  for (int64_t discard : {0, 2, -1}) {
    SCOPED_TRACE(discard);
    int64_t id = init(1);
    addText(id, "abc");
    EXPECT_EQ(final(id, discard), "");
    addText(id, "abc");
    EXPECT_EQ(final(id, 1), "") << "the id is gone";
  }
  EXPECT_EQ(final(123456789), "");
  addText(123456789, "nothing to add to");
}

TEST_F(DigestTest, IdsAreSharedByEveryProcess) {
  int64_t id = run("ZUV_DigestInit", {num(5)}, 2).number();
  run("ZUV_DigestAddText", {num(id), txt("a"), num(1)}, 3);
  run("ZUV_DigestAddText", {num(id), txt("bc"), num(1)}, 1);
  EXPECT_EQ(host::utf8(run("ZUV_DigestFinal", {num(id), num(1)}, 4).text()),
            "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(DigestTest, IdsWrapToOneAndSkipThoseInUse) {
  digest::testing::setLastId(0);
  int64_t first = init(100);
  ASSERT_EQ(first, 1);
  digest::testing::setLastId(0xFFFFFFFDu);
  EXPECT_EQ(init(100), -2);  // 4,294,967,294 read as a longint
  EXPECT_EQ(init(100), -1);  // 4,294,967,295
  EXPECT_EQ(init(100), 2) << "0 is never an id and 1 is still in use";
  for (int64_t id : {first, int64_t{-2}, int64_t{-1}, int64_t{2}}) EXPECT_EQ(final(id), "00000000");
}

TEST_F(DigestTest, TextThatCannotBeConvertedSpoilsTheValue) {
  // A text that gives no bytes was not digested: the final must not pass the value of what
  // remains off as the value of everything added.
  int64_t id = init(5);
  addText(id, "a");
  emu.refuse(host::Refusal::Conversion);
  addText(id, "b");
  emu.clearRefusals();
  addText(id, "c");
  EXPECT_EQ(final(id), "");
}

}  // namespace
}  // namespace zuvtest
