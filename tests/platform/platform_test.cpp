// The Linux stand-ins for macOS file services: Finder information and resource forks kept in an
// AppleDouble file beside the file, read and written at byte positions; colon paths made POSIX;
// the POSIX basename. The sidecar is also read by an independent AppleDouble reader (a few lines
// of Python's struct, after RFC 1740) to show that other tools can read it.

#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/temp_folder.h"

namespace {

using zuvtest::TempFolder;

using Bytes = std::vector<unsigned char>;

void writeFile(const std::string& path, const std::string& contents) {
  std::ofstream(path, std::ios::binary) << contents;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Bytes that differ at every position, so that a piece in the wrong place shows.
Bytes pattern(size_t n, unsigned seed) {
  Bytes bytes(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    bytes[i] = static_cast<unsigned char>(x >> 16);
  }
  return bytes;
}

Bytes finderInfoValue() {
  Bytes value(32, 0);
  const char head[] = "TEXTttxt";
  std::copy(head, head + 8, value.begin());
  value[8] = 0x01;
  value[9] = 0x20;
  value[31] = 0x7E;
  return value;
}

class AttributesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder.name().empty());
    path = folder.path("report.txt");
    sidecar = folder.path("._report.txt");
    writeFile(path, "data fork");
  }

  long forkSize() {
    return platform::getAttribute(path.c_str(), platform::kResourceForkAttr, nullptr, 0, 0);
  }
  Bytes readFork(size_t n, uint32_t position) {
    Bytes bytes(n);
    long got = platform::getAttribute(path.c_str(), platform::kResourceForkAttr, bytes.data(), n,
                                      position);
    bytes.resize(got > 0 ? static_cast<size_t>(got) : 0);
    return bytes;
  }

  TempFolder folder{"zuv-platform"};
  std::string path;
  std::string sidecar;
};

TEST_F(AttributesTest, AFileWithoutSidecarHasNoAttributes) {
  errno = 0;
  EXPECT_EQ(forkSize(), -1);
  EXPECT_EQ(errno, ENODATA);
  unsigned char buffer[32];
  errno = 0;
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, buffer, 32, 0), -1);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_FALSE(exists(sidecar));
}

TEST_F(AttributesTest, AMissingFileAnswersNoSuchFile) {
  const std::string missing = folder.path("missing");
  errno = 0;
  EXPECT_EQ(platform::getAttribute(missing.c_str(), platform::kResourceForkAttr, nullptr, 0, 0),
            -1);
  EXPECT_EQ(errno, ENOENT);
  const Bytes value = finderInfoValue();
  EXPECT_EQ(platform::setAttribute(missing.c_str(), platform::kFinderInfoAttr, value.data(), 32, 0),
            -1);
  EXPECT_FALSE(exists(folder.path("._missing")));
}

// The way the BinHex decoder and the file send move a fork: pieces at rising positions on an open
// file. 1 MB, in pieces of 16 KB, read back by path and by descriptor at other positions.
TEST_F(AttributesTest, AMegabyteForkAndFinderInfoWrittenByPositionReadBackByteForByte) {
  const Bytes fork = pattern(1 << 20, 7);
  const Bytes info = finderInfoValue();
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  constexpr size_t kPiece = 16384;
  for (size_t at = 0; at < fork.size(); at += kPiece) {
    ASSERT_EQ(platform::setAttribute(fd, platform::kResourceForkAttr, fork.data() + at, kPiece,
                                     static_cast<uint32_t>(at)),
              0)
        << "at " << at;
  }
  ASSERT_EQ(platform::setAttribute(fd, platform::kFinderInfoAttr, info.data(), 32, 0), 0);

  EXPECT_EQ(forkSize(), 1 << 20);
  EXPECT_EQ(readFork(fork.size(), 0), fork);
  Bytes middle(fork.begin() + 300000, fork.begin() + 300000 + 70001);
  EXPECT_EQ(readFork(70001, 300000), middle);
  Bytes tail(fork.end() - 100, fork.end());
  EXPECT_EQ(readFork(4096, (1 << 20) - 100), tail) << "a read past the end is cut short";
  EXPECT_EQ(readFork(10, 1 << 20).size(), 0u);

  Bytes viaDescriptor(kPiece);
  EXPECT_EQ(platform::getAttribute(fd, platform::kResourceForkAttr, viaDescriptor.data(), kPiece,
                                   5 * kPiece + 3),
            static_cast<long>(kPiece));
  EXPECT_TRUE(
      std::equal(viaDescriptor.begin(), viaDescriptor.end(), fork.begin() + 5 * kPiece + 3));
  Bytes infoRead(32);
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, nullptr, 0, 0), 32);
  EXPECT_EQ(platform::getAttribute(fd, platform::kFinderInfoAttr, infoRead.data(), 32, 0), 32);
  EXPECT_EQ(infoRead, info);
  ::close(fd);
  EXPECT_EQ(readFile(path), Bytes({'d', 'a', 't', 'a', ' ', 'f', 'o', 'r', 'k'}))
      << "the data fork is untouched";
}

// An AppleDouble reader written from RFC 1740 alone: it checks the header and writes out the
// Finder information (entry 9) and the resource fork (entry 2).
const char kAppleDoubleReader[] = R"(
import struct, sys
data = open(sys.argv[1], 'rb').read()
magic, version = struct.unpack('>II', data[0:8])
assert magic == 0x00051607, hex(magic)
assert version == 0x00020000, hex(version)
(count,) = struct.unpack('>H', data[24:26])
entries = {}
for i in range(count):
    eid, offset, length = struct.unpack('>III', data[26 + 12 * i:38 + 12 * i])
    assert offset + length <= len(data)
    entries[eid] = data[offset:offset + length]
open(sys.argv[2], 'wb').write(entries[9])
open(sys.argv[3], 'wb').write(entries[2])
print(count)
)";

TEST_F(AttributesTest, TheSidecarIsStandardAppleDoubleVersion2) {
  const Bytes fork = pattern(200000, 3);
  const Bytes info = finderInfoValue();
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(),
                                   fork.size(), 0),
            0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 32, 0), 0);
  ASSERT_TRUE(exists(sidecar));

  const std::string script = folder.path("reader.py");
  writeFile(script, kAppleDoubleReader);
  const std::string command = "python3 '" + script + "' '" + sidecar + "' '" +
                              folder.path("info.bin") + "' '" + folder.path("fork.bin") + "' > '" +
                              folder.path("out.txt") + "' 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0) << std::string(
      readFile(folder.path("out.txt")).begin(), readFile(folder.path("out.txt")).end());
  EXPECT_EQ(readFile(folder.path("info.bin")), info);
  EXPECT_EQ(readFile(folder.path("fork.bin")), fork);
}

TEST_F(AttributesTest, AForkWrittenAtPositionZeroIsReplaced) {
  const Bytes first = pattern(5000, 1);
  const Bytes second = pattern(300, 2);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, first.data(),
                                   first.size(), 0),
            0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, second.data(),
                                   second.size(), 0),
            0);
  EXPECT_EQ(forkSize(), 300);
  EXPECT_EQ(readFork(5000, 0), second);
}

TEST_F(AttributesTest, AWriteFurtherOnKeepsTheForkAndGrowsIt) {
  const Bytes head = pattern(100, 1);
  const Bytes patch = pattern(20, 2);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, head.data(), 100, 0),
            0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, patch.data(), 20, 90),
            0);
  Bytes expected(head.begin(), head.begin() + 90);
  expected.insert(expected.end(), patch.begin(), patch.end());
  EXPECT_EQ(forkSize(), 110);
  EXPECT_EQ(readFork(200, 0), expected);
}

TEST_F(AttributesTest, AllZeroFinderInfoAndAnEmptyForkCountAsNone) {
  const Bytes zeros(32, 0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, zeros.data(), 32, 0),
            0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, nullptr, 0, 0), 0);
  errno = 0;
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, nullptr, 0, 0), -1);
  EXPECT_EQ(errno, ENODATA);
  errno = 0;
  EXPECT_EQ(forkSize(), -1);
  EXPECT_EQ(errno, ENODATA);
}

TEST_F(AttributesTest, FinderInfoIsWrittenAndReadWhole) {
  const Bytes info = finderInfoValue();
  errno = 0;
  EXPECT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 10, 0),
            -1);
  EXPECT_EQ(errno, ERANGE);
  errno = 0;
  EXPECT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 32, 4),
            -1);
  EXPECT_EQ(errno, EINVAL);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 32, 0), 0);
  Bytes small(16);
  errno = 0;
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, small.data(), 16, 0),
            -1);
  EXPECT_EQ(errno, ERANGE);
}

TEST_F(AttributesTest, RemovingAttributesRemovesTheSidecar) {
  const Bytes info = finderInfoValue();
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 32, 0), 0);
  ASSERT_TRUE(exists(sidecar));
  EXPECT_EQ(platform::removeAttributes(path.c_str()), 0);
  EXPECT_FALSE(exists(sidecar));
  EXPECT_EQ(platform::removeAttributes(path.c_str()), 0) << "none left is no failure";
}

TEST_F(AttributesTest, RemovingOneAttributeKeepsTheOther) {
  const Bytes info = finderInfoValue();
  const Bytes fork = pattern(64, 5);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 32, 0), 0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(), 64, 0),
            0);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(platform::removeAttribute(fd, platform::kResourceForkAttr), 0);
  errno = 0;
  EXPECT_EQ(platform::removeAttribute(fd, platform::kResourceForkAttr), -1);
  EXPECT_EQ(errno, ENODATA);
  ::close(fd);
  EXPECT_EQ(forkSize(), -1);
  Bytes read(32);
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, read.data(), 32, 0),
            32);
  EXPECT_EQ(read, info);
}

TEST_F(AttributesTest, ASymbolicLinkGivesTheAttributesOfItsTarget) {
  const Bytes fork = pattern(10, 9);
  const std::string link = folder.path("link");
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  ASSERT_EQ(platform::setAttribute(link.c_str(), platform::kResourceForkAttr, fork.data(), 10, 0),
            0);
  EXPECT_TRUE(exists(sidecar));
  EXPECT_FALSE(exists(folder.path("._link")));
  EXPECT_EQ(forkSize(), 10);
}

// A sidecar of another layout (written by another tool: the fork first, then the Finder
// information) is read as it is and rebuilt on the first write, keeping what it held.
TEST_F(AttributesTest, ASidecarOfAnotherLayoutIsReadAndRebuiltOnWrite) {
  const Bytes info = finderInfoValue();
  Bytes file = {0x00, 0x05, 0x16, 0x07, 0x00, 0x02, 0x00, 0x00};
  file.resize(24, ' ');
  file.insert(file.end(), {0x00, 0x02});
  file.insert(file.end(), {0, 0, 0, 2, 0, 0, 0, 50, 0, 0, 0, 4});
  file.insert(file.end(), {0, 0, 0, 9, 0, 0, 0, 54, 0, 0, 0, 32});
  file.insert(file.end(), {'A', 'B', 'C', 'D'});
  file.insert(file.end(), info.begin(), info.end());
  writeFile(sidecar, std::string(file.begin(), file.end()));

  EXPECT_EQ(readFork(10, 0), Bytes({'A', 'B', 'C', 'D'}));
  const Bytes more = {'E', 'F'};
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, more.data(), 2, 4),
            0);
  EXPECT_EQ(readFork(10, 0), Bytes({'A', 'B', 'C', 'D', 'E', 'F'}));
  Bytes read(32);
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, read.data(), 32, 0),
            32);
  EXPECT_EQ(read, info);
}

TEST_F(AttributesTest, AForeignDotUnderscoreFileIsNeitherReadNorOverwritten) {
  writeFile(sidecar, "not an AppleDouble file at all, but somebody's notes");
  const Bytes before = readFile(sidecar);
  EXPECT_EQ(forkSize(), -1);
  const Bytes fork = pattern(10, 1);
  EXPECT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(), 10, 0),
            -1);
  EXPECT_EQ(readFile(sidecar), before);
}

TEST_F(AttributesTest, AnOpenFileThatWasRemovedHasNoSidecar) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::unlink(path.c_str()), 0);
  const Bytes info = finderInfoValue();
  errno = 0;
  EXPECT_EQ(platform::setAttribute(fd, platform::kFinderInfoAttr, info.data(), 32, 0), -1);
  EXPECT_EQ(errno, ENOENT);
  ::close(fd);
  EXPECT_FALSE(exists(sidecar));
}

TEST_F(AttributesTest, OtherAttributeNamesAreNotStored) {
  const Bytes value = {1, 2, 3};
  EXPECT_EQ(platform::setAttribute(path.c_str(), "user.comment", value.data(), 3, 0), -1);
  EXPECT_EQ(platform::getAttribute(path.c_str(), "user.comment", nullptr, 0, 0), -1);
  EXPECT_FALSE(exists(sidecar));
}

// ---- Sidecars that come from elsewhere ------------------------------------------------------

struct RawEntry {
  uint32_t id;
  uint32_t offset;
  uint32_t length;
};

void appendBigEndian32(Bytes& bytes, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<unsigned char>(value >> shift));
}

// An AppleDouble file with the entry list given as it stands (offsets and lengths unchecked),
// followed by body.
Bytes appleDouble(const std::vector<RawEntry>& entries, const Bytes& body) {
  Bytes file = {0x00, 0x05, 0x16, 0x07, 0x00, 0x02, 0x00, 0x00};
  file.resize(24, ' ');
  file.push_back(static_cast<unsigned char>(entries.size() >> 8));
  file.push_back(static_cast<unsigned char>(entries.size()));
  for (const RawEntry& entry : entries) {
    appendBigEndian32(file, entry.id);
    appendBigEndian32(file, entry.offset);
    appendBigEndian32(file, entry.length);
  }
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

uint32_t bigEndian32(const Bytes& bytes, size_t at) {
  return uint32_t{bytes.at(at)} << 24 | uint32_t{bytes.at(at + 1)} << 16 |
         uint32_t{bytes.at(at + 2)} << 8 | bytes.at(at + 3);
}

// The entries of an AppleDouble file by id, after RFC 1740.
std::map<uint32_t, Bytes> entriesOf(const Bytes& file) {
  std::map<uint32_t, Bytes> entries;
  const size_t count = size_t{file.at(24)} << 8 | file.at(25);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t id = bigEndian32(file, 26 + 12 * i);
    const uint32_t offset = bigEndian32(file, 30 + 12 * i);
    const uint32_t length = bigEndian32(file, 34 + 12 * i);
    EXPECT_LE(uint64_t{offset} + length, file.size());
    entries[id] = Bytes(file.begin() + offset, file.begin() + offset + length);
  }
  return entries;
}

void writeBytes(const std::string& path, const Bytes& bytes) {
  writeFile(path, std::string(bytes.begin(), bytes.end()));
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// The resource fork of a private file must not become readable by others.
TEST_F(AttributesTest, ANewSidecarTakesTheDataFilesPermissionBits) {
  const Bytes fork = pattern(10, 4);
  const Bytes info = finderInfoValue();
  const struct {
    mode_t data;
    mode_t mask;
    mode_t sidecar;
  } cases[] = {{0600, 022, 0600}, {0640, 022, 0640}, {0666, 027, 0640}, {0644, 077, 0600}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    ::unlink(sidecar.c_str());
    ASSERT_EQ(::chmod(path.c_str(), c.data), 0);
    const mode_t saved = ::umask(c.mask);
    const int written = platform::setAttribute(path.c_str(), platform::kResourceForkAttr,
                                               fork.data(), fork.size(), 0);
    ::umask(saved);
    ASSERT_EQ(written, 0);
    EXPECT_EQ(modeOf(sidecar), c.sidecar);
  }
  // A sidecar of another layout that a write rebuilds takes them too.
  writeBytes(sidecar, appleDouble({{2, 50, 4}, {9, 54, 32}}, Bytes(4, 'F')));
  Bytes body = {'A', 'B', 'C', 'D'};
  body.insert(body.end(), info.begin(), info.end());
  writeBytes(sidecar, appleDouble({{2, 50, 4}, {9, 54, 32}}, body));
  ASSERT_EQ(::chmod(sidecar.c_str(), 0666), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(), 2, 4),
            0);
  EXPECT_EQ(modeOf(sidecar), 0600u);
}

// A fork written into an old sidecar that others may read must not stay readable beside a
// private file.
TEST_F(AttributesTest, AWriteIntoAnOldSidecarGivesItTheDataFilesPermissionBits) {
  const Bytes fork = pattern(10, 4);
  ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(), 10, 0),
            0);
  ASSERT_EQ(::chmod(sidecar.c_str(), 0644), 0);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(), 4, 10),
            0);
  EXPECT_EQ(modeOf(sidecar), 0600u);
  EXPECT_EQ(forkSize(), 14);
}

// Devices, pipes and folders keep no Finder information or resource fork: nothing beside them is
// read, made or written.
TEST_F(AttributesTest, AFileThatIsNotRegularHasNoAttributes) {
  const Bytes fork = pattern(10, 5);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(), 10, 0),
            0);
  const std::string pipe = folder.path("pipe");
  const std::string beside = folder.path("._pipe");
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  ASSERT_EQ(::rename(sidecar.c_str(), beside.c_str()), 0);
  const Bytes before = readFile(beside);
  const std::string dir = folder.path("dir");
  ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
  for (const std::string& file : {pipe, dir}) {
    SCOPED_TRACE(file);
    errno = 0;
    EXPECT_EQ(platform::getAttribute(file.c_str(), platform::kResourceForkAttr, nullptr, 0, 0), -1);
    EXPECT_EQ(errno, ENODATA);
    errno = 0;
    EXPECT_EQ(platform::setAttribute(file.c_str(), platform::kResourceForkAttr, fork.data(), 10, 0),
              -1);
    EXPECT_EQ(errno, ENOTSUP);
  }
  EXPECT_EQ(readFile(beside), before);
  EXPECT_FALSE(exists(folder.path("._dir")));
}

// A "._name" that is a symbolic link would let a write create or replace whatever it points at.
TEST_F(AttributesTest, ASidecarThatIsASymbolicLinkIsRefused) {
  const std::string victim = folder.path("victim");
  writeFile(victim, "precious");
  const std::string absent = folder.path("absent");
  const Bytes fork = pattern(10, 5);
  const Bytes info = finderInfoValue();
  for (const std::string& target : {victim, absent}) {
    SCOPED_TRACE(target);
    ::unlink(sidecar.c_str());
    ASSERT_EQ(::symlink(target.c_str(), sidecar.c_str()), 0);
    errno = 0;
    EXPECT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(),
                                     fork.size(), 0),
              -1);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 32, 0),
              -1);
    EXPECT_EQ(forkSize(), -1);
  }
  EXPECT_EQ(readFile(victim), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  EXPECT_FALSE(exists(absent));
}

// Entries that reach past the end of the file, or into the header and entry list, make the file
// no AppleDouble file: nothing is read from it and no write touches it.
TEST_F(AttributesTest, EntriesOutsideTheFileOrOverTheHeaderAreRefused) {
  const Bytes info = finderInfoValue();
  Bytes body = info;                         // at 50
  body.insert(body.end(), {'A', 'B', 'C'});  // at 82, up to the end at 85
  const std::pair<const char*, std::vector<RawEntry>> cases[] = {
      {"a fork of 4 GB in 3 bytes", {{2, 82, 0xFFFFFF00u}, {9, 50, 32}}},
      {"a fork one byte past the end", {{2, 82, 4}, {9, 50, 32}}},
      {"Finder information over the magic number", {{2, 82, 3}, {9, 0, 32}}},
      {"a fork inside the entry list", {{9, 50, 32}, {2, 40, 3}}},
      {"an empty fork past the end", {{2, 200, 0}, {9, 50, 32}}},
  };
  const Bytes fork = pattern(6, 6);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    const Bytes file = appleDouble(c.second, body);
    writeBytes(sidecar, file);
    EXPECT_EQ(forkSize(), -1);
    Bytes read(32);
    EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, read.data(), 32, 0),
              -1);
    EXPECT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, info.data(), 32, 0),
              -1);
    EXPECT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(),
                                     fork.size(), 2),
              -1);
    EXPECT_EQ(readFile(sidecar), file);
  }
}

// A sidecar made by another tool (the fork not last, a real name, dates, Finder information with
// more than its 32 bytes) keeps everything the plug-in does not write, byte for byte.
TEST_F(AttributesTest, ARebuildKeepsEveryEntryItDoesNotOwn) {
  const Bytes realName = {'r', 'e', 'p', 'o', 'r', 't', '.', 't', 'x', 't'};
  const Bytes dates = pattern(16, 7);
  Bytes longInfo = finderInfoValue();
  const Bytes extended = pattern(18, 8);
  longInfo.insert(longInfo.end(), extended.begin(), extended.end());
  Bytes body = realName;                                      // entry 3 at 74
  body.insert(body.end(), {'A', 'B', 'C', 'D'});              // entry 2 at 84
  body.insert(body.end(), longInfo.begin(), longInfo.end());  // entry 9 at 88
  body.insert(body.end(), dates.begin(), dates.end());        // entry 8 at 138
  writeBytes(sidecar, appleDouble({{3, 74, 10}, {2, 84, 4}, {9, 88, 50}, {8, 138, 16}}, body));

  const Bytes more = {'E', 'F'};
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, more.data(), 2, 4),
            0);
  std::map<uint32_t, Bytes> entries = entriesOf(readFile(sidecar));
  EXPECT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries[3], realName);
  EXPECT_EQ(entries[8], dates);
  EXPECT_EQ(entries[9], longInfo);
  EXPECT_EQ(entries[2], Bytes({'A', 'B', 'C', 'D', 'E', 'F'}));

  Bytes newInfo(32, 0x11);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kFinderInfoAttr, newInfo.data(), 32, 0),
            0);
  entries = entriesOf(readFile(sidecar));
  newInfo.insert(newInfo.end(), extended.begin(), extended.end());
  EXPECT_EQ(entries[9], newInfo);
  EXPECT_EQ(entries[3], realName);
  EXPECT_EQ(entries[8], dates);
}

// A file that replaces another by a rename takes its own Finder information and fork along, and
// what other tools kept in the old sidecar stays.
TEST_F(AttributesTest, MovedAttributesKeepTheEntriesOfTheOldSidecarThatThePlugInDoesNotOwn) {
  const Bytes realName = {'r', 'e', 'p', 'o', 'r', 't'};
  const Bytes extended = pattern(18, 8);
  Bytes oldInfo = finderInfoValue();
  oldInfo.insert(oldInfo.end(), extended.begin(), extended.end());
  Bytes body = realName;                                    // entry 3 at 62
  body.insert(body.end(), oldInfo.begin(), oldInfo.end());  // entry 9 at 68
  body.insert(body.end(), {'O', 'L', 'D'});                 // entry 2 at 118
  const Bytes old = appleDouble({{3, 62, 6}, {9, 68, 50}, {2, 118, 3}}, body);
  const std::string fresh = folder.path("fresh");
  const Bytes fork = pattern(3000, 9);
  Bytes newInfo(32, 0x22);
  for (bool withAttributes : {true, false}) {
    SCOPED_TRACE(withAttributes);
    writeFile(fresh, "new data");
    writeBytes(sidecar, old);
    if (withAttributes) {
      ASSERT_EQ(platform::setAttribute(fresh.c_str(), platform::kResourceForkAttr, fork.data(),
                                       fork.size(), 0),
                0);
      ASSERT_EQ(
          platform::setAttribute(fresh.c_str(), platform::kFinderInfoAttr, newInfo.data(), 32, 0),
          0);
    }
    ASSERT_EQ(platform::replaceFile(fresh.c_str(), path.c_str()), 0);
    EXPECT_EQ(readFile(path), Bytes({'n', 'e', 'w', ' ', 'd', 'a', 't', 'a'}));
    EXPECT_FALSE(exists(fresh));
    EXPECT_FALSE(exists(folder.path("._fresh")));
    std::map<uint32_t, Bytes> entries = entriesOf(readFile(sidecar));
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[3], realName);
    // The Finder information, then what other tools keep after it. Built in place: GCC 12 at -O3
    // takes a copy of either of two vectors grown by insert for a read past its end.
    Bytes info(32 + extended.size(), 0);
    if (withAttributes) std::copy(newInfo.begin(), newInfo.end(), info.begin());
    std::copy(extended.begin(), extended.end(), info.begin() + 32);
    EXPECT_EQ(entries[9], info);
    EXPECT_EQ(entries[2], withAttributes ? fork : Bytes());
  }
}

// An old sidecar of only the plug-in's entries is replaced by the new one, or goes with it.
TEST_F(AttributesTest, MovedAttributesReplaceAnOldSidecarOfOnlyThePlugInsEntries) {
  const Bytes fork = pattern(100, 10);
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, fork.data(), 100, 0),
            0);
  const std::string fresh = folder.path("fresh");
  writeFile(fresh, "new data");
  ASSERT_EQ(platform::replaceFile(fresh.c_str(), path.c_str()), 0);
  EXPECT_FALSE(exists(sidecar));
  writeFile(fresh, "newer data");
  ASSERT_EQ(platform::setAttribute(fresh.c_str(), platform::kResourceForkAttr, fork.data(), 10, 0),
            0);
  ASSERT_EQ(::chmod(fresh.c_str(), 0600), 0);
  ASSERT_EQ(platform::replaceFile(fresh.c_str(), path.c_str()), 0);
  EXPECT_EQ(forkSize(), 10);
  EXPECT_FALSE(exists(folder.path("._fresh")));
}

// Entry 9 holds 32 bytes; a shorter one holds no Finder information, whatever its bytes say.
TEST_F(AttributesTest, AFinderInfoEntryShorterThan32BytesIsNone) {
  const Bytes info = finderInfoValue();
  Bytes body(info.begin(), info.begin() + 10);
  body.insert(body.end(), {'A', 'B'});
  writeBytes(sidecar, appleDouble({{9, 50, 10}, {2, 60, 2}}, body));
  Bytes read(32);
  errno = 0;
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, read.data(), 32, 0),
            -1);
  EXPECT_EQ(errno, ENODATA);
  EXPECT_EQ(readFork(10, 0), Bytes({'A', 'B'}));
  // A fork write rebuilds the sidecar; the short entry does not become Finder information.
  const Bytes more = {'C'};
  ASSERT_EQ(platform::setAttribute(path.c_str(), platform::kResourceForkAttr, more.data(), 1, 2),
            0);
  EXPECT_EQ(platform::getAttribute(path.c_str(), platform::kFinderInfoAttr, read.data(), 32, 0),
            -1);
  EXPECT_EQ(readFork(10, 0), Bytes({'A', 'B', 'C'}));
}

// ---- Colon paths ----------------------------------------------------------------------------

struct ColonCase {
  std::u16string colon;
  std::u16string posix;
};

TEST(ColonPathTest, ColonPathsBecomePosixPaths) {
  const ColonCase cases[] = {
      {u"Macintosh HD:tmp:a.txt", u"/tmp/a.txt"},
      {u"Macintosh HD:tmp:folder:", u"/tmp/folder"},  // a trailing ':' names a folder
      {u"Macintosh HD:", u"/"},
      {u"Disk:a/b:c", u"/a:b/c"},  // '/' inside a name
      {u":docs:a.txt", u"docs/a.txt"},
      {u":docs:", u"docs"},
      {u"::a", u"../a"},
      {u":::a:b", u"../../a/b"},
      {u"Disk:a::b", u"/a/../b"},
      {u"Disk:a::", u"/a/.."},
      {u":", u"."},
      {u"::", u".."},
      {u"report.txt", u"report.txt"},  // a bare name stays as it is
      {u"Disk:\u00e9t\u00e9:\U0001F600", u"/\u00e9t\u00e9/\U0001F600"},
  };
  for (const ColonCase& c : cases) {
    std::u16string posix = u"unchanged";
    SCOPED_TRACE(std::string(c.colon.begin(), c.colon.end()));
    ASSERT_TRUE(platform::colonPathToPosix(c.colon, posix));
    EXPECT_EQ(posix, c.posix);
  }
}

TEST(ColonPathTest, PathsThatCannotBeConvertedFailLeavingTheResultAlone) {
  const std::u16string failing[] = {u"",
                                    std::u16string(u"Disk:a") + char16_t(0xD800),
                                    std::u16string(1, char16_t(0xDC00)) + u":b",
                                    u":..:etc",
                                    u"Disk:a:..:b",
                                    u"Disk:a:..",
                                    u"..",
                                    std::u16string(u"Disk:a\0b", 8),
                                    std::u16string(u"na\0me", 5)};
  for (const std::u16string& colon : failing) {
    std::u16string posix = u"unchanged";
    EXPECT_FALSE(platform::colonPathToPosix(colon, posix));
    EXPECT_EQ(posix, u"unchanged");
  }
}

// ---- Basename -------------------------------------------------------------------------------

TEST(BasenameTest, FollowsThePosixRule) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/lib/libz.so", "libz.so"},
      {"/usr/lib/", "lib"},
      {"dir//", "dir"},
      {"name", "name"},
      {"/", "/"},
      {"///", "/"},
      {"", "."},
      {"a/b.c/", "b.c"},
      {"/x", "x"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(platform::basename(c.first), c.second) << c.first;
  }
}

// ---- Sockets above FD_SETSIZE ---------------------------------------------------------------

// A host with many files open hands the plug-in descriptors above 1023, which a select() would
// write past its set for: every wait and probe must work there as anywhere.
TEST(SocketWaitTest, WaitsAndProbesWorkOnDescriptorsAbove1023) {
  constexpr int kHigh = 1500;
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur <= kHigh) {
    if (limit.rlim_max <= kHigh) GTEST_SKIP() << "descriptors above 1500 are not allowed here";
    limit.rlim_cur = kHigh + 1;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  }
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(dup2(pair[0], kHigh), kHigh);
  close(pair[0]);
  EXPECT_TRUE(platform::waitWritable(kHigh, 0));
  EXPECT_FALSE(platform::waitReadable(kHigh, 1));
  EXPECT_FALSE(platform::probeConnection(kHigh).peerClosed);
  ASSERT_EQ(write(pair[1], "x", 1), 1);
  EXPECT_TRUE(platform::waitReadable(kHigh, 0));
  close(pair[1]);
  EXPECT_TRUE(platform::probeConnection(kHigh).peerClosed);
  close(kHigh);
}

// A receive that may wait sleeps in the read itself, with the socket blocking for that one call;
// every other call never waits, whatever mode the socket is in.
TEST(SocketWaitTest, AWaitingReceiveSleepsInTheReadAndLeavesTheSocketNonBlocking) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  char byte = 0;
  ASSERT_TRUE(platform::setReceiveWait(pair[0], 1));
  errno = 0;
  EXPECT_EQ(platform::receiveWaiting(pair[0], &byte, 1), -1) << "nothing came within the wait";
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  EXPECT_NE(fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);

  // The writer sends once the reader sleeps: a read that did not wait would find nothing.
  ASSERT_TRUE(platform::setReceiveWait(pair[0], 60000));
  const std::string state = "/proc/self/task/" + std::to_string(gettid()) + "/stat";
  std::thread writer([&] {
    auto asleep = [&] {
      std::ifstream in(state);
      std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      size_t end = line.rfind(')');
      return end != std::string::npos && line.compare(end + 1, 3, " S ") == 0;
    };
    while (!asleep()) std::this_thread::yield();
    EXPECT_EQ(write(pair[1], "w", 1), 1);
  });
  EXPECT_EQ(platform::receiveWaiting(pair[0], &byte, 1), 1);
  writer.join();
  EXPECT_EQ(byte, 'w');
  EXPECT_NE(fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);

  close(pair[1]);
  EXPECT_EQ(platform::receiveWaiting(pair[0], &byte, 1), 0) << "the peer closed";
  close(pair[0]);

  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  EXPECT_EQ(platform::receiveNow(pair[0], &byte, 1), -1) << "a blocking socket read now";
  ASSERT_EQ(fcntl(pair[1], F_SETFL, 0), 0);
  std::string full(1 << 22, 'f');
  EXPECT_LT(platform::sendWithoutSignal(pair[1], full.data(), full.size()),
            static_cast<long>(full.size()))
      << "a blocking socket written past its buffer";
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
