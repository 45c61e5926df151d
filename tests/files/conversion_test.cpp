// What every file conversion does with its destination: a new file renamed into place only on
// success, so that a failure leaves the destination and what it links to as they were; links
// followed and kept, long names, devices, a full disk, old sidecars and permission bits.

#include <functional>
#include <map>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/file_conversion_fixture.h"
#include "support/open_descriptors.h"

namespace zuvtest {
namespace {

class ConversionDestinationTest : public FileConversionTest {
 protected:
  static constexpr std::pair<const char*, const char*> kDecoders[] = {
      {"ZUV_BinHex2File", "f.hqx"}, {"ZUV_MacBinary2File", "f.bin"}, {"ZUV_Gzip2File", "f.gz"}};
};

// An AppleDouble file as another tool writes it: the file's real name (entry 3), its Finder
// information and a fork.
std::string foreignSidecar() {
  std::string file("\x00\x05\x16\x07\x00\x02\x00\x00", 8);
  file += std::string(16, ' ');
  file += std::string("\x00\x03", 2);
  file += std::string("\x00\x00\x00\x03\x00\x00\x00\x3E\x00\x00\x00\x04", 12);
  file += std::string("\x00\x00\x00\x09\x00\x00\x00\x42\x00\x00\x00\x20", 12);
  file += std::string("\x00\x00\x00\x02\x00\x00\x00\x62\x00\x00\x00\x03", 12);
  file += "dest";
  file += "OLD!old!" + std::string(24, '\0');
  file += "old";
  return file;
}

// Fails the k-th rename that the file services make, with the given errno, and counts them all.
class FailingRename {
 public:
  FailingRename(int failing, int error) {
    platform::testing::setRenameHook([this, failing, error](const char*, const char*) {
      return ++seen_ == failing ? error : 0;
    });
  }
  ~FailingRename() { platform::testing::setRenameHook(nullptr); }
  FailingRename(const FailingRename&) = delete;
  FailingRename& operator=(const FailingRename&) = delete;
  int seen() const { return seen_; }

 private:
  int seen_ = 0;
};

TEST_F(ConversionDestinationTest, ARenameThatFailsAtAnyStepLeavesTheFileAndItsSidecarAsTheyWere) {
  makeSources();
  const std::pair<const char*, std::function<void()>> destinations[] = {
      {"no file", [] {}},
      {"a file without sidecar", [&] { write("dest", "old"); }},
      {"a file with forks",
       [&] {
         write("dest", "old");
         setResourceFork(path("dest"), "old fork");
         setFinderInfo(path("dest"), "OLD!old!", 0x0400);
       }},
      {"a file whose sidecar holds another tool's entry",
       [&] {
         write("dest", "old");
         write("._dest", foreignSidecar());
       }},
      {"a stale sidecar without its file", [&] { write("._dest", foreignSidecar()); }},
  };
  for (const auto& [command, source] : kDecoders) {
    for (const auto& [what, make] : destinations) {
      int failing = 1;
      for (;; ++failing) {
        SCOPED_TRACE(std::string(command) + " into " + what + ", rename " +
                     std::to_string(failing) + " fails");
        ::unlink(path("dest").c_str());
        ::unlink(path("._dest").c_str());
        make();
        const std::string before = snapshot();
        FailingRename hook(failing, EBUSY);
        const int64_t code = conversion(command, path(source), path("dest"));
        if (hook.seen() < failing) {
          // Every rename was let through: the conversion is whole.
          EXPECT_EQ(code, 0);
          EXPECT_TRUE(sameBytes(read(path("dest")), read(path("f"))));
          break;
        }
        EXPECT_EQ(code, EBUSY);
        EXPECT_EQ(snapshot(), before);
      }
      EXPECT_GT(failing, 1) << command << " into " << what << " renames nothing";
    }
  }
}

// The file that replaces another keeps its owner and group; so does its new sidecar, so that the
// owner can still read the forks of a file only it may read.
TEST_F(ConversionDestinationTest, TheNewSidecarTakesTheOwnerOfTheFileItReplaces) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may give a file to another user";
  makeSources();
  const std::pair<const char*, std::function<void()>> olds[] = {
      {"a file without sidecar", [] {}},
      {"a file with a sidecar of root's", [&] { setResourceFork(path("dest"), "old fork"); }},
      {"a file whose sidecar holds another tool's entry",
       [&] { write("._dest", foreignSidecar()); }},
  };
  for (const auto& [command, source] : kDecoders) {
    if (std::string(command) == "ZUV_Gzip2File") continue;  // it gives no forks
    for (const auto& [what, make] : olds) {
      SCOPED_TRACE(std::string(command) + " into " + what);
      shell("rm -f dest ._dest");
      write("dest", "old");
      make();
      ASSERT_EQ(::chown(path("dest").c_str(), 65534, 65533), 0);
      ASSERT_EQ(::chmod(path("dest").c_str(), 0600), 0);
      ASSERT_EQ(conversion(command, path(source), path("dest")), 0);
      EXPECT_EQ(resourceFork(path("dest")), "new fork");
      EXPECT_EQ(shell("stat -c '%u %g %a' dest ._dest"), "65534 65533 600\n65534 65533 600\n");
    }
  }
}

// What another user owns in a folder of mode 1777, as /tmp, a second user may not replace: the
// conversion, run by that second user, fails at its last rename (EPERM) and changes nothing, the
// second user's own sidecar beside the file included.
TEST_F(ConversionDestinationTest, AFileOfAnotherUserInAStickyFolderStaysAsItWas) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root may act as two other users";
  makeSources();
  shell("chmod 755 . && chmod 644 f.hqx f.bin f.gz && mkdir sticky && chmod 1777 sticky");
  for (const auto& [command, source] : kDecoders) {
    for (bool sidecar : {false, true}) {
      SCOPED_TRACE(std::string(command) + (sidecar ? " beside a sidecar" : ""));
      shell("rm -f sticky/shared sticky/._shared");
      write("sticky/shared", "old");
      if (sidecar) setResourceFork(path("sticky/shared"), "old fork");
      // The file is the first user's (nobody), its sidecar the second's (daemon).
      shell("chown 65534:65534 sticky/shared && chmod 666 sticky/shared");
      if (sidecar) shell("chown 1:1 sticky/._shared && chmod 666 sticky/._shared");
      const std::string before = snapshot();
      const std::string answer =
          shell("setpriv --reuid=1 --regid=1 --clear-groups '" ZUVHOST_PATH "' -e '" +
                std::string(command) + "(\"" + path(source) + "\"; \"" + path("sticky/shared") +
                "\")' 2>&1");
      EXPECT_EQ(answer, std::to_string(EPERM) + "\n");
      EXPECT_EQ(snapshot(), before);
    }
  }
}

// A destination that is a mount point cannot be renamed over (EBUSY): nothing beside it changes.
TEST_F(ConversionDestinationTest, AFileThatIsAMountPointStaysAsItWas) {
  int status = -1;
  shell("unshare -m true 2>/dev/null", &status);
  if (::geteuid() != 0 || status != 0) GTEST_SKIP() << "no mount namespace of our own here";
  makeSources();
  write("cover", "mounted over the destination");
  for (const auto& [command, source] : kDecoders) {
    SCOPED_TRACE(command);
    shell("rm -f dest ._dest");
    write("dest", "old");
    setResourceFork(path("dest"), "old fork");
    const std::string before = snapshot();
    // The mount lives in a namespace of its own and ends with it.
    const std::string answer =
        shell("unshare -m sh -c 'mount --bind cover dest && exec \"" ZUVHOST_PATH "\" -e \"" +
              std::string(command) + "(\\\"" + path(source) + "\\\"; \\\"" + path("dest") +
              "\\\")\"' 2>&1");
    EXPECT_EQ(answer, std::to_string(EBUSY) + "\n");
    EXPECT_EQ(snapshot(), before);
  }
}

TEST_F(ConversionDestinationTest, AFullDiskIsAnsweredAndLeavesNoHalfFile) {
  // /dev/full takes every open and fails every write: the last buffer fails at the close at the
  // latest. The device itself is never removed.
  write("in", "small");
  for (const char* command : {"ZUV_File2MacBinary", "ZUV_File2BinHex", "ZUV_File2Gzip"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(conversion(command, path("in"), "/dev/full"), ENOSPC);
  }
  shell("gzip -c in > in.gz");
  EXPECT_EQ(convert("ZUV_Gzip2File", path("in.gz"), "/dev/full"), ENOSPC);
  EXPECT_TRUE(exists("/dev/full"));
}

// Inputs that fail only after a conversion has begun to write: a folder as the source of an
// encoder (its read fails with EISDIR), texts cut inside a fork, plain text.
class FailingConversionTest : public ConversionDestinationTest {
 protected:
  void SetUp() override {
    ConversionDestinationTest::SetUp();
    shell("mkdir srcdir");
    write("f", randomBytes(100000, 5));
    setResourceFork(path("f"), randomBytes(5000, 6));
    setFinderInfo(path("f"), "TEXTttxt", 0x0400);
    ASSERT_EQ(conversion("ZUV_File2BinHex", path("f"), path("f.hqx")), 0);
    ASSERT_EQ(conversion("ZUV_File2MacBinary", path("f"), path("f.bin")), 0);
    ASSERT_EQ(conversion("ZUV_File2Gzip", path("f"), path("f.gz")), 0);
    const std::string hqx = read(path("f.hqx"));
    const std::string bin = read(path("f.bin"));
    const std::string gz = read(path("f.gz"));
    write("cut.hqx", hqx.substr(0, hqx.size() / 2));
    // The last 1000 bytes hold the fork's padding and its last 880 bytes.
    write("cut.bin", bin.substr(0, bin.size() - 1000));
    write("cut.gz", gz.substr(0, gz.size() / 2));
    write("plain", "plain text, neither BinHex nor gzip, only words\n");
    write("empty", "");
  }

  struct Failure {
    const char* command;
    const char* source;
    int code;
  };
  static constexpr Failure kFailures[] = {
      {"ZUV_File2MacBinary", "srcdir", EISDIR}, {"ZUV_File2BinHex", "srcdir", EISDIR},
      {"ZUV_File2Gzip", "srcdir", EISDIR},      {"ZUV_MacBinary2File", "cut.bin", -7},
      {"ZUV_BinHex2File", "cut.hqx", -7},       {"ZUV_BinHex2File", "plain", -13},
      {"ZUV_BinHex2File", "empty", -7},         {"ZUV_Gzip2File", "cut.gz", -5},
      {"ZUV_Gzip2File", "plain", -14},
  };
};

TEST_F(FailingConversionTest, LeavesTheDestinationAndWhatItLinksToAsTheyWere) {
  // A file with forks, a link to a file elsewhere, a link to a file not there yet.
  shell("mkdir elsewhere && ln -s elsewhere/target link && ln -s elsewhere/absent dangling");
  write("dest", "precious");
  setResourceFork(path("dest"), "old fork");
  setFinderInfo(path("dest"), "OLD!old!", 0x0400);
  ASSERT_EQ(::chmod(path("dest").c_str(), 0640), 0);
  write("elsewhere/target", "also precious");
  setResourceFork(path("elsewhere/target"), "its fork");
  const std::string before = snapshot();
  for (const Failure& c : kFailures) {
    for (const char* to : {"dest", "link", "dangling"}) {
      SCOPED_TRACE(std::string(c.command) + " from " + c.source + " to " + to);
      EXPECT_EQ(conversion(c.command, path(c.source), path(to)), c.code);
      EXPECT_EQ(snapshot(), before);
    }
  }
}

TEST_F(FailingConversionTest, ThroughALinkWritesTheFileItNamesAndKeepsTheLink) {
  shell("mkdir elsewhere && ln -s elsewhere/target link");
  const std::pair<const char*, const char*> decoders[] = {
      {"ZUV_BinHex2File", "f.hqx"}, {"ZUV_MacBinary2File", "f.bin"}, {"ZUV_Gzip2File", "f.gz"}};
  for (const auto& [command, source] : decoders) {
    SCOPED_TRACE(command);
    write("elsewhere/target", "old");
    ASSERT_EQ(conversion(command, path(source), path("link")), 0);
    EXPECT_EQ(shell("readlink link"), "elsewhere/target\n");
    EXPECT_TRUE(sameBytes(read(path("elsewhere/target")), read(path("f"))));
    const bool forks = std::string(command) != "ZUV_Gzip2File";
    EXPECT_TRUE(
        sameBytes(resourceFork(path("elsewhere/target")), forks ? resourceFork(path("f")) : ""));
    EXPECT_EQ(shell("ls -A elsewhere | tr '\\n' ' '"), forks ? "._target target " : "target ");
    EXPECT_FALSE(exists(path("._link")));
    shell("rm -f elsewhere/target elsewhere/._target");
  }
}

TEST_F(FailingConversionTest, LeavesNoTemporaryFileBehind) {
  for (const Failure& c : kFailures) {
    SCOPED_TRACE(std::string(c.command) + " from " + c.source);
    const std::string before = listing();
    EXPECT_EQ(conversion(c.command, path(c.source), path("out")), c.code);
    EXPECT_EQ(listing(), before);
  }
}

// A destination that cannot be opened (in a folder that is not there, under a file, a folder
// itself) is answered with the errno of the open, and the conversion leaves nothing written and
// no file open: the source it read first is closed too.
TEST_F(ConversionDestinationTest, EveryConversionAnswersADestinationItCannotOpen) {
  write("in", "data to convert");
  ASSERT_EQ(conversion("ZUV_File2BinHex", path("in"), path("in.hqx")), 0);
  ASSERT_EQ(conversion("ZUV_File2MacBinary", path("in"), path("in.bin")), 0);
  ASSERT_EQ(conversion("ZUV_File2Gzip", path("in"), path("in.gz")), 0);
  shell("mkdir folder");
  const std::pair<const char*, const char*> conversions[] = {
      {"ZUV_File2BinHex", "in"},     {"ZUV_File2MacBinary", "in"},     {"ZUV_File2Gzip", "in"},
      {"ZUV_BinHex2File", "in.hqx"}, {"ZUV_MacBinary2File", "in.bin"}, {"ZUV_Gzip2File", "in.gz"}};
  const std::pair<const char*, int> destinations[] = {
      {"missing/out", ENOENT}, {"in/out", ENOTDIR}, {"folder", EISDIR}};
  const std::string before = snapshot();
  for (const auto& [command, source] : conversions) {
    for (const auto& [destination, code] : destinations) {
      SCOPED_TRACE(std::string(command) + " to " + destination);
      const std::map<int, std::string> open = openDescriptors();
      EXPECT_EQ(conversion(command, path(source), path(destination)), code);
      EXPECT_EQ(descriptorsOpenedSince(open, openDescriptors()), (std::map<int, std::string>{}));
    }
  }
  EXPECT_EQ(snapshot(), before);
}

TEST_F(ConversionDestinationTest, DestinationNamesOfUpTo255BytesAreWritten) {
  write("f", "with forks");
  setResourceFork(path("f"), "fork");
  setFinderInfo(path("f"), "TEXTttxt", 0x0020);
  write("g", "without");
  for (const char* name : {"f", "g"}) {
    ASSERT_EQ(conversion("ZUV_File2BinHex", path(name), path(std::string(name) + ".hqx")), 0);
    ASSERT_EQ(conversion("ZUV_File2MacBinary", path(name), path(std::string(name) + ".bin")), 0);
    ASSERT_EQ(conversion("ZUV_File2Gzip", path(name), path(std::string(name) + ".gz")), 0);
  }
  // A sidecar "._" + name fits beside names of up to 253 bytes.
  for (size_t length : {247, 253}) {
    const std::string longName(length, 'd');
    for (const char* source : {"f.hqx", "f.bin"}) {
      SCOPED_TRACE(std::to_string(length) + " from " + source);
      ASSERT_EQ(
          conversion(std::string(source) == "f.hqx" ? "ZUV_BinHex2File" : "ZUV_MacBinary2File",
                     path(source), path(longName)),
          0);
      EXPECT_EQ(read(path(longName)), "with forks");
      EXPECT_EQ(resourceFork(path(longName)), "fork");
      shell("rm -f " + longName + " ._" + longName);
    }
  }
  // Beside a longer name there is no room for a sidecar: forks to give it fail, leaving it be.
  const std::string tooLong(254, 'd');
  write(tooLong, "old");
  EXPECT_EQ(conversion("ZUV_BinHex2File", path("f.hqx"), path(tooLong)), ENAMETOOLONG);
  EXPECT_EQ(read(path(tooLong)), "old");
  shell("rm -f " + tooLong);
  const std::string longest(255, 'e');
  const std::pair<const char*, const char*> conversions[] = {
      {"ZUV_File2BinHex", "g"},     {"ZUV_File2MacBinary", "g"},     {"ZUV_File2Gzip", "g"},
      {"ZUV_BinHex2File", "g.hqx"}, {"ZUV_MacBinary2File", "g.bin"}, {"ZUV_Gzip2File", "g.gz"}};
  for (const auto& [command, source] : conversions) {
    SCOPED_TRACE(command);
    EXPECT_EQ(conversion(command, path(source), path(longest)), 0);
    EXPECT_TRUE(exists(path(longest)));
    shell("rm -f " + longest);
  }
  EXPECT_EQ(listing(), "._f f f.bin f.gz f.hqx g g.bin g.gz g.hqx ");
}

TEST_F(ConversionDestinationTest, DecodingIntoADeviceMakesNoSidecarBesideIt) {
  write("f", "contents");
  setResourceFork(path("f"), "fork");
  setFinderInfo(path("f"), "TEXTttxt", 0x0020);
  ASSERT_EQ(conversion("ZUV_File2BinHex", path("f"), path("f.hqx")), 0);
  ASSERT_EQ(conversion("ZUV_File2MacBinary", path("f"), path("f.bin")), 0);
  ASSERT_EQ(conversion("ZUV_File2Gzip", path("f"), path("f.gz")), 0);
  const std::pair<const char*, const char*> decoders[] = {
      {"ZUV_BinHex2File", "f.hqx"}, {"ZUV_MacBinary2File", "f.bin"}, {"ZUV_Gzip2File", "f.gz"}};
  for (const auto& [command, source] : decoders) {
    SCOPED_TRACE(command);
    EXPECT_EQ(conversion(command, path(source), "/dev/null"), 0);
    EXPECT_EQ(conversion(command, path(source), "/dev/full"), ENOSPC);
  }
  const bool besideNull = exists("/dev/._null");
  const bool besideFull = exists("/dev/._full");
  ::unlink("/dev/._null");
  ::unlink("/dev/._full");
  EXPECT_FALSE(besideNull);
  EXPECT_FALSE(besideFull);
}

TEST_F(ConversionDestinationTest, AStaleOrDamagedSidecarOfTheDestinationIsReplaced) {
  const std::string data = randomBytes(3000, 7);
  write("f", data);
  setResourceFork(path("f"), "new fork");
  setFinderInfo(path("f"), "TEXTttxt", 0x0020);
  ASSERT_EQ(conversion("ZUV_File2BinHex", path("f"), path("f.hqx")), 0);
  ASSERT_EQ(conversion("ZUV_File2MacBinary", path("f"), path("f.bin")), 0);
  ASSERT_EQ(conversion("ZUV_File2Gzip", path("f"), path("f.gz")), 0);
  write("victim", "precious");
  // An AppleDouble header whose one entry, a fork of 1000 bytes, ends past the file's end.
  const std::string pastTheEnd =
      std::string("\x00\x05\x16\x07\x00\x02\x00\x00", 8) + std::string(16, ' ') +
      std::string("\x00\x01", 2) +
      std::string("\x00\x00\x00\x02\x00\x00\x00\x26\x00\x00\x03\xE8", 12) + "fork";
  const std::pair<const char*, std::function<void()>> damages[] = {
      {"an entry past the end", [&] { write("._out", pastTheEnd); }},
      {"random bytes", [&] { write("._out", randomBytes(300, 8)); }},
      {"a FIFO", [&] { shell("mkfifo ._out"); }},
      {"a link", [&] { shell("ln -s victim ._out"); }},
      {"an empty folder", [&] { shell("mkdir ._out"); }},
  };
  const std::pair<const char*, const char*> decoders[] = {
      {"ZUV_BinHex2File", "f.hqx"}, {"ZUV_MacBinary2File", "f.bin"}, {"ZUV_Gzip2File", "f.gz"}};
  for (const auto& [command, source] : decoders) {
    const bool forks = std::string(command) != "ZUV_Gzip2File";
    for (const auto& [what, make] : damages) {
      SCOPED_TRACE(std::string(command) + ", " + what);
      write("out", "old");
      make();
      ASSERT_EQ(conversion(command, path(source), path("out")), 0);
      EXPECT_TRUE(sameBytes(read(path("out")), data));
      EXPECT_EQ(resourceFork(path("out")), forks ? "new fork" : "");
      EXPECT_EQ(finderInfo(path("out")), forks ? std::string("TEXTttxt\x00\x20", 10) : "");
      struct stat st;
      if (forks) {
        EXPECT_TRUE(::lstat(path("._out").c_str(), &st) == 0 && S_ISREG(st.st_mode));
      }
      EXPECT_EQ(read(path("victim")), "precious");
      shell("rm -rf out ._out");
    }
  }
}

TEST_F(ConversionDestinationTest, TheDestinationAndItsSidecarKeepTheFilesPermissionBits) {
  write("f", "contents");
  setResourceFork(path("f"), "new fork");
  ASSERT_EQ(conversion("ZUV_File2BinHex", path("f"), path("f.hqx")), 0);
  ASSERT_EQ(conversion("ZUV_File2MacBinary", path("f"), path("f.bin")), 0);
  for (const char* source : {"f.hqx", "f.bin"}) {
    SCOPED_TRACE(source);
    write("out", "old");
    ASSERT_EQ(::chmod(path("out").c_str(), 0600), 0);
    setResourceFork(path("out"), "old fork");
    // An old sidecar that others may read, beside a private file.
    ASSERT_EQ(::chmod(path("._out").c_str(), 0644), 0);
    ASSERT_EQ(conversion(std::string(source) == "f.hqx" ? "ZUV_BinHex2File" : "ZUV_MacBinary2File",
                         path(source), path("out")),
              0);
    EXPECT_EQ(resourceFork(path("out")), "new fork");
    EXPECT_EQ(modeOf(path("out")), 0600u);
    EXPECT_EQ(modeOf(path("._out")), 0600u);
    shell("rm -f out ._out");
  }
}
}  // namespace
}  // namespace zuvtest
