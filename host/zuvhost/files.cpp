#include "files.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zuvhost {

namespace {

// Closes the descriptor when the read ends, however it ends.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string readWholeFile(const std::string& path, std::string& bytes) {
  FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return std::strerror(errno);
  struct stat status {};
  if (::fstat(file.get(), &status) != 0) return std::strerror(errno);
  if (S_ISDIR(status.st_mode)) return std::strerror(EISDIR);
  bytes.clear();
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n == 0) return "";
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::strerror(errno);
    bytes.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace zuvhost
