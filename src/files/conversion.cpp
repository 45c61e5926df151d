// The destination of the file conversions and the check that it is not the source: see
// conversion.h.

#include "files/conversion.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "files/xfile.h"
#include "platform/platform.h"

bool sameFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  struct stat from;
  struct stat to;
  if (xfile::stat(source, from) != 0 || xfile::stat(destination, to) != 0) return false;
  return from.st_dev == to.st_dev && from.st_ino == to.st_ino;
}

namespace {

// As many links as the system follows in one path.
constexpr int kMaxLinks = 40;

// The file that a path names once its final symbolic links are followed: the path itself when it
// is no link. The last link's target need not exist. False with errno (ELOOP past 40 links).
bool followLinks(std::string path, std::string& target) {
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
      target = path;
      return true;
    }
    std::vector<char> buffer(static_cast<size_t>(st.st_size) + 2);
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (n == 0 || static_cast<size_t>(n) == buffer.size()) {
      errno = n == 0 ? ENOENT : ENAMETOOLONG;
      return false;
    }
    std::string next(buffer.data(), static_cast<size_t>(n));
    const size_t slash = path.rfind('/');
    if (next[0] != '/' && slash != std::string::npos) next = path.substr(0, slash + 1) + next;
    path = next;
  }
  errno = ELOOP;
  return false;
}

// Gives the new file exactly the old one's permission bits, whatever the umask, and its owner
// where the system lets a process give a file away (root).
void takeModeAndOwner(int fd, const struct stat& old) {
  ::fchmod(fd, old.st_mode & 0777);
  if (old.st_uid == ::geteuid() && old.st_gid == ::getegid()) return;
  // Refused to anyone but root: the file then stays the caller's, as a new file would be.
  const int refused = ::fchown(fd, old.st_uid, old.st_gid);
  (void)refused;
}

// How long a read of a pipe sleeps on it before the host gets its next turn: one tick.
constexpr int kWaitSliceMs = 16;

// Reads up to n bytes of a descriptor opened without waiting, once it has one: the count, 0 at
// its end, -1 with errno. It polls before it reads: a pipe that no writer has opened yet reads as
// ended, where it is only not there yet.
long readWaiting(int fd, void* bytes, size_t n) {
  for (;;) {
    if (platform::waitReadable(fd, kWaitSliceMs)) {
      const ssize_t got = ::read(fd, bytes, n);
      if (got >= 0) return static_cast<long>(got);
      if (errno != EAGAIN && errno != EINTR) return -1;
    }
    PA_Yield();
  }
}

int descriptorOf(void* cookie) { return static_cast<int>(reinterpret_cast<intptr_t>(cookie)); }

ssize_t readCookie(void* cookie, char* bytes, size_t n) {
  return readWaiting(descriptorOf(cookie), bytes, n);
}

int closeCookie(void* cookie) { return ::close(descriptorOf(cookie)); }

// The stream of a source that is no regular file: its reads wait in turns.
FILE* waitingStream(int fd) {
  static const cookie_io_functions_t kFunctions = {readCookie, nullptr, nullptr, closeCookie};
  return ::fopencookie(reinterpret_cast<void*>(static_cast<intptr_t>(fd)), "rb", kFunctions);
}

// Opens without waiting for the other end of a pipe, without taking a terminal as the process's
// own, and without handing the descriptor to programs the process starts.
int openNoWait(const icu::UnicodeString& path, int flags) {
  return xfile::open(path, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Makes the descriptor's reads and writes wait again, as a stream expects of them.
int clearNoWait(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return -1;
  return 0;
}

}  // namespace

int ConversionSource::open() {
  errno = 0;
  const int fd = openNoWait(path_, O_RDONLY);
  if (fd < 0) return streamErrno();
  struct stat st;
  if (::fstat(fd, &st) != 0 || (S_ISREG(st.st_mode) && clearNoWait(fd) != 0)) {
    const int code = streamErrno();
    ::close(fd);
    return code;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return EISDIR;
  }
  regular_ = S_ISREG(st.st_mode);
  device_ = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode);
  errno = 0;
  file_.reset(regular_ ? ::fdopen(fd, "rb") : waitingStream(fd));
  if (!file_) {
    const int code = streamErrno();
    ::close(fd);
    return code;
  }
  fd_ = fd;
  return 0;
}

long ConversionSource::readSome(void* bytes, size_t n) {
  if (!file_) {
    errno = EBADF;
    return -1;
  }
  if (!regular_) return readWaiting(fd_, bytes, n);
  for (;;) {
    const ssize_t got = ::read(fd_, bytes, n);
    if (got >= 0 || errno != EINTR) return static_cast<long>(got);
  }
}

ConversionDestination::~ConversionDestination() {
  file_.reset();
  if (finished_ || temporary_.empty()) return;
  platform::removeAttributes(temporary_.c_str());
  ::unlink(temporary_.c_str());
}

int ConversionDestination::open() {
  // The C path would end at a zero unit and name another file.
  if (path_.indexOf(char16_t(0)) >= 0) return EINVAL;
  EncodedChars utf8 = utf8Path(path_);
  errno = 0;
  if (utf8.chars == nullptr || !followLinks(utf8.chars, final_)) return streamErrno();
  struct stat st;
  const bool exists = ::stat(final_.c_str(), &st) == 0;
  if (!exists && errno != ENOENT) return streamErrno();
  if (exists && S_ISDIR(st.st_mode)) return EISDIR;
  if (exists && !S_ISREG(st.st_mode)) return openInPlace();
  // A file that could not be opened for writing is not replaced either.
  if (exists && ::faccessat(AT_FDCWD, final_.c_str(), W_OK, AT_EACCESS) != 0) return streamErrno();
  errno = 0;
  const int fd = platform::createFileBeside(final_, exists ? st.st_mode & 0777 : 0666, temporary_);
  if (fd < 0) {
    temporary_.clear();
    return streamErrno();
  }
  if (exists) takeModeAndOwner(fd, st);
  file_.reset(::fdopen(fd, "wb"));
  if (!file_) {
    const int code = streamErrno();
    ::close(fd);
    return code;
  }
  return 0;
}

// A pipe or a device is written as it stands. A pipe that no process reads would hold the open
// until one came, with no turn for the host: it is refused at once (ENXIO) instead.
int ConversionDestination::openInPlace() {
  errno = 0;
  const int fd = ::open(final_.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return streamErrno();
  if (clearNoWait(fd) == 0) file_.reset(::fdopen(fd, "wb"));
  if (!file_) {
    const int code = streamErrno();
    ::close(fd);
    return code;
  }
  return 0;
}

int ConversionDestination::finish() {
  const int code = closeWrittenFile(file_);
  if (code != 0) return code;
  if (!temporary_.empty()) {
    errno = 0;
    if (platform::replaceFile(temporary_.c_str(), final_.c_str()) != 0) return streamErrno();
  }
  finished_ = true;
  return 0;
}
