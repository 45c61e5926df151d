// BinHex 4.0 through ZUV_File2BinHex and ZUV_BinHex2File: the text the encoder writes is read by
// an independent reader (tests/oracles/hqx.py, CRCs by binascii.crc_hqx), by macutils' hexbin and
// by Perl's Convert::BinHex; the decoder reads macutils' binhex output as it stands (its own header
// line, runs, mail headers before it) and texts made here, and refuses damaged ones with nothing
// left behind.

#include <gtest/gtest.h>

#include "files/file_conversion_fixture.h"

namespace zuvtest {
namespace {

const char kAlphabet[] = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";

uint16_t crcXmodem(const std::string& bytes) {
  uint16_t crc = 0;
  for (unsigned char byte : bytes) {
    crc = static_cast<uint16_t>(crc ^ byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
  }
  return crc;
}

std::string bigEndian(uint64_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string withCrc(const std::string& bytes) { return bytes + bigEndian(crcXmodem(bytes), 2); }

// The byte stream of a file, before escapes; lengths can be given apart from the forks.
struct Stream {
  std::string name = "file";
  std::string typeCreator = "TEXTttxt";
  uint16_t flags = 0;
  std::string data;
  std::string rsrc;
  int64_t dataLength = -1;  // -1: the data's length
  int64_t rsrcLength = -1;

  std::string bytes() const {
    std::string header = std::string(1, static_cast<char>(name.size())) + name + '\0' +
                         typeCreator + bigEndian(flags, 2) +
                         bigEndian(dataLength < 0 ? data.size() : dataLength, 4) +
                         bigEndian(rsrcLength < 0 ? rsrc.size() : rsrcLength, 4);
    return withCrc(header) + withCrc(data) + withCrc(rsrc);
  }
};

// The characters of the bytes, six bits each; the last one's missing bits are 0.
std::string sixBitChars(const std::string& bytes) {
  std::string chars;
  uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : bytes) {
    bits = bits << 8 | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      chars.push_back(kAlphabet[(bits >> count) & 0x3F]);
    }
  }
  if (count > 0) chars.push_back(kAlphabet[(bits << (6 - count)) & 0x3F]);
  return chars;
}

// 0x90 escaped, six-bit coded, lines of 64 ending in `eol`, between colons.
std::string hqxBody(const std::string& stream, const std::string& eol = "\r") {
  std::string escaped;
  for (char c : stream) {
    escaped.push_back(c);
    if (static_cast<unsigned char>(c) == 0x90) escaped.push_back('\0');
  }
  const std::string chars = sixBitChars(escaped);
  std::string out = ":";
  for (size_t i = 0; i < chars.size(); i += 64) out += chars.substr(i, 64) + eol;
  return out + ":" + eol;
}

const std::string kHeaderLine = "(This file must be converted with BinHex 4.0)";

std::string hqx(const Stream& stream, const std::string& eol = "\r") {
  return kHeaderLine + eol + hqxBody(stream.bytes(), eol);
}

class BinHexTest : public FileConversionTest {
 protected:
  std::string oracle(const std::string& hqxFile, const std::string& out) {
    return shell("/usr/bin/python3 " ZUV_TEST_DIR "/oracles/hqx.py check '" + hqxFile + "' '" +
                 out + "'");
  }
  // Makes the file f with these forks and Finder information ("" for none) and encodes it as
  // f.hqx; answers the code.
  int64_t encodeFile(const std::string& data, const std::string& rsrc,
                     const std::string& typeCreator, uint16_t flags) {
    write("f", data);
    if (!rsrc.empty()) setResourceFork(path("f"), rsrc);
    if (!typeCreator.empty()) setFinderInfo(path("f"), typeCreator, flags);
    return convert("ZUV_File2BinHex", path("f"), path("f.hqx"));
  }
  // Decodes text made here; answers the code.
  int64_t decodeText(const std::string& text, const std::string& to = "out") {
    write("in.hqx", text);
    return convert("ZUV_BinHex2File", path("in.hqx"), path(to));
  }
};

struct FileCase {
  const char* what;
  std::string data;
  std::string rsrc;
  std::string typeCreator;  // "" for no Finder information
  uint16_t flags;
};

std::vector<FileCase> fileCases() {
  return {
      {"empty, no fork, no Finder information", "", "", "", 0},
      {"one byte", "A", "", "TEXTttxt", 0x0100},
      {"0x90 everywhere", std::string(20000, '\x90'), std::string(3, '\x90'),
       "\x90\x90\x90\x90"
       "ABCD",
       0x9090},
      {"pieces and lines", randomBytes(16385, 1), randomBytes(1, 2), "APPLdude", 0xFFFF},
      {"a 1 MB resource fork", randomBytes(100000, 3), randomBytes(1 << 20, 4), "rsrcRSED", 0x4321},
  };
}

TEST_F(BinHexTest, WritesTheFormatThatAnIndependentReaderChecks) {
  for (const FileCase& c : fileCases()) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(encodeFile(c.data, c.rsrc, c.typeCreator, c.flags), 0);
    const std::string tc = c.typeCreator.empty() ? std::string(8, '\0') : c.typeCreator;
    char flags[8];
    std::snprintf(flags, sizeof flags, "%04x", c.typeCreator.empty() ? 0 : c.flags);
    EXPECT_EQ(oracle("f.hqx", "py"), "1 " + hexOf(tc.substr(0, 4)) + " " + hexOf(tc.substr(4)) +
                                         " " + flags + " " + std::to_string(c.data.size()) + " " +
                                         std::to_string(c.rsrc.size()) + "\n");
    EXPECT_TRUE(sameBytes(read(path("py.data")), c.data));
    EXPECT_TRUE(sameBytes(read(path("py.rsrc")), c.rsrc));
    shell("rm -f f ._f");
  }
}

TEST_F(BinHexTest, MacutilsAndConvertBinHexReadWhatItWrites) {
  const std::string data = randomBytes(70000, 5);
  const std::string rsrc = randomBytes(1 << 20, 6);
  write("a file", data);
  setResourceFork(path("a file"), rsrc);
  setFinderInfo(path("a file"), "TEXTttxt", 0x0120);
  ASSERT_EQ(convert("ZUV_File2BinHex", path("a file"), path("a.hqx")), 0);

  shell("mkdir mu && cd mu && hexbin -3 ../a.hqx 2>/dev/null");
  EXPECT_TRUE(sameBytes(read(path("mu/a_file.data")), data));
  EXPECT_TRUE(sameBytes(read(path("mu/a_file.rsrc")), rsrc));
  const std::string info = read(path("mu/a_file.info"));
  ASSERT_EQ(info.size(), 128u);
  EXPECT_EQ(info.substr(65, 8), "TEXTttxt");

  // Convert::BinHex reads the header line up to an LF.
  EXPECT_EQ(
      shell("tr '\\r' '\\n' < a.hqx > lf.hqx && perl -MConvert::BinHex -e '"
            "open(my $in, \"<\", \"lf.hqx\"); my $h = Convert::BinHex->open(FH => $in);"
            "$h->read_header; print join(\" \", $h->filename, $h->type, $h->creator, "
            "sprintf(\"%04x\", $h->flags));"
            "open(D, \">pd\"); binmode D; while (defined(my $d = $h->read_data)) { print D $d }"
            "open(R, \">pr\"); binmode R;"
            "while (defined(my $r = $h->read_resource)) { print R $r }' 2>/dev/null"),
      "a file TEXT ttxt 0120");
  EXPECT_TRUE(sameBytes(read(path("pd")), data));
  EXPECT_TRUE(sameBytes(read(path("pr")), rsrc));
}

TEST_F(BinHexTest, RoundTripKeepsForksTypeCreatorAndTheFlagsItKeeps) {
  for (const FileCase& c : fileCases()) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(encodeFile(c.data, c.rsrc, c.typeCreator, c.flags), 0);
    ASSERT_EQ(convert("ZUV_BinHex2File", path("f.hqx"), path("g")), 0);
    EXPECT_TRUE(sameBytes(read(path("g")), c.data));
    EXPECT_TRUE(sameBytes(resourceFork(path("g")), c.rsrc));
    // The flags that say what the Finder did with the file (0x0001, 0x0100, 0x4000) are dropped.
    const uint16_t kept = c.flags & 0xBEFE;
    const std::string expected = c.typeCreator.empty() ? "" : c.typeCreator + bigEndian(kept, 2);
    EXPECT_EQ(finderInfo(path("g")), expected);
    shell("rm -f f ._f g ._g");
  }
}

TEST_F(BinHexTest, KeepsANameOf255Bytes) {
  // The longest name a file can have here; MacBinary would cut it to 63.
  const std::string name(255, 'n');
  write(name, "x");
  ASSERT_EQ(convert("ZUV_File2BinHex", path(name), path("a.hqx")), 0);
  EXPECT_EQ(oracle("a.hqx", "py").substr(0, 4), "255 ");
}

TEST_F(BinHexTest, ReadsMacutilsBinhexOutputAsItIs) {
  std::string data = std::string(5000, 'a') + randomBytes(3000, 8) + std::string(300, '\x90') +
                     std::string(1000, '\0');
  std::string rsrc = std::string(700, 'R') + randomBytes(100, 9);
  // macutils keeps a file as name.info (a MacBinary header), name.data and name.rsrc; binhex
  // writes its own first line and runs.
  write("src", data);
  setResourceFork(path("src"), rsrc);
  setFinderInfo(path("src"), "TEXTttxt", 0x0020);
  ASSERT_EQ(convert("ZUV_File2BinHex", path("src"), path("src.hqx")), 0);
  shell("mkdir mu && cd mu && hexbin -3 ../src.hqx 2>/dev/null && binhex src.info > ../mu.hqx");
  std::string text = read(path("mu.hqx"));
  ASSERT_EQ(text.substr(0, 28), "(This file must be converted");
  ASSERT_EQ(decodeText(text), 0);
  EXPECT_TRUE(sameBytes(read(path("out")), data));
  EXPECT_TRUE(sameBytes(resourceFork(path("out")), rsrc));
  EXPECT_EQ(finderInfo(path("out")), "TEXTttxt" + bigEndian(0x0020, 2));

  // A plain file, without resource fork, after the headers of the mail that carried it.
  shell("cd mu && binhex -d src.data > ../plain.hqx");
  text = "From: someone@example.org\nSubject: (This file must be converted)\n\n" +
         read(path("plain.hqx"));
  ASSERT_EQ(decodeText(text), 0);
  EXPECT_TRUE(sameBytes(read(path("out")), data));
  EXPECT_EQ(resourceFork(path("out")), "");
  EXPECT_EQ(finderInfo(path("out")).substr(0, 4), "TEXT");
}

TEST_F(BinHexTest, ReadsAnyLineEndsAndTextAroundTheData) {
  Stream stream;
  stream.data = randomBytes(5000, 10);
  stream.rsrc = "fork";
  const std::string body = hqxBody(stream.bytes());
  std::string spaced = body;
  spaced.insert(10, "\t\x10\n");
  const std::pair<const char*, std::string> cases[] = {
      {"CR", hqx(stream)},
      {"LF", hqx(stream, "\n")},
      {"CR LF", hqx(stream, "\r\n")},
      {"a line end before the header", "\r\n" + hqx(stream)},
      {"more text on the header line", kHeaderLine + " more text\n" + body},
      {"lines before the data", kHeaderLine + "\nsome: text\n\nmore\n" + body},
      {"after white space", kHeaderLine + "\nnotes \t" + body},
      {"TAB, 0x10 and LF in the data", kHeaderLine + "\r" + spaced},
      {"three characters before the closing colon",
       kHeaderLine + "\r" + body.substr(0, body.size() - 2) + "!\r!!:\r"},
      {"text after the closing colon", hqx(stream) + "trailing text (This file\r:!!!!\r"},
      {"another tool's header line",
       "(This file must be converted; you knew that already.)\n\n" + body},
      {"mail headers before the header line",
       "Received: from somewhere\r\nSubject: a file\r\n\r\nsee (This file must be "
       "converted\r\n" +
           hqx(stream, "\r\n")},
  };
  for (const auto& [what, text] : cases) {
    SCOPED_TRACE(what);
    ASSERT_EQ(decodeText(text), 0);
    EXPECT_TRUE(sameBytes(read(path("out")), stream.data));
    EXPECT_EQ(resourceFork(path("out")), "fork");
  }
}

TEST_F(BinHexTest, TheSearchForTheHeaderLineGivesTheHostItsTurns) {
  // A megabyte of mail text before the header line, or no header line at all: the other 4D
  // processes get their turns while the decoder reads it, as they do while it decodes.
  Stream stream;
  stream.data = "x";
  std::string mail;
  while (mail.size() < (1 << 20)) mail += "Some line of the mail that carries the file.\n";
  const std::pair<std::string, int64_t> cases[] = {
      {mail + hqx(stream, "\r\n"), 0},
      {mail, -13},
  };
  for (const auto& [text, code] : cases) {
    SCOPED_TRACE(code);
    const int64_t before = emu.yields(1);
    EXPECT_EQ(decodeText(text), code);
    EXPECT_GE(emu.yields(1) - before, static_cast<int64_t>(mail.size() / 4096));
  }
}

TEST_F(BinHexTest, ExpandsRuns) {
  // X 0x90 0x04 is X four times; 0x90 0x00 is one 0x90; a count of 1 adds nothing; a run may go
  // on from the fork into its CRC.
  const std::string data = "XXXX\x90YZ";
  std::string header = std::string("\x01n\0", 3) + std::string(8, 'T') + bigEndian(0, 2) +
                       bigEndian(data.size(), 4) + bigEndian(0, 4);
  std::string stream = withCrc(header) + "X\x90\x04\x90" + std::string(1, '\0') + "Y\x90\x01Z" +
                       bigEndian(crcXmodem(data), 2) + bigEndian(0, 2);
  // hqxBody escapes 0x90: this stream holds its runs already, so code it without.
  const std::string chars = sixBitChars(stream);
  ASSERT_EQ(decodeText(kHeaderLine + "\r:" + chars + ":\r"), 0);
  EXPECT_TRUE(sameBytes(read(path("out")), data));
}

TEST_F(BinHexTest, ReadsAFileWithAnEmptyName) {
  Stream stream;
  stream.name = "";
  stream.data = "contents";
  ASSERT_EQ(decodeText(hqx(stream)), 0);
  EXPECT_EQ(read(path("out")), "contents");
}

TEST_F(BinHexTest, RefusesDamagedTextsAndLeavesNoDestination) {
  Stream stream;
  stream.data = randomBytes(3000, 11);
  stream.rsrc = randomBytes(2000, 12);
  stream.flags = 0x0400;
  const std::string good = hqx(stream);
  auto changed = [&](size_t at) {
    std::string text = good;
    text[at] = text[at] == 'A' ? 'B' : 'A';
    return text;
  };
  const size_t start = kHeaderLine.size() + 2;
  Stream huge = stream;
  huge.dataLength = 0x80000000;
  Stream hugeRsrc = stream;
  hugeRsrc.rsrcLength = 0xFFFFFFFF;
  std::string fourTrailing = good;
  fourTrailing.insert(fourTrailing.size() - 2, "!!!!");
  std::string spaced = good;
  spaced.insert(start + 100, " ");
  const std::pair<const char*, std::pair<std::string, int>> cases[] = {
      {"a changed header byte", {changed(start + 5), -13}},
      {"a changed data byte", {changed(start + 1000), -13}},
      {"a changed resource byte", {changed(good.size() - 200), -13}},
      {"four characters before the closing colon", {fourTrailing, -13}},
      {"a space in the data", {spaced, -13}},
      {"text before the header on its line", {"x" + good, -13}},
      {"a header line that is quoted", {"> " + good, -13}},
      {"no header line", {"some text\r" + good.substr(kHeaderLine.size() + 1), -13}},
      {"no line end after the header", {kHeaderLine, -13}},
      {"shorter than the header text", {kHeaderLine.substr(0, 39), -7}},
      {"cut in the header", {good.substr(0, start + 10), -7}},
      {"cut in the data", {good.substr(0, start + 2000), -7}},
      {"cut in the resource fork", {good.substr(0, good.size() - 100), -7}},
      {"cut before the closing colon", {good.substr(0, good.size() - 2), -7}},
      {"no data at all", {kHeaderLine + "\r", -7}},
      {"a data length of 2 GB", {hqx(huge), 27}},
      {"a resource length of 4 GB", {hqx(hugeRsrc), 27}},
  };
  for (const auto& [what, c] : cases) {
    SCOPED_TRACE(what);
    EXPECT_EQ(decodeText(c.first), c.second);
    EXPECT_EQ(listing(), "in.hqx ");
  }
}

TEST_F(BinHexTest, DecodingIntoAnOldFileDropsItsForks) {
  Stream stream;
  stream.typeCreator = std::string(8, '\0');
  stream.data = "new";
  write("out", "old data");
  setResourceFork(path("out"), "old fork");
  setFinderInfo(path("out"), "TEXTttxt", 0);
  ASSERT_EQ(decodeText(hqx(stream)), 0);
  EXPECT_EQ(read(path("out")), "new");
  EXPECT_EQ(resourceFork(path("out")), "");
  EXPECT_EQ(finderInfo(path("out")), "");
}

TEST_F(BinHexTest, MissingSourceAnswers2AndCreatesNothing) {
  EXPECT_EQ(convert("ZUV_File2BinHex", path("missing"), path("a.hqx")), 2);
  EXPECT_EQ(convert("ZUV_BinHex2File", path("missing"), path("a")), 2);
  EXPECT_EQ(listing(), "");
}

TEST_F(BinHexTest, AForkThatShrinksWhileEncodedAnswers7AndLeavesNoDestination) {
  // Another 4D process shortens the file at the encoder's first turn: the text would no longer
  // match its header, so there is none.
  const std::string data = randomBytes(200000, 13);
  for (const char* which : {"data", "resource"}) {
    SCOPED_TRACE(which);
    const bool dataFork = std::string(which) == "data";
    write("f", dataFork ? data : "x");
    if (!dataFork) setResourceFork(path("f"), data);
    emu.onYield(1, 1, [&] {
      if (dataFork) {
        ASSERT_EQ(::truncate(path("f").c_str(), 1000), 0);
      } else {
        setResourceFork(path("f"), "short");
      }
    });
    EXPECT_EQ(convert("ZUV_File2BinHex", path("f"), path("f.hqx")), -7);
    EXPECT_FALSE(exists(path("f.hqx")));
    shell("rm -f f ._f");
  }
}

}  // namespace
}  // namespace zuvtest
