// gzip files through ZUV_File2Gzip and ZUV_Gzip2File, checked against GNU gzip (gzip -t, gzip
// -dc, its own compression and multi-member files) and Python's zlib, whose deflate at the same
// level gives the same bytes; input that is no gzip, endless or cut is refused as gzip -d refuses
// it, leaving nothing behind.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include "files/file_conversion_fixture.h"

namespace zuvtest {
namespace {

class GzipTest : public FileConversionTest {};

// Some text, some noise: compressible but not trivially.
std::string sample(size_t n) {
  std::string text;
  while (text.size() < n / 2) text += "The quick brown fox jumps over the lazy dog. ";
  text.resize(n / 2);
  return text + randomBytes(n - n / 2, 7);
}

TEST_F(GzipTest, CompressesAtTheGivenLevelWhatGnuGzipReads) {
  const std::string contents = sample(300000);
  write("in", contents);
  // Levels outside 1..9 compress at 6.
  const int levels[][2] = {{1, 1}, {5, 5}, {6, 6}, {9, 9}, {0, 6}, {-1, 6}, {10, 6}};
  for (const auto& [level, effective] : levels) {
    SCOPED_TRACE(level);
    ASSERT_EQ(convert("ZUV_File2Gzip", path("in"), path("in.gz"), level), 0);
    int status = -1;
    shell("gzip -t in.gz", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(shell("gzip -dc in.gz"), contents);
    // zlib's header (no time, no name, Unix) and the deflate bytes of that level.
    const std::string python =
        "import zlib,sys\n"
        "d=open('in','rb').read(); g=open('in.gz','rb').read()\n"
        "c=zlib.compressobj(" +
        std::to_string(effective) +
        ", zlib.DEFLATED, -15, 8)\n"
        "body=c.compress(d)+c.flush()\n"
        "print(g[:4].hex(), g[4:8].hex(), g[8], g[9], g[10:-8]==body)\n";
    write("check.py", python);
    const int xfl = effective == 1 ? 4 : effective == 9 ? 2 : 0;
    EXPECT_EQ(shell("/usr/bin/python3 check.py"),
              "1f8b0800 00000000 " + std::to_string(xfl) + " 3 True\n");
  }
}

TEST_F(GzipTest, ExpandsGnuGzipOutputMultipleMembersIncluded) {
  const std::string first = sample(100000);
  const std::string second = randomBytes(70001, 3);
  write("a", first);
  write("b", second);
  shell("gzip -9 -c a > ab.gz && gzip -1 -c b >> ab.gz && gzip -c a > a.gz");
  ASSERT_EQ(convert("ZUV_Gzip2File", path("ab.gz"), path("ab")), 0);
  EXPECT_EQ(read(path("ab")), first + second);
  ASSERT_EQ(convert("ZUV_Gzip2File", path("a.gz"), path("a2")), 0);
  EXPECT_EQ(read(path("a2")), first);
}

TEST_F(GzipTest, EmptyFilesMakeEmptyFiles) {
  write("empty", "");
  ASSERT_EQ(convert("ZUV_File2Gzip", path("empty"), path("empty.gz"), 6), 0);
  EXPECT_EQ(shell("gzip -dc empty.gz | wc -c"), "0\n");
  ASSERT_EQ(convert("ZUV_Gzip2File", path("empty.gz"), path("empty2")), 0);
  EXPECT_EQ(read(path("empty2")), "");
}

TEST_F(GzipTest, InputThatIsNotGzipAnswersItsOwnCodeAndWritesNothing) {
  // As gzip -d refuses them: no gzip header, or only its first byte.
  write("out", "kept");
  const std::pair<const char*, std::string> cases[] = {
      {"plain text", "plain text, no gzip header"},
      {"an empty file", ""},
      {"the first byte of a header", "\x1f"},
      {"a zlib stream", "\x78\x9c\x03\x00\x00\x00\x00\x01"},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    write("in", bytes);
    int status = -1;
    shell("gzip -dc < in > /dev/null 2>&1", &status);
    EXPECT_NE(status, 0);
    EXPECT_EQ(convert("ZUV_Gzip2File", path("in"), path("out")), -14);
    EXPECT_EQ(read(path("out")), "kept");
    EXPECT_EQ(listing(), "in out ");
  }
}

TEST_F(GzipTest, ASourceThatIsNotARegularFileIsReadOnlyAsFarAsItsGzipStreamGoes) {
  // /dev/zero and a pipe that never ends hold no gzip header: refused at once.
  EXPECT_EQ(convert("ZUV_Gzip2File", "/dev/zero", path("out")), -14);
  EXPECT_FALSE(exists(path("out")));
  const std::string contents = sample(100000);
  write("a", contents);
  // The writers go on until the reader closes its pipe. Each read has a pipe of its own, so
  // that the first writer, which may still be between two writes when the first read ends,
  // can never feed its zeros to the second.
  shell("gzip -c a > a.gz && mkfifo zeros gzipped");
  shell("(exec cat /dev/zero > zeros) > /dev/null 2>&1 &");
  EXPECT_EQ(convert("ZUV_Gzip2File", path("zeros"), path("out")), -14);
  EXPECT_FALSE(exists(path("out")));
  shell("((cat a.gz && exec cat /dev/zero) > gzipped) > /dev/null 2>&1 &");
  ASSERT_EQ(convert("ZUV_Gzip2File", path("gzipped"), path("out")), 0);
  EXPECT_TRUE(sameBytes(read(path("out")), contents));
}

TEST_F(GzipTest, ZeroPaddingAfterAMemberIsAccepted) {
  // Tape and block devices pad a gzip file with zero bytes; gzip -d accepts them.
  const std::string contents = sample(50000);
  write("a", contents);
  shell("gzip -c a > a.gz && head -c 1000 /dev/zero >> a.gz");
  EXPECT_EQ(shell("gzip -dc a.gz | cmp - a && echo same"), "same\n");
  ASSERT_EQ(convert("ZUV_Gzip2File", path("a.gz"), path("out")), 0);
  EXPECT_TRUE(sameBytes(read(path("out")), contents));
}

// What follows a member is read as gzip -d reads it: a second member cut after any of its bytes,
// the first included, is a file that ends early; zero padding and other bytes after a member are
// no member and are ignored. gzip -dc's exit status and output are the oracle.
TEST_F(GzipTest, WhatFollowsAMemberIsReadAsGzipReadsIt) {
  const std::string first = sample(40000);
  const std::string second = sample(30000);
  write("a", first);
  write("b", second);
  shell("gzip -c a > a.gz && gzip -c b > b.gz");
  const std::string member = read(path("a.gz"));
  const std::string next = read(path("b.gz"));
  const std::pair<const char*, std::string> trailers[] = {
      {"nothing", ""},
      {"one zero byte", std::string(1, '\0')},
      {"512 zero bytes", std::string(512, '\0')},
      {"a second member", next},
      {"a second member cut after 1 byte", next.substr(0, 1)},
      {"a second member cut after 2 bytes", next.substr(0, 2)},
      {"a second member cut after 10 bytes", next.substr(0, 10)},
      {"a second member cut before its trailer", next.substr(0, next.size() - 8)},
      {"one other byte", "A"},
      {"two other bytes", "AB"},
      {"a zero byte, then the first byte of a member", std::string("\0\x1f", 2)},
      {"the first byte of a member, then a zero byte", std::string("\x1f\0", 2)},
  };
  for (const auto& [what, trailer] : trailers) {
    SCOPED_TRACE(what);
    write("in.gz", member + trailer);
    int status = -1;
    const std::string expanded = shell("gzip -dc in.gz 2>/dev/null", &status);
    ASSERT_TRUE(WIFEXITED(status));
    write("out", "older file");
    const int64_t code = convert("ZUV_Gzip2File", path("in.gz"), path("out"));
    // 1 for an error; 2 for a warning (bytes ignored) after a whole expansion.
    if (WEXITSTATUS(status) == 1) {
      EXPECT_EQ(code, Z_BUF_ERROR);
      EXPECT_EQ(read(path("out")), "older file");
    } else {
      EXPECT_EQ(code, 0);
      EXPECT_TRUE(sameBytes(read(path("out")), expanded));
    }
    EXPECT_EQ(listing(), "a a.gz b b.gz in.gz out ");
  }
}

TEST_F(GzipTest, MissingSourceAnswersItsErrnoAndCreatesNothing) {
  EXPECT_EQ(convert("ZUV_File2Gzip", path("missing"), path("out.gz"), 6), ENOENT);
  EXPECT_EQ(convert("ZUV_Gzip2File", path("missing.gz"), path("out")), ENOENT);
  EXPECT_FALSE(exists(path("out.gz")));
  EXPECT_FALSE(exists(path("out")));
}

TEST_F(GzipTest, DestinationInAMissingFolderAnswersItsErrno) {
  write("in", "x");
  EXPECT_EQ(convert("ZUV_File2Gzip", path("in"), path("no/out.gz"), 6), ENOENT);
  shell("gzip -c in > in.gz");
  EXPECT_EQ(convert("ZUV_Gzip2File", path("in.gz"), path("no/out")), ENOENT);
}

TEST_F(GzipTest, DamagedInputAnswersZlibsCodeAndLeavesNoIncompleteDestination) {
  const std::string contents = sample(600000);
  write("in", contents);
  shell("gzip -c in > in.gz");
  const std::string gz = read(path("in.gz"));
  struct Case {
    const char* name;
    std::string bytes;
    int code;
  };
  std::string badTrailer = gz;
  badTrailer[gz.size() - 8] ^= 0x55;  // the CRC-32 of the trailer
  const Case cases[] = {
      {"cut inside the stream", gz.substr(0, gz.size() / 2), Z_BUF_ERROR},
      {"cut inside the trailer", gz.substr(0, gz.size() - 3), Z_BUF_ERROR},
      {"wrong CRC", badTrailer, Z_DATA_ERROR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    write("bad.gz", c.bytes);
    // As gzip -d does, nothing of an incomplete expansion stays; an older file stays whole.
    EXPECT_EQ(convert("ZUV_Gzip2File", path("bad.gz"), path("out")), c.code);
    EXPECT_FALSE(exists(path("out")));
    write("old", "older file");
    EXPECT_EQ(convert("ZUV_Gzip2File", path("bad.gz"), path("old")), c.code);
    EXPECT_EQ(read(path("old")), "older file");
    EXPECT_EQ(listing(), "bad.gz in in.gz old ");
    shell("rm old");
  }
}

TEST_F(GzipTest, ExpandingIntoAnOldFileDropsItsForks) {
  write("in", "new contents");
  shell("gzip -c in > in.gz");
  write("out", "old contents, longer than the new");
  setResourceFork(path("out"), "old fork");
  setFinderInfo(path("out"), "TEXTttxt", 0x0100);
  ASSERT_EQ(convert("ZUV_Gzip2File", path("in.gz"), path("out")), 0);
  EXPECT_EQ(read(path("out")), "new contents");
  EXPECT_EQ(resourceFork(path("out")), "");
  EXPECT_EQ(finderInfo(path("out")), "");
}

}  // namespace
}  // namespace zuvtest
