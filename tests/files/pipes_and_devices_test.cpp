// Sources and destinations that are no regular files: a pipe is read to its end while its writer
// takes its time, the other processes getting their turns; a conversion that must know its
// source's length first refuses a pipe or a device before it writes anything; a device that
// never ends ends the decoding at its first byte that the format does not allow; and a pipe that
// no process reads is refused as destination at once, where its open would have held the process.

#include <map>
#include <string>
#include <utility>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/file_conversion_fixture.h"
#include "support/open_descriptors.h"

namespace zuvtest {
namespace {

class PipesAndDevicesTest : public FileConversionTest {
 protected:
  // Makes the pipe and opens its writing end without waiting for a reader (a descriptor that
  // reads too, which nothing reads from): the conversion then meets a pipe whose writer is there.
  int pipeWithWriter(const std::string& name) {
    const std::string pipe = path(name);
    EXPECT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    return ::open(pipe.c_str(), O_RDWR);
  }

  // At the given yields of process 1, the writer writes one piece of the bytes each, then
  // closes the pipe after the last: the conversion must wait for them in turns.
  void writeInTurns(int writer, const std::string& bytes, std::vector<int64_t> atYields) {
    const size_t pieces = atYields.size();
    for (size_t i = 0; i < pieces; ++i) {
      const size_t from = bytes.size() * i / pieces;
      const size_t to = bytes.size() * (i + 1) / pieces;
      const bool last = i + 1 == pieces;
      emu.onYield(1, atYields[i], [writer, piece = bytes.substr(from, to - from), last] {
        EXPECT_EQ(::write(writer, piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        if (last) ::close(writer);
      });
    }
  }
};

// The three decoders and ZUV_File2Gzip read a pipe to its end. The writer here sends nothing
// before the call, then its bytes in three pieces at later turns of the process: a read that
// waited on the pipe without a turn for the host would never see them, one that took the pipe's
// size for the file's would stop short.
TEST_F(PipesAndDevicesTest, APipeIsReadToItsEndWhileItsWriterTakesItsTime) {
  makeSources();
  const std::string original = read(path("f"));
  const std::pair<const char*, const char*> conversions[] = {{"ZUV_BinHex2File", "f.hqx"},
                                                             {"ZUV_MacBinary2File", "f.bin"},
                                                             {"ZUV_Gzip2File", "f.gz"},
                                                             {"ZUV_File2Gzip", "f"}};
  for (const auto& [command, source] : conversions) {
    SCOPED_TRACE(command);
    shell("rm -f pipe out ._out");
    const int writer = pipeWithWriter("pipe");
    ASSERT_GE(writer, 0);
    writeInTurns(writer, read(path(source)), {3, 6, 9});
    const int64_t before = emu.yields(1);
    ASSERT_EQ(conversion(command, path("pipe"), path("out")), 0);
    EXPECT_GE(emu.yields(1) - before, 9);
    if (std::string(command) == "ZUV_File2Gzip") {
      EXPECT_TRUE(sameBytes(shell("gzip -dc out"), original));
      continue;
    }
    EXPECT_TRUE(sameBytes(read(path("out")), original));
    // Only the gzip form leaves the forks behind.
    if (std::string(command) != "ZUV_Gzip2File") {
      EXPECT_EQ(resourceFork(path("out")), "new fork");
    }
  }
}

// A MacBinary or BinHex header gives the forks' lengths before their bytes, which only a regular
// file tells; a device need never end, so ZUV_File2Gzip refuses one too. Each is refused with 22
// before anything is written, no descriptor left open, and a pipe's writer is not waited for.
TEST_F(PipesAndDevicesTest, AnEncoderThatNeedsTheLengthRefusesAPipeOrADevice) {
  write("data", randomBytes(200000, 5));
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  const std::pair<const char*, const char*> refusals[] = {
      {"ZUV_File2MacBinary", "pipe"},      {"ZUV_File2BinHex", "pipe"},
      {"ZUV_File2MacBinary", "/dev/zero"}, {"ZUV_File2BinHex", "/dev/zero"},
      {"ZUV_File2Gzip", "/dev/zero"},      {"ZUV_File2Gzip", "/dev/null"}};
  const std::string before = snapshot();
  for (const auto& [command, source] : refusals) {
    SCOPED_TRACE(std::string(command) + " from " + source);
    const std::string from = source[0] == '/' ? source : path(source);
    const std::map<int, std::string> open = openDescriptors();
    // A writer with 200,000 bytes for the pipe: none of them is read.
    const int writer = source[0] == '/' ? -1 : ::open(from.c_str(), O_RDWR);
    if (writer >= 0) {
      ::fcntl(writer, F_SETFL, O_NONBLOCK);
      const std::string bytes = read(path("data"));
      EXPECT_GT(::write(writer, bytes.data(), bytes.size()), 0);
    }
    EXPECT_EQ(conversion(command, from, path("out")), 22);
    if (writer >= 0) ::close(writer);
    EXPECT_EQ(descriptorsOpenedSince(open, openDescriptors()), (std::map<int, std::string>{}));
  }
  EXPECT_EQ(snapshot(), before);
}

// A decoder reads a device as a stream and stops at its first byte that the format does not
// allow: a zero byte ends the search for the BinHex header line and the text after it, where
// the decoder read on for ever; gzip refuses what holds no gzip header. What a whole BinHex text
// brings before the zeros is decoded, the rest not read.
TEST_F(PipesAndDevicesTest, AnEndlessSourceEndsAtItsFirstByteThatNoSuchFileHolds) {
  makeSources();
  EXPECT_EQ(conversion("ZUV_BinHex2File", "/dev/zero", path("out")), -13);
  EXPECT_EQ(conversion("ZUV_Gzip2File", "/dev/zero", path("out")), -14);
  EXPECT_FALSE(exists(path("out")));
  const std::string hqx = read(path("f.hqx"));
  const size_t colon = hqx.find(':');
  ASSERT_NE(colon, std::string::npos);
  const std::pair<std::string, int64_t> texts[] = {
      {"some mail text\r\n", -13},
      {hqx.substr(0, colon - 1), -13},       // the header line without its line end
      {hqx.substr(0, colon), -13},           // the header line: the data never starts
      {hqx.substr(0, colon + 100), -13},     // inside the data
      {hqx.substr(0, hqx.size() - 2), -13},  // before the closing colon
      {hqx, 0},
  };
  for (const auto& [text, code] : texts) {
    SCOPED_TRACE(text.size());
    write("text", text);
    shell("rm -f pipe out ._out && mkfifo pipe");
    // The writer goes on until the reader closes its end.
    shell("((cat text && exec cat /dev/zero) > pipe) > /dev/null 2>&1 &");
    EXPECT_EQ(conversion("ZUV_BinHex2File", path("pipe"), path("out")), code);
    EXPECT_EQ(exists(path("out")), code == 0);
  }
  EXPECT_TRUE(sameBytes(read(path("out")), read(path("f"))));
}

// A pipe as destination is written as it stands, once a process reads it; one that no process
// reads is refused with 6 (ENXIO) at once, where the open would wait for a reader and hold the
// process with no turn for the others. Nothing is made beside it.
TEST_F(PipesAndDevicesTest, APipeThatNoProcessReadsIsRefusedAsDestinationAtOnce) {
  makeSources();
  ASSERT_EQ(::mkfifo(path("out").c_str(), 0600), 0);
  const std::pair<const char*, const char*> conversions[] = {
      {"ZUV_File2BinHex", "f"},     {"ZUV_File2MacBinary", "f"},     {"ZUV_File2Gzip", "f"},
      {"ZUV_BinHex2File", "f.hqx"}, {"ZUV_MacBinary2File", "f.bin"}, {"ZUV_Gzip2File", "f.gz"}};
  const std::string before = snapshot();
  for (const auto& [command, source] : conversions) {
    SCOPED_TRACE(command);
    EXPECT_EQ(conversion(command, path(source), path("out")), ENXIO);
  }
  EXPECT_EQ(snapshot(), before);
  // With a reader, the bytes go through the pipe; the pipe holds them all, as they are few.
  const int reader = ::open(path("out").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(conversion("ZUV_MacBinary2File", path("f.bin"), path("out")), 0);
  std::string got(8192, '\0');
  const ssize_t n = ::read(reader, &got[0], got.size());
  ::close(reader);
  ASSERT_GE(n, 0);
  got.resize(static_cast<size_t>(n));
  EXPECT_TRUE(sameBytes(got, read(path("f"))));
  EXPECT_FALSE(exists(path("._out")));
}

}  // namespace
}  // namespace zuvtest
