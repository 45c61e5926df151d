// The picture commands through FourDPackex: ZUV_PictureInfo, ZUV_Picture2File,
// ZUV_File2Picture, ZUV_Picture2Blob and ZUV_Blob2Picture, on pictures of each format made here
// from bytes written by the test (a PNG header, a GIF screen, a JPEG frame, a BMP header and data
// of no known signature), with their sizes and type codes, the byte ranges, the extensions and
// the 512-byte header rule.

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "support/plugin_test.h"
#include "support/temp_folder.h"

namespace zuvtest {
namespace {

std::string bigEndian(uint32_t value, int bytes) {
  std::string out;
  for (int i = bytes - 1; i >= 0; --i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

std::string littleEndian(uint32_t value, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
  return out;
}

// Picture files whose headers say width and height, followed by `padding` bytes of pattern so
// that ranges have something to cut.
std::string pattern(size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += static_cast<char>(i * 7 + 3);
  return out;
}

std::string png(uint32_t width, uint32_t height, size_t padding = 100) {
  return std::string("\x89PNG\r\n\x1a\n", 8) + bigEndian(13, 4) + "IHDR" + bigEndian(width, 4) +
         bigEndian(height, 4) + std::string("\x08\x02\x00\x00\x00", 5) + pattern(padding);
}

std::string gif(int width, int height, size_t padding = 100) {
  return "GIF89a" + littleEndian(width, 2) + littleEndian(height, 2) + pattern(padding);
}

std::string jpeg(int width, int height, size_t padding = 100) {
  // SOI, an APP0 segment to skip, then a baseline frame header: length, precision, height, width.
  return std::string("\xFF\xD8\xFF\xE0", 4) + bigEndian(4, 2) + "JF" + std::string("\xFF\xC0", 2) +
         bigEndian(11, 2) + "\x08" + bigEndian(height, 2) + bigEndian(width, 2) +
         std::string("\x01\x01\x11\x00", 4) + pattern(padding);
}

std::string bmp(int width, int height) {
  return "BM" + std::string(16, '\0') + littleEndian(width, 4) + littleEndian(height, 4) +
         pattern(40);
}

// An OS/2 1.x bitmap: a 12-byte header whose width and height are 16-bit, the planes after them.
std::string os2Bmp(int width, int height) {
  return "BM" + std::string(12, '\0') + littleEndian(12, 4) + littleEndian(width, 2) +
         littleEndian(height, 2) + littleEndian(1, 2) + littleEndian(24, 2) + pattern(12);
}

Picture pictureOf(const std::string& type, const std::string& bytes) {
  Picture picture;
  picture.formats.push_back({type, bytes});
  return picture;
}

Picture nullPicture() {
  Picture picture;
  picture.null = true;
  return picture;
}

class PicturesTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_TRUE(files.made());
    folder = files.name();
  }
  std::string path(const std::string& name) const { return files.path(name); }
  std::string write(const std::string& name, const std::string& bytes) {
    return files.write(name, bytes);
  }
  static std::string read(const std::string& file) { return TempFolder::read(file); }
  static bool exists(const std::string& file) {
    struct stat st;
    return ::stat(file.c_str(), &st) == 0;
  }
  int64_t save(const Picture& picture, const std::string& file, int64_t first = 0, int64_t end = 0,
               int64_t header = 0) {
    return run("ZUV_Picture2File", {picture, txt(file), num(first), num(end), num(header)})
        .number();
  }
  Picture load(const std::string& file, int64_t first = 0, int64_t end = 0, int64_t skip = 0) {
    return std::get<Picture>(
        run("ZUV_File2Picture", {txt(file), num(first), num(end), num(skip)}).result);
  }

  TempFolder files{"zuv-pictures"};
  std::string folder;
};

// ---- ZUV_PictureInfo ---------------------------------------------------------------------------

struct InfoCase {
  const char* name;
  std::string type;
  std::string bytes;
  int64_t typeCode;
  int64_t width;
  int64_t height;
};

TEST_F(PicturesTest, InfoGivesTheSizeTheTypeCodeAndTheDataLength) {
  const InfoCase cases[] = {
      {"png", ".png;image/png", png(640, 480), 4, 640, 480},
      {"gif", ".gif;image/gif", gif(17, 9), 1, 17, 9},
      {"jpeg", ".jpg;image/jpeg", jpeg(1024, 768), 2, 1024, 768},
      {"pict", ".pict;image/pict", pattern(300), 0, 0, 0},
      // Formats the four patterns do not know report -1.
      {"tiff", ".tif;image/tiff", "II*" + std::string(1, '\0') + pattern(20), -1, 0, 0},
      {"bmp", ".bmp;image/bmp", bmp(33, 44), -1, 33, 44},
  };
  for (const InfoCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome info =
        run("ZUV_PictureInfo", {pictureOf(c.type, c.bytes), num(7), num(7), {}, {}, num(99)});
    EXPECT_EQ(info.number(), static_cast<int64_t>(c.bytes.size()));
    EXPECT_EQ(info.number(2), 0);
    EXPECT_EQ(info.number(3), 0);
    EXPECT_EQ(info.number(4), c.height);
    EXPECT_EQ(info.number(5), c.width);
    EXPECT_EQ(info.number(6), c.typeCode);
  }
}

// A header whose width or height no longint holds tells no size (a PNG's 2^31 and more, a BMP's
// height of -2^31, whose magnitude is 2^31); a BMP stored top down has a negative height.
TEST_F(PicturesTest, InfoGivesNoSizeThatNoLongintHolds) {
  const InfoCase cases[] = {
      {"png 2^31 wide", ".png;image/png", png(0x80000000u, 5), 4, 0, 0},
      {"png 2^32-1 high", ".png;image/png", png(7, 0xFFFFFFFFu), 4, 0, 0},
      {"png 2^31-1 wide", ".png;image/png", png(0x7FFFFFFF, 5), 4, 0x7FFFFFFF, 5},
      {"bmp -2^31 high", ".bmp;image/bmp", bmp(33, INT32_MIN), -1, 0, 0},
      {"bmp top down", ".bmp;image/bmp", bmp(33, -44), -1, 33, 44},
      {"bmp -2^31+1 high", ".bmp;image/bmp", bmp(1, INT32_MIN + 1), -1, 1, INT32_MAX},
      {"bmp negative width", ".bmp;image/bmp", bmp(-3, 4), -1, 0, 0},
  };
  for (const InfoCase& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome info = run("ZUV_PictureInfo", {pictureOf(c.type, c.bytes), {}, {}, {}, {}, {}});
    EXPECT_EQ(info.number(4), c.height);
    EXPECT_EQ(info.number(5), c.width);
    EXPECT_EQ(info.number(6), c.typeCode);
  }
}

// An OS/2 bitmap's 12-byte header holds its size in two 16-bit fields, where the later headers'
// 32-bit fields would read the planes and the bit count into the height.
TEST_F(PicturesTest, AnOs2BitmapGivesItsSixteenBitSize) {
  for (auto [width, height] : {std::pair{300, 200}, std::pair{65535, 1}}) {
    Outcome info = run("ZUV_PictureInfo",
                       {pictureOf(".bmp;image/bmp", os2Bmp(width, height)), {}, {}, {}, {}, {}});
    EXPECT_EQ(info.number(4), height) << width;
    EXPECT_EQ(info.number(5), width) << width;
  }
}

// The host types the bytes a BLOB or a file gives by their signature: a PICT has its version
// opcode at offset 10 (522 in a file with its 512-byte header), and bytes of no format the host
// knows are no PICT: their type code is -1.
TEST_F(PicturesTest, BytesOfNoKnownFormatAreNoPict) {
  const std::string v1 = std::string(10, '\0') + "\x11\x01" + pattern(30);
  const std::string v2 = std::string(10, '\0') + std::string("\0\x11\x02\xFF", 4) + pattern(30);
  const struct {
    const char* name;
    std::string bytes;
    int64_t typeCode;
  } cases[] = {
      {"pict 1", v1, 0},
      {"pict 2", v2, 0},
      {"pict file", std::string(512, '\0') + v2, 0},
      {"text", "plain words, no picture", -1},
      {"pattern", pattern(300), -1},
      {"png", png(2, 3), 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Outcome made = run("ZUV_Blob2Picture", {blob(c.bytes), num(0)});
    Outcome info = run("ZUV_PictureInfo", {made.result, {}, {}, {}, {}, num(99)});
    EXPECT_EQ(info.number(), static_cast<int64_t>(c.bytes.size()));
    EXPECT_EQ(info.number(6), c.typeCode);
    Picture loaded = load(write("f", c.bytes));
    EXPECT_EQ(run("ZUV_PictureInfo", {loaded, {}, {}, {}, {}, num(99)}).number(6), c.typeCode);
  }
}

// Nothing to read gives no picture, which ZUV_PictureInfo tells from an empty one (-1, not 0);
// an empty BLOB with a handle gives the empty picture.
TEST_F(PicturesTest, NothingToReadGivesNoPictureAndAnEmptyBlobAnEmptyOne) {
  const Value noPicture[] = {
      load(write("empty", "")),
      load(write("header", std::string(512, '\0')), 0, 0, 1),
      run("ZUV_Blob2Picture", {noHandleBlob(), num(0)}).result,
  };
  for (const Value& picture : noPicture) {
    EXPECT_EQ(run("ZUV_PictureInfo", {picture, {}, {}, {}, {}, {}}).number(), -1);
  }
  Outcome empty = run("ZUV_Blob2Picture", {blob(""), num(0)});
  EXPECT_EQ(run("ZUV_PictureInfo", {empty.result, {}, {}, {}, {}, num(99)}).number(), 0);
}

TEST_F(PicturesTest, InfoWithoutAPictureOrWithoutDataWritesLittle) {
  Outcome none = run("ZUV_PictureInfo", {nullPicture(), num(7), num(7), num(7), num(7), num(99)});
  EXPECT_EQ(none.number(), -1);
  EXPECT_EQ(none.number(6), 99);
  Outcome empty = run("ZUV_PictureInfo", {Picture{}, num(7), num(7), num(7), num(7), num(99)});
  EXPECT_EQ(empty.number(), 0);
  EXPECT_EQ(empty.number(2), 0);
  EXPECT_EQ(empty.number(6), 99);
}

TEST_F(PicturesTest, OnlyTheFirstFormatCounts) {
  Picture twoFormats;
  twoFormats.formats.push_back({".pict;image/pict", pattern(10)});
  twoFormats.formats.push_back({".png;image/png", png(5, 6)});
  Outcome info = run("ZUV_PictureInfo", {twoFormats});
  EXPECT_EQ(info.number(), 10);
  EXPECT_EQ(info.number(6), 0);
  Outcome blob = run("ZUV_Picture2Blob", {twoFormats});
  EXPECT_EQ(std::get<Blob>(blob.result).bytes, pattern(10));
}

// ---- ZUV_Picture2File and ZUV_File2Picture ----------------------------------------------------

struct RangeCase {
  int64_t first;
  int64_t end;
  size_t from;
  size_t to;  // exclusive
};

TEST_F(PicturesTest, SavedRangesFollowTheOffsetRules) {
  const std::string bytes = png(3, 4, 200);
  const size_t n = bytes.size();
  const RangeCase cases[] = {
      {0, 0, 0, n},
      {10, 20, 10, 20},
      {20, 10, 0, n},  // nothing between them: all of it
      {static_cast<int64_t>(n), 0, 0, n},
      {static_cast<int64_t>(n) + 5, 0, 0, n},
      {-5, 20, 0, 20},
      {3, static_cast<int64_t>(n) + 100, 3, n},
      {0, -1, 0, n},
  };
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << ".." << c.end);
    EXPECT_EQ(save(pictureOf(".png;image/png", bytes), path("r.png"), c.first, c.end), 0);
    EXPECT_EQ(read(path("r.png")), bytes.substr(c.from, c.to - c.from));
    Picture loaded = load(write("in.bin", bytes), c.first, c.end);
    ASSERT_EQ(loaded.formats.size(), 1u);
    EXPECT_EQ(loaded.formats[0].bytes, bytes.substr(c.from, c.to - c.from));
  }
}

struct ExtensionCase {
  std::string type;
  std::string given;
  std::string written;
};

TEST_F(PicturesTest, TheExtensionOfTheTypeIsAddedUnlessThePathEndsWithIt) {
  const ExtensionCase cases[] = {
      {".png;image/png", "photo", "photo.png"},
      {".png;image/png", "photo.png", "photo.png"},
      {".png;image/png", "photo.PNG", "photo.PNG.png"},
      {".gif;image/gif", "anim", "anim.gif"},
      {".jpg;image/jpeg", "shot.jpg", "shot.jpg"},
      {".pict;image/pict", "old.pict", "old.pict"},
      // A type none of the patterns match always gets ".pict".
      {".tif;image/tiff", "x.pict", "x.pict.pict"},
      {".bmp;image/bmp", "y", "y.pict"},
  };
  for (const ExtensionCase& c : cases) {
    SCOPED_TRACE(c.given + " as " + c.type);
    EXPECT_EQ(save(pictureOf(c.type, "data of " + c.type), path(c.given)), 0);
    EXPECT_EQ(read(path(c.written)), "data of " + c.type);
    std::remove(path(c.written).c_str());
  }
}

TEST_F(PicturesTest, AColonPathNamesTheSameFile) {
  std::string colon = folder.substr(1);
  for (char& c : colon) c = c == '/' ? ':' : c;
  EXPECT_EQ(save(pictureOf(".gif;image/gif", gif(1, 1)), "root:" + colon + ":c"), 0);
  EXPECT_EQ(read(path("c.gif")), gif(1, 1));
}

TEST_F(PicturesTest, The512ByteHeaderIsWrittenZeroAndDroppedOnReading) {
  const std::string bytes = jpeg(8, 8, 1000);
  ASSERT_EQ(save(pictureOf(".jpg;image/jpeg", bytes), path("h"), 0, 0, 1), 0);
  const std::string file = read(path("h.jpg"));
  ASSERT_EQ(file.size(), bytes.size() + 512);
  EXPECT_EQ(file.substr(0, 512), std::string(512, '\0'));
  EXPECT_EQ(file.substr(512), bytes);
  Picture back = load(path("h.jpg"), 0, 0, 1);
  ASSERT_EQ(back.formats.size(), 1u);
  EXPECT_EQ(back.formats[0].type, ".jpg;image/jpeg");
  EXPECT_EQ(back.formats[0].bytes, bytes);
  // Only 1 counts as asking for the header.
  EXPECT_EQ(save(pictureOf(".jpg;image/jpeg", bytes), path("n"), 0, 0, 2), 0);
  EXPECT_EQ(read(path("n.jpg")), bytes);
}

TEST_F(PicturesTest, AHeaderRangeOf512BytesOrLessGivesNoPicture) {
  for (size_t n : {0u, 100u, 511u, 512u}) {
    SCOPED_TRACE(n);
    EXPECT_TRUE(load(write("short", std::string(n, 'x')), 0, 0, 1).null);
  }
  Picture one = load(write("one", std::string(512, '\0') + "z"), 0, 0, 1);
  ASSERT_EQ(one.formats.size(), 1u);
  EXPECT_EQ(one.formats[0].bytes, "z");
  // The header is dropped from the range, not from the file.
  Picture ranged = load(write("ranged", "abc" + std::string(512, '\0') + "defg"), 3, 517, 1);
  ASSERT_EQ(ranged.formats.size(), 1u);
  EXPECT_EQ(ranged.formats[0].bytes, "de");
}

TEST_F(PicturesTest, FilesThatCannotBeReadGiveNoPicture) {
  EXPECT_TRUE(load(path("missing")).null);
  EXPECT_TRUE(load(write("empty", "")).null);
  EXPECT_TRUE(load("").null);
  EXPECT_TRUE(load(folder).null);
  Picture gifFile = load(write("g", gif(2, 3)));
  ASSERT_EQ(gifFile.formats.size(), 1u);
  EXPECT_EQ(gifFile.formats[0].type, ".gif;image/gif");
}

TEST_F(PicturesTest, SavingWithoutPictureDataOrPlaceAnswersACode) {
  EXPECT_EQ(save(nullPicture(), path("a")), -1);
  EXPECT_EQ(save(Picture{}, path("b")), -1);
  EXPECT_EQ(save(pictureOf(".png;image/png", png(1, 1)), ""), -1);
  EXPECT_EQ(save(pictureOf(".png;image/png", png(1, 1)), path("no/such/folder/c")), ENOENT);
  EXPECT_FALSE(exists(path("a.pict")));
  EXPECT_FALSE(exists(path("b.pict")));
  // The host gives no handle for the data.
  emu.refuse(host::Refusal::NewHandle, 1);
  EXPECT_EQ(save(pictureOf(".png;image/png", png(1, 1)), path("d")), -1);
  EXPECT_FALSE(exists(path("d.png")));
}

TEST_F(PicturesTest, SavingIntoAFullDeviceAnswersItsErrno) {
  if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(::symlink("/dev/full", path("full.png").c_str()), 0);
  EXPECT_EQ(save(pictureOf(".png;image/png", png(1, 1)), path("full.png")), ENOSPC);
}

// ---- ZUV_Picture2Blob and ZUV_Blob2Picture ----------------------------------------------------

TEST_F(PicturesTest, BlobsHoldThePictureDataAndGiveItBack) {
  const std::string bytes = png(12, 34);
  Outcome toBlob = run("ZUV_Picture2Blob", {pictureOf(".png;image/png", bytes)});
  EXPECT_EQ(std::get<Blob>(toBlob.result).bytes, bytes);
  EXPECT_FALSE(std::get<Blob>(run("ZUV_Picture2Blob", {nullPicture()}).result).hasHandle);
  EXPECT_FALSE(std::get<Blob>(run("ZUV_Picture2Blob", {Picture{}}).result).hasHandle);

  Outcome kept = run("ZUV_Blob2Picture", {blob(bytes), num(0)});
  Picture picture = std::get<Picture>(kept.result);
  ASSERT_EQ(picture.formats.size(), 1u);
  EXPECT_EQ(picture.formats[0].type, ".png;image/png");
  EXPECT_EQ(picture.formats[0].bytes, bytes);
  EXPECT_EQ(kept.blob(1).bytes, bytes);

  Outcome emptied = run("ZUV_Blob2Picture", {blob(gif(1, 2)), num(3)});
  EXPECT_EQ(std::get<Picture>(emptied.result).formats.at(0).bytes, gif(1, 2));
  EXPECT_TRUE(emptied.blob(1).hasHandle);
  EXPECT_EQ(emptied.blob(1).bytes, "");
  // Bit 0 only.
  Outcome even = run("ZUV_Blob2Picture", {blob(gif(1, 2)), num(2)});
  EXPECT_EQ(even.blob(1).bytes, gif(1, 2));

  EXPECT_TRUE(std::get<Picture>(run("ZUV_Blob2Picture", {noHandleBlob(), num(1)}).result).null);
}

TEST_F(PicturesTest, APictureTheHostRefusesToMakeGivesNone) {
  emu.refuse(host::Refusal::NewPicture, 1);
  EXPECT_TRUE(std::get<Picture>(run("ZUV_Blob2Picture", {blob("abc"), num(0)}).result).null);
  emu.refuse(host::Refusal::NewPicture, 1);
  EXPECT_TRUE(load(write("p", "abc")).null);
}

}  // namespace
}  // namespace zuvtest
