// Finder information and resource forks, which macOS keeps as the extended attributes
// "com.apple.FinderInfo" and "com.apple.ResourceFork" and reads and writes at byte positions
// (getxattr and setxattr with a position). Linux attributes have no positions, ext4 caps a value
// near one block and every Linux file system at 64 KB, far below a real resource fork. So both
// live where macOS itself puts them on volumes without extended attributes: an AppleDouble file
// (version 2, RFC 1740) named "._" + the file's name in the same folder, with entry 9 (Finder
// information, 32 bytes) and entry 2 (the resource fork). A fork read or write at a position is a
// pread or pwrite at the entry's offset plus the position; the fork is kept the last entry so it
// can grow in place. A missing sidecar or entry is "no such attribute": ENODATA, where macOS
// answers ENOATTR.
//
// The sidecar lies in a folder others may write to and may come from another tool, so it is
// read with suspicion: a symbolic link is never followed (a write would land in the link's
// target), an entry that reaches past the file or into the header is no AppleDouble file, and a
// sidecar is made or rebuilt beside its place and renamed over it, with the data file's
// permission bits and owner (one written in place is given them), so that a private file's fork
// stays private and its owner's. A file put in the place of another takes its sidecar along by
// renames that are undone, the last first, when one of them fails. Entries the plug-in does not own
// (a real name, dates, Finder information past its 32 bytes) are kept byte for byte. Only a regular
// file has a sidecar: "/dev/._null" is nobody's.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"

namespace platform {

namespace {

testing::RenameHook& renameHook() {
  static testing::RenameHook hook;
  return hook;
}

constexpr uint32_t kMagic = 0x00051607;
constexpr uint32_t kVersion2 = 0x00020000;
constexpr uint32_t kVersion1 = 0x00010000;
constexpr uint32_t kEntryResourceFork = 2;
constexpr uint32_t kEntryFinderInfo = 9;
constexpr size_t kFinderInfoSize = 32;
// Magic, version, 16 filler bytes and the entry count; then 12 bytes per entry.
constexpr size_t kHeaderSize = 26;
constexpr size_t kDescriptorSize = 12;
// Offsets and lengths of AppleDouble entries are 32-bit.
constexpr uint64_t kMaxEntryEnd = UINT32_MAX;

enum class Attribute { FinderInfo, ResourceFork, Unknown };

Attribute attributeNamed(const char* name) {
  if (name == nullptr) return Attribute::Unknown;
  if (std::strcmp(name, kFinderInfoAttr) == 0) return Attribute::FinderInfo;
  if (std::strcmp(name, kResourceForkAttr) == 0) return Attribute::ResourceFork;
  return Attribute::Unknown;
}

uint32_t entryIdOf(Attribute attribute) {
  return attribute == Attribute::FinderInfo ? kEntryFinderInfo : kEntryResourceFork;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

uint32_t readBigEndian32(const unsigned char* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 |
         uint32_t{bytes[3]};
}

void writeBigEndian32(unsigned char* bytes, uint32_t value) {
  bytes[0] = static_cast<unsigned char>(value >> 24);
  bytes[1] = static_cast<unsigned char>(value >> 16);
  bytes[2] = static_cast<unsigned char>(value >> 8);
  bytes[3] = static_cast<unsigned char>(value);
}

// Moves all `size` bytes at `offset` with pread or pwrite, across short counts and signals; a
// call that moves nothing sets EIO.
template <typename Call, typename Byte>
bool transferAllAt(Call call, int fd, Byte* bytes, size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = call(fd, bytes, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

bool readAllAt(int fd, void* buffer, size_t size, off_t offset) {
  return transferAllAt(::pread, fd, static_cast<unsigned char*>(buffer), size, offset);
}

bool writeAllAt(int fd, const void* buffer, size_t size, off_t offset) {
  return transferAllAt(::pwrite, fd, static_cast<const unsigned char*>(buffer), size, offset);
}

// ---- Where the sidecar lies -----------------------------------------------------------------

// "dir/name" gives "dir/._name"; trailing slashes do not count. Empty for "/" and "".
std::string sidecarPathOf(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path == "/") return std::string();
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "._" + path;
  return path.substr(0, slash + 1) + "._" + path.substr(slash + 1);
}

// The file the path names once symbolic links are followed; errno set when there is none.
bool resolvePath(const char* path, std::string& resolved) {
  if (path == nullptr || *path == 0) {
    errno = ENOENT;
    return false;
  }
  char* real = ::realpath(path, nullptr);
  if (real == nullptr) return false;
  resolved = real;
  std::free(real);
  return true;
}

// The file an open descriptor refers to, through /proc. A file already removed has none.
bool pathOfDescriptor(int fd, std::string& path) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  std::vector<char> target(PATH_MAX + 1);
  ssize_t n = ::readlink(link, target.data(), target.size() - 1);
  if (n <= 0) return false;
  path.assign(target.data(), static_cast<size_t>(n));
  if (st.st_nlink == 0 || path.empty() || path[0] != '/') {
    errno = ENOENT;
    return false;
  }
  return true;
}

// ---- The AppleDouble file -------------------------------------------------------------------

struct Entry {
  uint32_t id = 0;
  uint32_t offset = 0;
  uint32_t length = 0;
  uint32_t index = 0;  // its place in the descriptor list
};

struct Sidecar {
  std::vector<Entry> entries;
  uint64_t tableEnd = kHeaderSize;  // where the header and entry list end
  const Entry* find(uint32_t id) const {
    for (const Entry& entry : entries) {
      if (entry.id == id) return &entry;
    }
    return nullptr;
  }
};

off_t descriptorOffset(const Entry& entry) {
  return static_cast<off_t>(kHeaderSize + entry.index * kDescriptorSize);
}

// Reads the header and entry list; false with EINVAL when the file is no AppleDouble file: a
// bad magic number or version, or an entry that starts inside the header and entry list or
// ends past the end of the file (a crafted length would otherwise report a fork the file does
// not hold, and a write at a crafted offset would overwrite the header).
bool parseSidecar(int fd, Sidecar& sidecar) {
  struct stat st;
  unsigned char header[kHeaderSize];
  if (::fstat(fd, &st) != 0 || !readAllAt(fd, header, sizeof header, 0)) {
    errno = EINVAL;
    return false;
  }
  const uint32_t version = readBigEndian32(header + 4);
  if (readBigEndian32(header) != kMagic || (version != kVersion2 && version != kVersion1)) {
    errno = EINVAL;
    return false;
  }
  const unsigned count = unsigned{header[24]} << 8 | header[25];
  std::vector<unsigned char> list(count * kDescriptorSize);
  if (count > 0 && !readAllAt(fd, list.data(), list.size(), kHeaderSize)) {
    errno = EINVAL;
    return false;
  }
  sidecar.entries.clear();
  sidecar.tableEnd = kHeaderSize + count * kDescriptorSize;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned char* d = list.data() + i * kDescriptorSize;
    Entry entry{readBigEndian32(d), readBigEndian32(d + 4), readBigEndian32(d + 8), i};
    const uint64_t end = uint64_t{entry.offset} + entry.length;
    if (entry.offset < sidecar.tableEnd || end > static_cast<uint64_t>(st.st_size)) {
      errno = EINVAL;
      return false;
    }
    sidecar.entries.push_back(entry);
  }
  return true;
}

// Whether a write can go into the sidecar as it is: the Finder information has its 32 bytes,
// and the fork lies after every other entry, so that it can grow without moving them.
bool writableInPlace(const Sidecar& sidecar) {
  const Entry* finder = sidecar.find(kEntryFinderInfo);
  const Entry* fork = sidecar.find(kEntryResourceFork);
  if (finder == nullptr || fork == nullptr || finder->length < kFinderInfoSize) return false;
  for (const Entry& entry : sidecar.entries) {
    if (&entry != fork && uint64_t{entry.offset} + entry.length > fork->offset) return false;
  }
  return true;
}

// Reads what an entry of an existing sidecar holds.
bool readEntry(int fd, const Entry& entry, std::vector<unsigned char>& bytes) {
  bytes.assign(entry.length, 0);
  return entry.length == 0 || readAllAt(fd, bytes.data(), bytes.size(), entry.offset);
}

// One entry of a sidecar being written: its id and bytes.
struct Piece {
  uint32_t id;
  std::vector<unsigned char> bytes;
};

// The entries of a rebuilt sidecar: every entry of the old one in its order (a second entry 9
// or 2 is dropped: the first is the one read and written), a Finder information of at least 32
// bytes (a shorter one held none and becomes zeros), and the fork, which goes last.
bool collectPieces(int fd, const Sidecar* old, std::vector<Piece>& pieces) {
  bool haveFinder = false;
  bool haveFork = false;
  if (old != nullptr) {
    for (const Entry& entry : old->entries) {
      bool& owned = entry.id == kEntryFinderInfo ? haveFinder : haveFork;
      if (entry.id == kEntryFinderInfo || entry.id == kEntryResourceFork) {
        if (owned) continue;
        owned = true;
      }
      Piece piece{entry.id, {}};
      if (!readEntry(fd, entry, piece.bytes)) return false;
      if (entry.id == kEntryFinderInfo && piece.bytes.size() < kFinderInfoSize) {
        piece.bytes.assign(kFinderInfoSize, 0);
      }
      pieces.push_back(std::move(piece));
    }
  }
  if (!haveFinder) pieces.push_back({kEntryFinderInfo, std::vector<unsigned char>(32, 0)});
  if (!haveFork) pieces.push_back({kEntryResourceFork, {}});
  std::stable_partition(pieces.begin(), pieces.end(),
                        [](const Piece& piece) { return piece.id != kEntryResourceFork; });
  return true;
}

// The whole file of the pieces: header, entry list, then the entries in the list's order.
bool layOut(const std::vector<Piece>& pieces, std::vector<unsigned char>& file) {
  uint64_t offset = kHeaderSize + pieces.size() * kDescriptorSize;
  file.assign(offset, 0);
  writeBigEndian32(file.data(), kMagic);
  writeBigEndian32(file.data() + 4, kVersion2);
  file[24] = static_cast<unsigned char>(pieces.size() >> 8);
  file[25] = static_cast<unsigned char>(pieces.size());
  for (size_t i = 0; i < pieces.size(); ++i) {
    unsigned char* d = file.data() + kHeaderSize + i * kDescriptorSize;
    if (offset + pieces[i].bytes.size() > kMaxEntryEnd) {
      errno = EFBIG;
      return false;
    }
    writeBigEndian32(d, pieces[i].id);
    writeBigEndian32(d + 4, static_cast<uint32_t>(offset));
    writeBigEndian32(d + 8, static_cast<uint32_t>(pieces[i].bytes.size()));
    offset += pieces[i].bytes.size();
  }
  for (const Piece& piece : pieces) file.insert(file.end(), piece.bytes.begin(), piece.bytes.end());
  return true;
}

// Gives a new sidecar the owner and group of its data file where the process may give them away
// (root may): a file that only its owner may read keeps forks that its owner can read. Refused,
// the sidecar stays the caller's, as the data file does.
void takeOwnerOf(int fd, const struct stat& data) {
  if (data.st_uid == ::geteuid() && data.st_gid == ::getegid()) return;
  const int refused = ::fchown(fd, data.st_uid, data.st_gid);
  (void)refused;
}

// Writes the bytes of a sidecar into a new file beside its place, with its data file's permission
// bits (the umask applies) and owner: answers its name in `written`. On failure nothing is left.
bool writeSidecarBeside(const std::string& sidecarPath, const std::vector<unsigned char>& file,
                        const struct stat& data, std::string& written) {
  FileDescriptor out(createFileBeside(sidecarPath, data.st_mode & 0777, written));
  if (out.get() < 0) return false;
  takeOwnerOf(out.get(), data);
  if (writeAllAt(out.get(), file.data(), file.size(), 0)) return true;
  int saved = errno;
  ::unlink(written.c_str());
  errno = saved;
  return false;
}

// Writes the bytes of a sidecar beside its place and renames them over whatever is there: a link
// in its place is replaced, never followed. On failure nothing is left beside it.
bool replaceSidecar(const std::string& sidecarPath, const std::vector<unsigned char>& file,
                    const struct stat& data) {
  std::string temporary;
  if (!writeSidecarBeside(sidecarPath, file, data, temporary)) return false;
  if (renameFile(temporary.c_str(), sidecarPath.c_str()) == 0) return true;
  int saved = errno;
  ::unlink(temporary.c_str());
  errno = saved;
  return false;
}

// Writes a sidecar holding the entries of an old one (or none) in the layout written here in
// the old one's place.
bool rebuildSidecar(const std::string& sidecarPath, int fd, const Sidecar* old,
                    const struct stat& data) {
  std::vector<Piece> pieces;
  std::vector<unsigned char> file;
  if (!collectPieces(fd, old, pieces) || !layOut(pieces, file)) return false;
  return replaceSidecar(sidecarPath, file, data);
}

// Opens an existing sidecar without following a symbolic link (ELOOP for one) and without
// waiting on a FIFO; anything but a regular file is no sidecar (EINVAL).
int openSidecar(const std::string& sidecarPath, int access) {
  int fd = ::open(sidecarPath.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

// ---- Reading --------------------------------------------------------------------------------

bool allZero(const unsigned char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

long readFinderInfo(int fd, const Entry& entry, void* buffer, size_t size, uint32_t position) {
  // An entry too short to hold the 32 bytes holds no Finder information.
  unsigned char value[kFinderInfoSize] = {};
  if (entry.length >= kFinderInfoSize && !readAllAt(fd, value, sizeof value, entry.offset)) {
    return -1;
  }
  if (allZero(value, sizeof value)) {
    errno = ENODATA;
    return -1;
  }
  if (position != 0) {
    errno = EINVAL;
    return -1;
  }
  if (buffer == nullptr) return kFinderInfoSize;
  if (size < kFinderInfoSize) {
    errno = ERANGE;
    return -1;
  }
  std::memcpy(buffer, value, kFinderInfoSize);
  return kFinderInfoSize;
}

long readFork(int fd, const Entry& entry, void* buffer, size_t size, uint32_t position) {
  if (entry.length == 0) {
    errno = ENODATA;
    return -1;
  }
  if (buffer == nullptr) return entry.length;
  if (position >= entry.length) return 0;
  const size_t n = std::min<size_t>(size, entry.length - position);
  ssize_t got;
  do {
    got = ::pread(fd, buffer, n, static_cast<off_t>(entry.offset) + position);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool isRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

long readAttribute(const std::string& filePath, const char* name, void* buffer, size_t size,
                   uint32_t position) {
  const Attribute attribute = attributeNamed(name);
  if (attribute == Attribute::Unknown || !isRegularFile(filePath)) {
    errno = ENODATA;
    return -1;
  }
  FileDescriptor fd(openSidecar(sidecarPathOf(filePath), O_RDONLY));
  Sidecar sidecar;
  const Entry* entry = nullptr;
  if (fd.get() >= 0 && parseSidecar(fd.get(), sidecar)) entry = sidecar.find(entryIdOf(attribute));
  if (entry == nullptr) {
    errno = ENODATA;
    return -1;
  }
  if (attribute == Attribute::FinderInfo) {
    return readFinderInfo(fd.get(), *entry, buffer, size, position);
  }
  return readFork(fd.get(), *entry, buffer, size, position);
}

// ---- Writing --------------------------------------------------------------------------------

// Gives an open sidecar the data file's permission bits, and its owner where that can be given:
// an old sidecar that others could read must not keep a private file's new fork readable. False
// when the bits cannot be given.
bool matchesDataFile(int fd, const struct stat& data) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  const mode_t mode = data.st_mode & 0777;
  if ((st.st_mode & 0777) != mode && ::fchmod(fd, mode) != 0) return false;
  if (st.st_uid != data.st_uid || st.st_gid != data.st_gid) takeOwnerOf(fd, data);
  return true;
}

// Opens the sidecar for a write, making it or bringing it to the layout written here. A new or
// rebuilt sidecar takes the data file's permission bits (the umask applies) and owner, one written
// in place is given them.
int openForWrite(const std::string& filePath, const std::string& sidecarPath, Sidecar& sidecar) {
  struct stat data;
  if (::stat(filePath.c_str(), &data) != 0) return -1;
  if (!S_ISREG(data.st_mode)) {
    errno = ENOTSUP;
    return -1;
  }
  int fd = openSidecar(sidecarPath, O_RDWR);
  if (fd < 0 && errno != ENOENT) return -1;
  struct stat st;
  bool ready;
  bool rebuilt = false;
  if (fd < 0 || (::fstat(fd, &st) == 0 && st.st_size == 0)) {
    ready = rebuildSidecar(sidecarPath, -1, nullptr, data);
    rebuilt = true;
  } else if (!parseSidecar(fd, sidecar)) {
    ready = false;
  } else if (writableInPlace(sidecar) && matchesDataFile(fd, data)) {
    ready = true;
  } else {
    ready = rebuildSidecar(sidecarPath, fd, &sidecar, data);
    rebuilt = true;
  }
  if (ready && rebuilt) {
    // The new file replaced the one open here.
    if (fd >= 0) ::close(fd);
    fd = openSidecar(sidecarPath, O_RDWR);
    ready = fd >= 0 && parseSidecar(fd, sidecar) && writableInPlace(sidecar);
    if (fd >= 0 && !ready) errno = EIO;
  }
  if (!ready && fd >= 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return ready ? fd : -1;
}

bool setForkLength(int fd, const Entry& fork, uint32_t length) {
  unsigned char bytes[4];
  writeBigEndian32(bytes, length);
  return writeAllAt(fd, bytes, sizeof bytes, descriptorOffset(fork) + 8);
}

int writeFinderInfo(int fd, const Entry& entry, const void* value, size_t size, uint32_t position) {
  if (position != 0) {
    errno = EINVAL;
    return -1;
  }
  if (size != kFinderInfoSize) {
    errno = ERANGE;
    return -1;
  }
  return writeAllAt(fd, value, size, entry.offset) ? 0 : -1;
}

int writeFork(int fd, const Entry& fork, const void* value, size_t size, uint32_t position) {
  const uint64_t end = uint64_t{position} + size;
  if (fork.offset + end > kMaxEntryEnd) {
    errno = EFBIG;
    return -1;
  }
  const uint32_t length = position == 0
                              ? static_cast<uint32_t>(end)
                              : static_cast<uint32_t>(std::max<uint64_t>(fork.length, end));
  if (!writeAllAt(fd, value, size, static_cast<off_t>(fork.offset) + position)) return -1;
  if (position == 0 && ::ftruncate(fd, static_cast<off_t>(fork.offset) + size) != 0) return -1;
  return setForkLength(fd, fork, length) ? 0 : -1;
}

int writeAttribute(const std::string& filePath, const char* name, const void* value, size_t size,
                   uint32_t position) {
  const Attribute attribute = attributeNamed(name);
  if (attribute == Attribute::Unknown) {
    errno = ENOTSUP;
    return -1;
  }
  if (value == nullptr && size > 0) {
    errno = EINVAL;
    return -1;
  }
  const std::string sidecarPath = sidecarPathOf(filePath);
  Sidecar sidecar;
  FileDescriptor fd(openForWrite(filePath, sidecarPath, sidecar));
  if (fd.get() < 0) return -1;
  const Entry& entry = *sidecar.find(entryIdOf(attribute));
  if (attribute == Attribute::FinderInfo) {
    return writeFinderInfo(fd.get(), entry, value, size, position);
  }
  return writeFork(fd.get(), entry, value, size, position);
}

int clearAttribute(const std::string& filePath, const char* name) {
  const Attribute attribute = attributeNamed(name);
  if (attribute == Attribute::Unknown) {
    errno = ENODATA;
    return -1;
  }
  if (readAttribute(filePath, name, nullptr, 0, 0) < 0) return -1;
  if (attribute == Attribute::FinderInfo) {
    const unsigned char zeros[kFinderInfoSize] = {};
    return writeAttribute(filePath, name, zeros, sizeof zeros, 0);
  }
  return writeAttribute(filePath, name, nullptr, 0, 0);
}

// ---- Putting a file in the place of another, with its sidecar -----------------------------

// Whether the sidecar holds what another tool put there: an entry the plug-in does not own, or
// Finder information past its 32 bytes.
bool holdsForeignEntries(const Sidecar& sidecar) {
  for (const Entry& entry : sidecar.entries) {
    if (entry.id != kEntryFinderInfo && entry.id != kEntryResourceFork) return true;
    if (entry.id == kEntryFinderInfo && entry.length > kFinderInfoSize) return true;
  }
  return false;
}

// The bytes of an entry of a sidecar, or none when it has no such entry.
bool entryBytes(int fd, const Sidecar& sidecar, uint32_t id, std::vector<unsigned char>& bytes) {
  bytes.clear();
  const Entry* entry = fd >= 0 ? sidecar.find(id) : nullptr;
  return entry == nullptr || readEntry(fd, *entry, bytes);
}

// The entries of the old sidecar that the plug-in does not own, in their order, then the Finder
// information of the new one (32 bytes, followed by what the old one held past its 32) and its
// fork, last.
bool mergedPieces(int oldFd, const Sidecar& old, int newFd, const Sidecar& fresh,
                  std::vector<Piece>& pieces) {
  std::vector<unsigned char> oldInfo;
  for (const Entry& entry : old.entries) {
    if (entry.id == kEntryResourceFork) continue;
    std::vector<unsigned char> bytes;
    if (!readEntry(oldFd, entry, bytes)) return false;
    if (entry.id == kEntryFinderInfo) {
      if (oldInfo.empty()) oldInfo = std::move(bytes);
      continue;
    }
    pieces.push_back({entry.id, std::move(bytes)});
  }
  Piece info{kEntryFinderInfo, {}};
  Piece fork{kEntryResourceFork, {}};
  if (!entryBytes(newFd, fresh, kEntryFinderInfo, info.bytes) ||
      !entryBytes(newFd, fresh, kEntryResourceFork, fork.bytes)) {
    return false;
  }
  info.bytes.resize(kFinderInfoSize, 0);
  if (oldInfo.size() > kFinderInfoSize) {
    info.bytes.insert(info.bytes.end(), oldInfo.begin() + kFinderInfoSize, oldInfo.end());
  }
  pieces.push_back(std::move(info));
  pieces.push_back(std::move(fork));
  return true;
}

bool isEmptyFolder(const std::string& path) {
  DIR* folder = ::opendir(path.c_str());
  if (folder == nullptr) return false;
  bool empty = true;
  while (const dirent* entry = ::readdir(folder)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  ::closedir(folder);
  return empty;
}

// The renames that put a file and its sidecar in the place of another, each undone, the last
// first, unless all of them were made: a failure at any step leaves the file replaced and its
// sidecar exactly as they were. A rename undone is the one just made between the same two names,
// which the system has just allowed. What is set aside goes once all the renames were made.
class Replacement {
 public:
  Replacement() = default;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() {
    const int saved = errno;
    if (!done_) {
      for (auto move = moves_.rbegin(); move != moves_.rend(); ++move) {
        renameFile(move->second.c_str(), move->first.c_str());
      }
      for (const std::string& file : made_) ::unlink(file.c_str());
    }
    errno = saved;
  }

  bool rename(const std::string& from, const std::string& to) {
    if (renameFile(from.c_str(), to.c_str()) != 0) return false;
    moves_.emplace_back(from, to);
    return true;
  }
  // A file made for the replacement, removed when it fails.
  void made(const std::string& file) { made_.push_back(file); }
  // A file or an empty folder removed once the replacement is whole.
  void removeAtEnd(const std::string& path) { removed_.push_back(path); }
  void finish() {
    done_ = true;
    for (const std::string& path : removed_) {
      if (::unlink(path.c_str()) != 0 && errno == EISDIR) ::rmdir(path.c_str());
    }
  }

 private:
  std::vector<std::pair<std::string, std::string>> moves_;
  std::vector<std::string> made_;
  std::vector<std::string> removed_;
  bool done_ = false;
};

// The sidecar that takes the old one's place: the new file's own, or, when the old one holds
// entries of other tools, a merge of both written beside it. Empty when there is none (the old
// one, if any, then goes).
bool incomingSidecar(const std::string& newPath, const std::string& oldPath,
                     const struct stat& data, Replacement& replacement, std::string& incoming) {
  incoming.clear();
  FileDescriptor oldFd(openSidecar(oldPath, O_RDONLY));
  Sidecar old;
  // What another tool keeps in the old sidecar stays; a damaged one holds nothing to keep.
  if (oldFd.get() >= 0 && parseSidecar(oldFd.get(), old) && holdsForeignEntries(old)) {
    FileDescriptor newFd(openSidecar(newPath, O_RDONLY));
    if (newFd.get() < 0 && errno != ENOENT) return false;
    Sidecar fresh;
    if (newFd.get() >= 0 && !parseSidecar(newFd.get(), fresh)) return false;
    std::vector<Piece> pieces;
    std::vector<unsigned char> file;
    if (!mergedPieces(oldFd.get(), old, newFd.get(), fresh, pieces) || !layOut(pieces, file) ||
        !writeSidecarBeside(oldPath, file, data, incoming)) {
      return false;
    }
    replacement.made(incoming);
    // The new file's own sidecar is in the merge: it goes.
    replacement.removeAtEnd(newPath);
    return true;
  }
  struct stat st;
  if (::lstat(newPath.c_str(), &st) == 0) {
    incoming = newPath;
    return true;
  }
  return errno == ENOENT;
}

// Moves the old sidecar out of the way under a new name beside it, to be removed once the
// replacement is whole. A link, a pipe or a damaged file goes; so does an empty folder, when a
// sidecar takes its place. A folder with something in it stays: it fails a replacement that has a
// sidecar to put there (EISDIR). No old sidecar, or a name too long to name one, is nothing to do.
bool setAsideOldSidecar(const std::string& oldPath, bool replaced, Replacement& replacement) {
  struct stat st;
  if (::lstat(oldPath.c_str(), &st) != 0) return errno == ENOENT || errno == ENAMETOOLONG;
  const bool folder = S_ISDIR(st.st_mode);
  if (folder && !replaced) return true;
  if (folder && !isEmptyFolder(oldPath)) {
    errno = EISDIR;
    return false;
  }
  // A name of its own, taken by a new empty file that the rename replaces; a folder is renamed to
  // the name once it is free again.
  std::string aside;
  FileDescriptor reserved(createFileBeside(oldPath, 0600, aside));
  if (reserved.get() < 0) return false;
  if (folder) ::unlink(aside.c_str());
  if (!replacement.rename(oldPath, aside)) {
    int saved = errno;
    ::unlink(aside.c_str());
    errno = saved;
    return false;
  }
  replacement.removeAtEnd(aside);
  return true;
}

}  // namespace

long getAttribute(const char* path, const char* name, void* buffer, size_t size,
                  uint32_t position) {
  std::string resolved;
  if (!resolvePath(path, resolved)) return -1;
  return readAttribute(resolved, name, buffer, size, position);
}

long getAttribute(int fd, const char* name, void* buffer, size_t size, uint32_t position) {
  std::string path;
  if (!pathOfDescriptor(fd, path)) return -1;
  return readAttribute(path, name, buffer, size, position);
}

int setAttribute(const char* path, const char* name, const void* value, size_t size,
                 uint32_t position) {
  std::string resolved;
  if (!resolvePath(path, resolved)) return -1;
  return writeAttribute(resolved, name, value, size, position);
}

int setAttribute(int fd, const char* name, const void* value, size_t size, uint32_t position) {
  std::string path;
  if (!pathOfDescriptor(fd, path)) return -1;
  return writeAttribute(path, name, value, size, position);
}

int removeAttribute(int fd, const char* name) {
  std::string path;
  if (!pathOfDescriptor(fd, path)) return -1;
  return clearAttribute(path, name);
}

int removeAttributes(const char* path) {
  if (path == nullptr) {
    errno = ENOENT;
    return -1;
  }
  const std::string sidecarPath = sidecarPathOf(path);
  if (sidecarPath.empty() || ::unlink(sidecarPath.c_str()) == 0 || errno == ENOENT) return 0;
  return -1;
}

int replaceFile(const char* from, const char* to) {
  const std::string newPath = from != nullptr ? sidecarPathOf(from) : std::string();
  const std::string oldPath = to != nullptr ? sidecarPathOf(to) : std::string();
  if (newPath.empty() || oldPath.empty()) {
    errno = ENOENT;
    return -1;
  }
  struct stat data;
  if (::stat(from, &data) != 0) return -1;
  Replacement replacement;
  std::string incoming;
  if (!incomingSidecar(newPath, oldPath, data, replacement, incoming) ||
      !setAsideOldSidecar(oldPath, !incoming.empty(), replacement) ||
      (!incoming.empty() && !replacement.rename(incoming, oldPath)) ||
      !replacement.rename(from, to)) {
    return -1;
  }
  replacement.finish();
  return 0;
}

int renameFile(const char* from, const char* to) {
  if (renameHook()) {
    if (int code = renameHook()(from, to)) {
      errno = code;
      return -1;
    }
  }
  return ::rename(from, to);
}

void testing::setRenameHook(RenameHook hook) { renameHook() = std::move(hook); }

int createFileBeside(const std::string& path, unsigned mode, std::string& created) {
  static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  static uint64_t counter = 0;
  uint64_t seed = static_cast<uint64_t>(now.tv_nsec) ^ (uint64_t(::getpid()) << 32) ^ ++counter;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // 12 bytes, and not "._": the name is never taken for a sidecar.
    created = folder + ".zuv";
    for (int i = 0; i < 8; ++i) {
      seed = seed * 6364136223846793005ull + 1442695040888963407ull;
      created.push_back(kLetters[(seed >> 33) % (sizeof kLetters - 1)]);
    }
    int fd = ::open(created.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    static_cast<mode_t>(mode));
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace platform
