// The file conversion commands as their handlers serve them (paths read, made POSIX, checked,
// the converter's code answered, conversions in two processes), and ZUV_OpenDocument, which
// hands a path to host command 264.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "files/file_conversion_fixture.h"

namespace zuvtest {
namespace {

class FileCommandsTest : public FileConversionTest {};

const char* const kConversions[] = {"ZUV_File2MacBinary", "ZUV_MacBinary2File", "ZUV_File2BinHex",
                                    "ZUV_BinHex2File",    "ZUV_File2Gzip",      "ZUV_Gzip2File"};

TEST_F(FileCommandsTest, AnEmptyPathAnswers2AndCreatesNothing) {
  write("in", "x");
  for (const char* command : kConversions) {
    SCOPED_TRACE(command);
    EXPECT_EQ(conversion(command, path("in"), ""), 2);
    EXPECT_EQ(conversion(command, "", path("out")), 2);
  }
  EXPECT_EQ(listing(), "in ");
}

TEST_F(FileCommandsTest, APathThatCannotBeConvertedAnswersMinus1) {
  write("in", "x");
  // A colon path with an unpaired surrogate names no file.
  const std::u16string bad = u"vol:a\xD800";
  for (const char* command : kConversions) {
    SCOPED_TRACE(command);
    EXPECT_EQ(conversion(command, bad, host::text(path("out"))), -1);
  }
  EXPECT_EQ(listing(), "in ");
}

TEST_F(FileCommandsTest, ColonPathsAreMadePosix) {
  write("in", "colon path contents");
  // The volume stands for "/", each further component is a folder.
  std::string colon = "Macintosh HD" + folder + "/in";
  std::replace(colon.begin(), colon.end(), '/', ':');
  std::string colonOut = "Macintosh HD" + folder + "/in.gz";
  std::replace(colonOut.begin(), colonOut.end(), '/', ':');
  ASSERT_EQ(convert("ZUV_File2Gzip", colon, colonOut, 6), 0);
  EXPECT_EQ(shell("gzip -dc in.gz"), "colon path contents");
}

TEST_F(FileCommandsTest, TheSameFileAsSourceAndDestinationIsRefusedAndKept) {
  const std::string contents = randomBytes(5000, 1);
  write("f", contents);
  shell("ln f hard && ln -s f soft");
  for (const char* command : kConversions) {
    for (const char* other : {"f", "hard", "soft"}) {
      SCOPED_TRACE(std::string(command) + " to " + other);
      EXPECT_EQ(conversion(command, path("f"), path(other)), -1);
      EXPECT_TRUE(sameBytes(read(path("f")), contents));
    }
  }
}

TEST_F(FileCommandsTest, GzipLevelComesFromTheThirdParameterOnly) {
  write("in", randomBytes(1000, 2) + std::string(100000, 'a'));
  ASSERT_EQ(convert("ZUV_File2Gzip", path("in"), path("in.gz"), 9), 0);
  EXPECT_EQ(read(path("in.gz"))[8], 2);  // XFL: the slowest level
  ASSERT_EQ(convert("ZUV_File2Gzip", path("in"), path("in.gz"), 1), 0);
  EXPECT_EQ(read(path("in.gz"))[8], 4);  // XFL: the fastest level
  // ZUV_Gzip2File takes two parameters; the manifest gives it no third to read.
  EXPECT_EQ(run("ZUV_Gzip2File", {txt(path("in.gz")), txt(path("out"))}).number(), 0);
}

TEST_F(FileCommandsTest, ConversionsInTwoProcessesInterleaveAtTheirYields) {
  // Each conversion keeps its state in the call: a second one that runs at the first one's
  // turns leaves both files whole.
  const std::string first = randomBytes(300000, 3);
  const std::string second = randomBytes(200000, 4);
  write("one", first);
  write("two", second);
  for (const char* encoder : {"ZUV_File2BinHex", "ZUV_File2MacBinary", "ZUV_File2Gzip"}) {
    SCOPED_TRACE(encoder);
    host::Emulator::Pending other;
    emu.onYield(1, 1, [&] {
      std::vector<Value> args{txt(path("two")), txt(path("two.enc"))};
      if (std::string(encoder) == "ZUV_File2Gzip") args.push_back(num(6));
      other = emu.start(encoder, args, 2);
    });
    EXPECT_EQ(conversion(encoder, path("one"), path("one.enc")), 0);
    EXPECT_EQ(emu.wait(other).number(), 0);
    const char* decoder = std::string(encoder) == "ZUV_File2BinHex"      ? "ZUV_BinHex2File"
                          : std::string(encoder) == "ZUV_File2MacBinary" ? "ZUV_MacBinary2File"
                                                                         : "ZUV_Gzip2File";
    ASSERT_EQ(conversion(decoder, path("one.enc"), path("one.out")), 0);
    ASSERT_EQ(conversion(decoder, path("two.enc"), path("two.out")), 0);
    EXPECT_TRUE(sameBytes(read(path("one.out")), first));
    EXPECT_TRUE(sameBytes(read(path("two.out")), second));
  }
}

class OpenDocumentTest : public FileConversionTest {
 protected:
  void TearDown() override {
    emu.closeDocuments();
    FileConversionTest::TearDown();
  }
};

TEST_F(OpenDocumentTest, AnswersTheHostsDocumentReference) {
  write("doc", "x");
  const int64_t reference = run("ZUV_OpenDocument", {txt(path("doc"))}).number();
  EXPECT_GT(reference, 0);
  EXPECT_EQ(emu.openDocuments(), std::vector<std::string>{path("doc")});
}

TEST_F(OpenDocumentTest, AnswersZeroWhenTheHostOpensNothing) {
  EXPECT_EQ(run("ZUV_OpenDocument", {txt(path("missing"))}).number(), 0);
  EXPECT_TRUE(emu.openDocuments().empty());
}

}  // namespace
}  // namespace zuvtest
