// The last component of a path. macOS's basename follows POSIX: "dir/name/" is "name". glibc's
// <string.h> offers a GNU basename that answers "" for a path ending in '/', and <libgen.h>'s
// may change the buffer it is given; this one follows the POSIX rule on a copy.

#include <string>

#include "platform/platform.h"

namespace platform {

std::string basename(const std::string& path) {
  if (path.empty()) return ".";
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t start = path.rfind('/', end);
  start = start == std::string::npos ? 0 : start + 1;
  return path.substr(start, end - start + 1);
}

}  // namespace platform
