// The file descriptors this process holds open, with what each names, so that a test can tell
// the ones that appeared while it ran: a file, socket or pipe that a command opened and never
// closed stays open in the host for as long as it runs.
#pragma once

#include <cstdlib>
#include <map>
#include <string>

#include <dirent.h>
#include <unistd.h>

namespace zuvtest {

// Each open descriptor with what it names (a path, "socket:[inode]", "pipe:[inode]"), read from
// /proc/self/fd; the directory's own descriptor is left out.
inline std::map<int, std::string> openDescriptors() {
  std::map<int, std::string> open;
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return open;
  const int own = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd == own) continue;
    char target[4096];
    const std::string link = std::string("/proc/self/fd/") + entry->d_name;
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    open[fd] = n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string("?");
  }
  ::closedir(folder);
  return open;
}

// Those of `now` that `before` did not hold: a new number, or a number that names something
// else now (closed and opened again).
inline std::map<int, std::string> descriptorsOpenedSince(const std::map<int, std::string>& before,
                                                         const std::map<int, std::string>& now) {
  std::map<int, std::string> opened;
  for (const auto& [fd, target] : now) {
    auto found = before.find(fd);
    if (found == before.end() || found->second != target) opened[fd] = target;
  }
  return opened;
}

}  // namespace zuvtest
