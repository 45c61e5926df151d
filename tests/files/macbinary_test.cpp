// MacBinary through ZUV_File2MacBinary and ZUV_MacBinary2File: the header checked byte by byte
// (its CRC by binascii.crc_hqx), the forks read back by macutils' macsave, the acceptance rule of
// the decoder, standard MacBinary II (made by Python) and macutils' hexbin output read with every
// Finder flag, and files that are cut, lie about their lengths or are refused leaving nothing.

#include <fstream>

#include <gtest/gtest.h>

#include "files/file_conversion_fixture.h"

namespace zuvtest {
namespace {

uint32_t bigEndian32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

size_t padded(size_t n) { return (n + 127) / 128 * 128; }

class MacBinaryTest : public FileConversionTest {
 protected:
  // The header's CRC, by Python.
  std::string pythonCrc(const std::string& file) {
    return shell("/usr/bin/python3 -c \"import binascii; h = open('" + file +
                 "', 'rb').read(124); print('%04x' % binascii.crc_hqx(h, 0))\"");
  }
  // A MacBinary file made by the encoder from these forks, read back whole.
  std::string encoded(const std::string& data, const std::string& rsrc,
                      const std::string& typeCreator, uint16_t flags) {
    write("src", data);
    if (!rsrc.empty()) setResourceFork(path("src"), rsrc);
    if (!typeCreator.empty()) setFinderInfo(path("src"), typeCreator, flags);
    EXPECT_EQ(convert("ZUV_File2MacBinary", path("src"), path("src.bin")), 0);
    return read(path("src.bin"));
  }
  int64_t decodeBytes(const std::string& bytes) {
    write("in.bin", bytes);
    return convert("ZUV_MacBinary2File", path("in.bin"), path("out"));
  }
};

struct ForkCase {
  const char* what;
  std::string data;
  std::string rsrc;
};

std::vector<ForkCase> forkCases() {
  return {
      {"no forks", "", ""},
      {"128 bytes, no padding", randomBytes(128, 1), ""},
      {"129 bytes, 127 of padding", randomBytes(129, 2), ""},
      {"a resource fork of 1 byte", "", "r"},
      {"both forks, 1 MB of resource", randomBytes(200000, 3), randomBytes(1 << 20, 4)},
  };
}

TEST_F(MacBinaryTest, WritesTheHeaderAndPaddedForks) {
  for (const ForkCase& c : forkCases()) {
    SCOPED_TRACE(c.what);
    const std::string bin = encoded(c.data, c.rsrc, "TEXTttxt", 0xABCD);
    ASSERT_EQ(bin.size(), 128 + padded(c.data.size()) + padded(c.rsrc.size()));
    EXPECT_EQ(bin[0], 0);
    EXPECT_EQ(bin.substr(1, 4), std::string("\x03src", 4));
    EXPECT_EQ(bin.substr(65, 8), "TEXTttxt");
    EXPECT_EQ(bin[73], 0);
    EXPECT_EQ(static_cast<unsigned char>(bin[74]), 0xCD);
    EXPECT_EQ(bin[82], 0);
    EXPECT_EQ(bigEndian32(bin, 83), c.data.size());
    EXPECT_EQ(bigEndian32(bin, 87), c.rsrc.size());
    EXPECT_EQ(static_cast<unsigned char>(bin[101]), 0xAB);
    EXPECT_EQ(bin.substr(122, 2), "\x81\x81");
    char crc[8];
    std::snprintf(crc, sizeof crc, "%02x%02x", static_cast<unsigned char>(bin[125]),
                  static_cast<unsigned char>(bin[124]));
    EXPECT_EQ(pythonCrc("src.bin"), std::string(crc) + "\n");
    EXPECT_TRUE(sameBytes(bin.substr(128, c.data.size()), c.data));
    EXPECT_EQ(bin.substr(128 + c.data.size(), padded(c.data.size()) - c.data.size()),
              std::string(padded(c.data.size()) - c.data.size(), '\0'));
    EXPECT_TRUE(sameBytes(bin.substr(128 + padded(c.data.size()), c.rsrc.size()), c.rsrc));
    shell("rm -f src ._src");
  }
}

TEST_F(MacBinaryTest, MacsaveReadsWhatItWrites) {
  const std::string data = randomBytes(300000, 5);
  const std::string rsrc = randomBytes(1 << 20, 6);
  encoded(data, rsrc, "APPLdude", 0x0020);
  shell("mkdir mu && cd mu && macsave -3 < ../src.bin 2>/dev/null");
  EXPECT_TRUE(sameBytes(read(path("mu/src.data")), data));
  EXPECT_TRUE(sameBytes(read(path("mu/src.rsrc")), rsrc));
  EXPECT_EQ(read(path("mu/src.info")).substr(65, 8), "APPLdude");
}

TEST_F(MacBinaryTest, RoundTripKeepsForksTypeCreatorAndEveryFlag) {
  for (const ForkCase& c : forkCases()) {
    SCOPED_TRACE(c.what);
    encoded(c.data, c.rsrc, "TEXTttxt", 0xFFFF);
    ASSERT_EQ(convert("ZUV_MacBinary2File", path("src.bin"), path("out")), 0);
    EXPECT_TRUE(sameBytes(read(path("out")), c.data));
    EXPECT_TRUE(sameBytes(resourceFork(path("out")), c.rsrc));
    EXPECT_EQ(finderInfo(path("out")), std::string("TEXTttxt\xFF\xFF"));
    shell("rm -f src ._src out ._out");
  }
}

TEST_F(MacBinaryTest, CutsLongNamesTo63Bytes) {
  const std::string name = std::string(66, 'n') + ".txt";
  write(name, "x");
  ASSERT_EQ(convert("ZUV_File2MacBinary", path(name), path("a.bin")), 0);
  const std::string bin = read(path("a.bin"));
  EXPECT_EQ(bin[1], 63);
  EXPECT_EQ(bin.substr(2, 63), std::string(58, 'n') + "-.txt");
  EXPECT_EQ(bin[65], 0);
}

TEST_F(MacBinaryTest, CutsLongNamesAtAWholeCharacter) {
  // 40 times U+00E9, two bytes each: 63 bytes would end inside the 32nd.
  std::string name;
  for (int i = 0; i < 40; ++i) name += "\xc3\xa9";
  write(name, "x");
  ASSERT_EQ(convert("ZUV_File2MacBinary", path(name), path("a.bin")), 0);
  const std::string bin = read(path("a.bin"));
  EXPECT_EQ(bin[1], 62);
  EXPECT_EQ(bin.substr(2, 62), name.substr(0, 62));
  EXPECT_EQ(bin[64], 0);
}

// A standard MacBinary II header: the flags' high byte at 73, their low byte at 101, the CRC
// high byte first, as Python's binascii.crc_hqx gives it; a secondary header, when given, follows
// it padded to 128 bytes, its length at 120.
std::string standardMacBinaryII(const std::string& folder, const std::string& data,
                                const std::string& rsrc, uint16_t flags,
                                const std::string& secondary = "") {
  const std::string script =
      "import binascii, struct, sys\n"
      "data, rsrc = open(sys.argv[1], 'rb').read(), open(sys.argv[2], 'rb').read()\n"
      "second = open(sys.argv[3], 'rb').read()\n"
      "h = bytearray(128)\n"
      "h[1] = 4; h[2:6] = b'name'; h[65:73] = b'TEXTttxt'\n"
      "h[73] = " +
      std::to_string(flags >> 8) + "; h[101] = " + std::to_string(flags & 0xFF) +
      "\n"
      "struct.pack_into('>II', h, 83, len(data), len(rsrc))\n"
      "struct.pack_into('>H', h, 120, len(second))\n"
      "h[122] = 129; h[123] = 129\n"
      "struct.pack_into('>H', h, 124, binascii.crc_hqx(bytes(h[:124]), 0))\n"
      "pad = lambda b: b + bytes(-len(b) % 128)\n"
      "sys.stdout.buffer.write(bytes(h) + (pad(second) if second else b'') + pad(data) + "
      "pad(rsrc))\n";
  std::ofstream(folder + "/mb2.py") << script;
  std::ofstream(folder + "/mb2.data", std::ios::binary) << data;
  std::ofstream(folder + "/mb2.rsrc", std::ios::binary) << rsrc;
  std::ofstream(folder + "/mb2.second", std::ios::binary) << secondary;
  return runTool("cd '" + folder + "' && /usr/bin/python3 mb2.py mb2.data mb2.rsrc mb2.second", "");
}

TEST_F(MacBinaryTest, ReadsStandardMacBinaryIIWithEveryFlag) {
  const std::string data = randomBytes(1000, 10);
  const std::string rsrc = randomBytes(300, 11);
  for (int bit = 0; bit < 16; ++bit) {
    SCOPED_TRACE(bit);
    const uint16_t flags = static_cast<uint16_t>(1u << bit);
    const std::string bin = standardMacBinaryII(folder, data, rsrc, flags);
    ASSERT_EQ(bin.size(), 128u + 1024 + 384);
    ASSERT_EQ(decodeBytes(bin), 0);
    EXPECT_TRUE(sameBytes(read(path("out")), data));
    EXPECT_TRUE(sameBytes(resourceFork(path("out")), rsrc));
    const std::string expected{static_cast<char>(flags >> 8), static_cast<char>(flags & 0xFF)};
    EXPECT_EQ(finderInfo(path("out")), "TEXTttxt" + expected);
    shell("rm -f out ._out");
  }
}

// A MacBinary II secondary header holds no fork bytes: the data fork starts after it and its
// padding. One cut short is a file that ends early.
TEST_F(MacBinaryTest, SkipsTheSecondaryHeaderOfMacBinaryII) {
  const std::string data = randomBytes(1000, 14);
  const std::string rsrc = randomBytes(300, 15);
  for (size_t length : {1, 127, 128, 129, 300, 65535}) {
    SCOPED_TRACE(length);
    const std::string secondary = randomBytes(length, 16);
    const std::string bin = standardMacBinaryII(folder, data, rsrc, 0x0100, secondary);
    ASSERT_EQ(bin.size(), 128 + padded(length) + 1024 + 384);
    ASSERT_EQ(decodeBytes(bin), 0);
    EXPECT_TRUE(sameBytes(read(path("out")), data));
    EXPECT_TRUE(sameBytes(resourceFork(path("out")), rsrc));
    EXPECT_EQ(finderInfo(path("out")), std::string("TEXTttxt\x01\x00", 10));
    shell("rm -f out ._out");
    write("out", "kept");
    EXPECT_EQ(decodeBytes(bin.substr(0, 128 + length - 1)), -7);
    EXPECT_EQ(read(path("out")), "kept");
    EXPECT_EQ(listing(), "in.bin mb2.data mb2.py mb2.rsrc mb2.second out ");
    shell("rm -f out");
  }
}

TEST_F(MacBinaryTest, ReadsHexbinOutputWithEveryFlag) {
  const std::string data = randomBytes(2000, 12);
  const std::string rsrc = randomBytes(500, 13);
  write("src", data);
  setResourceFork(path("src"), rsrc);
  int highFlagsSeen = 0;
  for (int bit = 0; bit < 16; ++bit) {
    SCOPED_TRACE(bit);
    const uint16_t flags = static_cast<uint16_t>(1u << bit);
    setFinderInfo(path("src"), "APPLdude", flags);
    ASSERT_EQ(convert("ZUV_File2BinHex", path("src"), path("src.hqx")), 0);
    shell("rm -rf mu && mkdir mu && cd mu && hexbin ../src.hqx 2>/dev/null");
    const std::string bin = read(path("mu/src.bin"));
    ASSERT_GE(bin.size(), 128u);
    // Whatever flags hexbin kept, at the places it put them.
    const std::string kept{bin[73], bin[101]};
    highFlagsSeen += kept[0] != 0 ? 1 : 0;
    ASSERT_EQ(convert("ZUV_MacBinary2File", path("mu/src.bin"), path("out")), 0);
    EXPECT_TRUE(sameBytes(read(path("out")), data));
    EXPECT_TRUE(sameBytes(resourceFork(path("out")), rsrc));
    EXPECT_EQ(finderInfo(path("out")), "APPLdude" + kept);
    shell("rm -f out ._out");
  }
  EXPECT_GT(highFlagsSeen, 0);
}

TEST_F(MacBinaryTest, AppliesTheAcceptanceRule) {
  const std::string good = encoded("data", "", "TEXTttxt", 0x0021);
  auto with = [&](size_t at, unsigned char value) {
    std::string bin = good;
    bin[at] = static_cast<char>(value);
    return bin;
  };
  // A header without CRC (bytes 101 to 124 zero), as MacBinary I writes it.
  std::string noCrc = good;
  std::fill(noCrc.begin() + 101, noCrc.begin() + 125, '\0');
  std::string noCrcHighFlags = noCrc;
  noCrcHighFlags[73] = '\x20';
  // The CRC right, but 130 in byte 123.
  std::string version130 = with(123, 130);
  write("h", version130.substr(0, 124));
  const std::string crc = pythonCrc("h");
  const int value = std::stoi(crc, nullptr, 16);
  version130[124] = static_cast<char>(value & 0xFF);
  version130[125] = static_cast<char>(value >> 8);
  const std::pair<const char*, std::pair<std::string, int>> cases[] = {
      {"as written", {good, 0}},
      {"no CRC", {noCrc, 0}},
      {"a wrong CRC", {with(124, good[124] ^ 1), 3}},
      {"byte 0 set", {with(0, 1), 3}},
      {"byte 73 changed under the CRC", {with(73, 1), 3}},
      {"no CRC, byte 73 set (MacBinary I's flags)", {noCrcHighFlags, 0}},
      {"byte 82 set", {with(82, 1), 3}},
      {"version 130", {version130, 3}},
  };
  for (const auto& [what, c] : cases) {
    SCOPED_TRACE(what);
    EXPECT_EQ(decodeBytes(c.first), c.second);
    if (c.second == 0) {
      EXPECT_EQ(read(path("out")), "data");
      shell("rm -f out ._out");
    }
    EXPECT_FALSE(exists(path("out")));
  }
}

TEST_F(MacBinaryTest, ZeroLengthsGiveAnEmptyFileWithItsFinderInformation) {
  ASSERT_EQ(decodeBytes(encoded("", "", "TEXTttxt", 0x0100)), 0);
  EXPECT_EQ(read(path("out")), "");
  EXPECT_EQ(resourceFork(path("out")), "");
  EXPECT_EQ(finderInfo(path("out")), std::string("TEXTttxt\x01\x00", 10));
}

TEST_F(MacBinaryTest, RefusesFilesThatEndEarlyOrLieAboutTheirLengths) {
  const std::string good = encoded(randomBytes(1000, 7), randomBytes(500, 8), "", 0);
  shell("rm -f src ._src src.bin");
  auto lengths = [&](uint32_t data, uint32_t rsrc) {
    std::string bin = good;
    for (int i = 0; i < 4; ++i) {
      bin[83 + i] = static_cast<char>(data >> (24 - 8 * i));
      bin[87 + i] = static_cast<char>(rsrc >> (24 - 8 * i));
    }
    std::fill(bin.begin() + 101, bin.begin() + 125, '\0');  // no CRC to mend
    return bin;
  };
  const std::pair<const char*, std::pair<std::string, int>> cases[] = {
      {"shorter than a header", {good.substr(0, 127), -7}},
      {"cut inside the data fork", {good.substr(0, 600), -7}},
      {"cut inside the resource fork", {good.substr(0, good.size() - 100), -7}},
      {"a resource fork of 2 GB - 1 in a small file", {lengths(1000, 0x7FFFFFFF), -7}},
      {"a data fork of 2 GB", {lengths(0x80000000, 500), 27}},
      {"a resource fork of 4 GB - 1", {lengths(1000, 0xFFFFFFFF), 27}},
  };
  for (const auto& [what, c] : cases) {
    SCOPED_TRACE(what);
    EXPECT_EQ(decodeBytes(c.first), c.second);
    EXPECT_EQ(listing(), "in.bin ");
  }
}

TEST_F(MacBinaryTest, ARefusedFileLeavesAnExistingDestinationAlone) {
  write("out", "precious");
  EXPECT_EQ(decodeBytes(std::string(128, '\x01')), 3);
  EXPECT_EQ(read(path("out")), "precious");
}

TEST_F(MacBinaryTest, DecodingIntoAnOldFileDropsItsForks) {
  const std::string bin = encoded("new", "", "", 0);
  write("out", "old data");
  setResourceFork(path("out"), "old fork");
  setFinderInfo(path("out"), "TEXTttxt", 0);
  ASSERT_EQ(decodeBytes(bin), 0);
  EXPECT_EQ(read(path("out")), "new");
  EXPECT_EQ(resourceFork(path("out")), "");
  EXPECT_EQ(finderInfo(path("out")), "");
}

TEST_F(MacBinaryTest, MissingSourceAnswersItsErrnoAndCreatesNothing) {
  EXPECT_EQ(convert("ZUV_File2MacBinary", path("missing"), path("a.bin")), ENOENT);
  EXPECT_EQ(convert("ZUV_MacBinary2File", path("missing"), path("a")), ENOENT);
  EXPECT_EQ(listing(), "");
}

TEST_F(MacBinaryTest, ADataForkThatShrinksWhileEncodedAnswers7AndLeavesNoDestination) {
  write("f", randomBytes(300000, 9));
  emu.onYield(1, 1, [&] { ASSERT_EQ(::truncate(path("f").c_str(), 1000), 0); });
  EXPECT_EQ(convert("ZUV_File2MacBinary", path("f"), path("f.bin")), -7);
  EXPECT_EQ(listing(), "f ");
}

}  // namespace
}  // namespace zuvtest
