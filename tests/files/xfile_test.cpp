// Files named by 4D paths: open, stat and remove by UTF-16 paths (the removal takes the Finder
// information and resource fork along), fork sizes, colon paths, the length-limited names of file
// headers, Finder information in both byte orders, and the codes of the read and write helpers.

#include "files/xfile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/plugin_test.h"
#include "support/temp_folder.h"

namespace zuvtest {
namespace {

icu::UnicodeString unicode(const std::string& utf8) { return icu::UnicodeString::fromUTF8(utf8); }

std::string utf8Of(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

class XFileTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_TRUE(files.made());
  }
  std::string file(const std::string& name, const std::string& contents) {
    const std::string path = folder + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  TempFolder files{"zuv-xfile"};
  std::string folder = files.name();
};

// ---- Open, stat, remove ---------------------------------------------------------------------

TEST_F(XFileTest, OpensStatsAndRemovesFilesByUnicodePaths) {
  const std::string path = file("\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt", "twelve bytes");
  emu.run(1, [&] {
    FILE* f = xfile::fopen(unicode(path), "rb");
    ASSERT_NE(f, nullptr);
    char buffer[6] = {};
    EXPECT_EQ(freadData(buffer, 6, f), 0);
    EXPECT_EQ(std::string(buffer, 6), "twelve");
    std::fclose(f);
    struct stat st;
    EXPECT_EQ(xfile::stat(unicode(path), st), 0);
    EXPECT_EQ(st.st_size, 12);
    EXPECT_EQ(xfile::remove(unicode(path)), 0);
    EXPECT_FALSE(exists(path));
  });
}

TEST_F(XFileTest, MissingFilesAnswerFailureWithErrno) {
  const std::string missing = folder + "/missing";
  emu.run(1, [&] {
    errno = 0;
    EXPECT_EQ(xfile::fopen(unicode(missing), "rb"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    struct stat st;
    EXPECT_EQ(xfile::stat(unicode(missing), st), -1);
    EXPECT_EQ(xfile::remove(unicode(missing)), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(xfile::fopen(icu::UnicodeString(), "rb"), nullptr) << "an empty path";
  });
}

TEST_F(XFileTest, RemovingAFileThatIsNotRegularLeavesTheNameBesideIt) {
  const std::string pipe = folder + "/pipe";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const std::string beside = file("._pipe", "somebody's notes");
  emu.run(1, [&] {
    EXPECT_EQ(xfile::remove(unicode(pipe)), 0);
    EXPECT_FALSE(exists(pipe));
    EXPECT_TRUE(exists(beside));
  });
}

TEST_F(XFileTest, RemovingAFileRemovesItsFinderInfoAndResourceFork) {
  const std::string path = file("forked", "data");
  emu.run(1, [&] {
    ASSERT_EQ(platform::setAttribute(path.c_str(), kResourceForkAttr, "fork", 4, 0), 0);
    ASSERT_TRUE(exists(folder + "/._forked"));
    EXPECT_EQ(xfile::remove(unicode(path)), 0);
    EXPECT_FALSE(exists(path));
    EXPECT_FALSE(exists(folder + "/._forked"));
  });
}

// ---- Sizes ----------------------------------------------------------------------------------

TEST_F(XFileTest, FileSizesGiveTheDataForkAndTheResourceFork) {
  const std::string path = file("sized", "0123456789");
  emu.run(1, [&] {
    int64_t data = -1;
    int64_t resource = -1;
    EXPECT_TRUE(getFileSize(unicode(path), data));
    EXPECT_EQ(data, 10);
    EXPECT_TRUE(getFileSizes(unicode(path), data, resource));
    EXPECT_EQ(resource, 0) << "no fork is size 0, not a failure";
    const std::string fork(3000, 'r');
    ASSERT_EQ(platform::setAttribute(path.c_str(), kResourceForkAttr, fork.data(), fork.size(), 0),
              0);
    EXPECT_TRUE(getFileSizes(unicode(path), data, resource));
    EXPECT_EQ(data, 10);
    EXPECT_EQ(resource, 3000);
  });
}

TEST_F(XFileTest, SizesOfAMissingFileLeaveTheDataSizeAndZeroTheResourceSize) {
  emu.run(1, [&] {
    int64_t data = 77;
    int64_t resource = 88;
    EXPECT_FALSE(getFileSize(unicode(folder + "/none"), data));
    EXPECT_EQ(data, 77);
    EXPECT_FALSE(getFileSizes(unicode(folder + "/none"), data, resource));
    EXPECT_EQ(data, 77);
    EXPECT_EQ(resource, 0);
  });
}

// ---- Paths ----------------------------------------------------------------------------------

TEST_F(XFileTest, ConvertToPlatformPathTurnsColonPathsIntoPosixPaths) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/local/file.txt", "/usr/local/file.txt"},  // POSIX: unchanged
      {"relative/file", "relative/file"},
      {"Macintosh HD:Users:me:file.txt", "/Users/me/file.txt"},
      {"Macintosh HD:Users:me:", "/Users/me"},  // a folder
      {":sub:file", "sub/file"},
      {"file.txt", "file.txt"},  // a bare name goes through the path service unchanged
      {"Disk:a/b", "/a:b"},
      {"/data/a:b", "/data/a:b"},  // a Linux name with ':' in a POSIX path
      {"/", "/"},
  };
  emu.run(1, [&] {
    for (const auto& c : cases) {
      icu::UnicodeString path = unicode(c.first);
      EXPECT_TRUE(convertToPlatformPath(path)) << c.first;
      EXPECT_EQ(utf8Of(path), c.second) << c.first;
    }
  });
}

TEST_F(XFileTest, ConvertToPlatformPathLeavesAPathItCannotConvertUnchanged) {
  emu.run(1, [&] {
    icu::UnicodeString empty;
    EXPECT_FALSE(convertToPlatformPath(empty));
    EXPECT_TRUE(empty.isEmpty());
    // No UTF-8 path holds an unpaired surrogate, a POSIX one no more than a colon one.
    for (const char* start : {"Disk:a", "/tmp/a"}) {
      icu::UnicodeString broken = unicode(start);
      broken.append(static_cast<UChar>(0xD800));
      const icu::UnicodeString before = broken;
      EXPECT_FALSE(convertToPlatformPath(broken)) << start;
      EXPECT_EQ(broken, before);
    }
  });
}

// A component ".." would climb out of the folder the path names, and a U+0000 would cut the C
// path short so that the file calls name another file: neither can be converted.
TEST_F(XFileTest, ConvertToPlatformPathRefusesParentComponentsAndZeroUnits) {
  const std::u16string refused[] = {u":..:etc:passwd",
                                    u"Disk:tmp:..:etc",
                                    u"..",
                                    u"Disk:..:",
                                    std::u16string(u"/tmp/a\0b", 8),
                                    std::u16string(u"Disk:a\0:b", 9)};
  emu.run(1, [&] {
    for (const std::u16string& units : refused) {
      icu::UnicodeString path(units.data(), static_cast<int32_t>(units.size()));
      const icu::UnicodeString before = path;
      EXPECT_FALSE(convertToPlatformPath(path)) << utf8Of(before);
      EXPECT_EQ(path, before);
    }
    icu::UnicodeString dots = unicode("Disk:a..b:...:.x");
    EXPECT_TRUE(convertToPlatformPath(dots));
    EXPECT_EQ(utf8Of(dots), "/a..b/.../.x");
  });
}

TEST_F(XFileTest, APathHoldingAZeroUnitNamesNoFile) {
  const std::string shortName = file("short", "not to be touched");
  std::u16string units = u"";
  for (char c : shortName) units.push_back(static_cast<char16_t>(c));
  units.push_back(0);
  units += u"tail";
  const icu::UnicodeString path(units.data(), static_cast<int32_t>(units.size()));
  emu.run(1, [&] {
    errno = 0;
    EXPECT_EQ(xfile::fopen(path, "rb"), nullptr);
    EXPECT_EQ(errno, EINVAL);
    struct stat st;
    EXPECT_EQ(xfile::stat(path, st), -1);
    EXPECT_EQ(xfile::remove(path), -1);
    int64_t size = -5;
    EXPECT_FALSE(getFileSize(path, size));
    EXPECT_EQ(size, -5);
  });
  EXPECT_TRUE(exists(shortName));
}

struct TruncateCase {
  const char* name;
  std::string path;
  int max;
  std::string expected;
};

std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

// A cut never splits a UTF-8 character: the name then stays shorter than the limit.
TEST(TruncateFilenameTest, NamesAreCutToTheLimitKeepingTheirExtensionWhenTheyCan) {
  const std::string name66(66, 'n');
  const std::string name15(15, 'm');
  const std::string name300(300, 'x');
  const TruncateCase cases[] = {
      {"70 bytes, max 63, extension of 4", "/dir/" + name66 + ".txt", 63,
       std::string(58, 'n') + "-.txt"},
      {"30 bytes, max 20, extension of 15", name15 + "." + std::string(14, 'e'), 20,
       (name15 + "." + std::string(14, 'e')).substr(0, 20)},
      {"300 bytes, no dot, no limit", "/a/" + name300, -1, std::string(255, 'x')},
      {"300 bytes with a dot, no limit", name300 + ".bin", -1, std::string(255, 'x')},
      {"shorter than max", "/some/where/short.txt", 63, "short.txt"},
      {"trailing slash", "/some/folder/", 63, "folder"},
      {"max 0", "/a/name", 0, ""},
      {"exactly max", "/a/" + std::string(63, 'q'), 63, std::string(63, 'q')},
      {"p of exactly 9", std::string(30, 'k') + ".ext", 13, std::string(8, 'k') + "-.ext"},
      {"p of 8", std::string(30, 'k') + ".ext", 12, std::string(12, 'k')},
      {"past the 1024-byte buffer", std::string(2000, 'z'), -1, std::string(255, 'z')},
      {"a cut inside a character", repeated("\xc3\xa9", 40), 63, repeated("\xc3\xa9", 31)},
      {"a cut inside a character before the extension", repeated("\xc3\xa9", 40) + ".text", 63,
       repeated("\xc3\xa9", 28) + "-.text"},
      {"a cut inside a character of four bytes", "a" + repeated("\xf0\x9f\x98\x80", 20), 63,
       "a" + repeated("\xf0\x9f\x98\x80", 15)},
      {"bytes that are no UTF-8 are cut where they stand", std::string(70, '\xe9'), 63,
       std::string(63, '\xe9')},
  };
  for (const TruncateCase& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t name[257];
    std::memset(name, 0xEE, sizeof name);
    const int n = truncateFilename(c.path.c_str(), name, c.max);
    EXPECT_EQ(n, static_cast<int>(c.expected.size()));
    EXPECT_EQ(name[0], c.expected.size());
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name + 1), name[0]), c.expected);
    const size_t limit = c.max < 0 ? 256 : static_cast<size_t>(c.max) + 1;
    for (size_t i = limit; i < sizeof name; ++i) ASSERT_EQ(name[i], 0xEE) << "written past max";
  }
}

// ---- Finder information ---------------------------------------------------------------------

TEST_F(XFileTest, FinderInfoIsStoredBigEndianAndReadInEitherOrder) {
  const std::string path = file("typed", "");
  emu.run(1, [&] {
    FILE* f = xfile::fopen(unicode(path), "r+b");
    ASSERT_NE(f, nullptr);
    FinderInfo info{0x54455854, 0x74747874, 0x0120};  // 'TEXT', 'ttxt'
    EXPECT_EQ(setFinderInfo(info, f, kByteOrderNative), 0);
    EXPECT_EQ(+info.type, 0x54455854u) << "info is left as given";
    std::fclose(f);

    unsigned char raw[32];
    ASSERT_EQ(platform::getAttribute(path.c_str(), kFinderInfoAttr, raw, 32, 0), 32);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw), 8), "TEXTttxt");
    EXPECT_EQ(raw[8], 0x01);
    EXPECT_EQ(raw[9], 0x20);
    for (int i = 10; i < 32; ++i) EXPECT_EQ(raw[i], 0);

    FinderInfo native{};
    EXPECT_TRUE(getFinderInfo(unicode(path), native, kByteOrderNative));
    EXPECT_EQ(+native.type, 0x54455854u);
    EXPECT_EQ(+native.creator, 0x74747874u);
    EXPECT_EQ(+native.flags, 0x0120);
    FinderInfo bigEndian{};
    EXPECT_TRUE(getFinderInfo(unicode(path), bigEndian, kByteOrderBigEndian));
    EXPECT_EQ(std::memcmp(&bigEndian, raw, 10), 0) << "the bytes as the attribute holds them";
  });
}

TEST_F(XFileTest, AllZeroFinderInfoWritesNothing) {
  const std::string path = file("plain", "x");
  emu.run(1, [&] {
    FILE* f = xfile::fopen(unicode(path), "rb");
    ASSERT_NE(f, nullptr);
    FinderInfo zero{0, 0, 0};
    EXPECT_EQ(setFinderInfo(zero, f, kByteOrderBigEndian), 0);
    std::fclose(f);
    EXPECT_FALSE(exists(folder + "/._plain"));
    FinderInfo untouched{1, 2, 3};
    EXPECT_FALSE(getFinderInfo(unicode(path), untouched, kByteOrderNative));
    EXPECT_EQ(+untouched.type, 1u);
    EXPECT_EQ(+untouched.flags, 3);
  });
}

// ---- Reads and writes -----------------------------------------------------------------------

TEST_F(XFileTest, FreadDataAnswersMinus7WhenTheFileEndsEarly) {
  const std::string path = file("short", "0123456789abcdef");
  emu.run(1, [&] {
    FILE* f = xfile::fopen(unicode(path), "rb");
    ASSERT_NE(f, nullptr);
    char buffer[16];
    EXPECT_EQ(freadData(buffer, 12, f), 0);
    EXPECT_EQ(freadData(buffer, 10, f), kFileEndedEarly) << "10 bytes wanted, 4 left";
    EXPECT_EQ(std::string(buffer, 4), "cdef");
    std::fclose(f);
  });
}

TEST_F(XFileTest, ReadsAndWritesOnTheWrongKindOfStreamAnswerErrno) {
  const std::string path = file("stream", "abc");
  emu.run(1, [&] {
    FILE* reading = xfile::fopen(unicode(path), "rb");
    ASSERT_NE(reading, nullptr);
    EXPECT_EQ(fwriteData("xyz", 3, reading), EBADF);
    std::fclose(reading);
    FILE* writing = xfile::fopen(unicode(path), "ab");
    ASSERT_NE(writing, nullptr);
    char buffer[3];
    EXPECT_EQ(freadData(buffer, 3, writing), EBADF);
    std::clearerr(writing);
    EXPECT_EQ(fwriteData("def", 3, writing), 0);
    EXPECT_EQ(std::fclose(writing), 0);
    int64_t size = 0;
    EXPECT_TRUE(getFileSize(unicode(path), size));
    EXPECT_EQ(size, 6);
  });
}

}  // namespace
}  // namespace zuvtest
