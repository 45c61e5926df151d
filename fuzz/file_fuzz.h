// What the file conversion targets share: a folder of their own for the run, the input written
// as the file a conversion reads, and the check that a conversion wrote nothing but its
// destination (and that destination's "._" sidecar).
#pragma once

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <dirent.h>
#include <unistd.h>

#include "fuzz_support.h"

namespace zuvfuzz {

inline const std::string& folder() {
  // Never destroyed, so that the clean-up at exit still has it.
  static const std::string* path = [] {
    std::string pattern = "/tmp/zuv-fuzz-XXXXXX";
    if (::mkdtemp(&pattern[0]) == nullptr) fail("no temporary folder");
    return new std::string(pattern);
  }();
  // The folder goes when the run ends; a run stopped by a finding keeps it for a look.
  static const bool cleanUp =
      std::atexit([] { std::system(("rm -rf '" + *path + "'").c_str()); }) == 0;
  (void)cleanUp;
  return *path;
}

inline std::string inFolder(const std::string& name) { return folder() + "/" + name; }

inline void writeFile(const std::string& name, const uint8_t* data, size_t size) {
  std::ofstream(inFolder(name), std::ios::binary)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

inline std::string readFile(const std::string& name) {
  std::ifstream in(inFolder(name), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Removes every file of the folder; fails when one is not in `allowed`.
inline void checkAndEmptyFolder(std::initializer_list<std::string> allowed) {
  DIR* dir = ::opendir(folder().c_str());
  if (dir == nullptr) fail("folder gone");
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    bool known = false;
    for (const std::string& a : allowed) known = known || name == a;
    if (!known) fail("a conversion wrote " + name);
    ::unlink(inFolder(name).c_str());
  }
  ::closedir(dir);
}

inline int64_t convert(const char* command, const std::string& from, const std::string& to) {
  return call(command, {host::text(inFolder(from)), host::text(inFolder(to))}).number();
}

// Decodes the input with `decode`; when that succeeds, encodes the result with `encode` and
// decodes that again, which must give the same data fork and sidecar (resource fork and Finder
// information). Then checks that nothing but these files was written.
inline void decodeAndRoundTrip(const char* decode, const char* encode, const std::string& in,
                               const std::string& again, const uint8_t* data, size_t size) {
  writeFile(in, data, size);
  if (convert(decode, in, "out") == 0) {
    const std::string fork = readFile("out");
    const std::string sidecar = readFile("._out");
    if (convert(encode, "out", again) != 0) fail(std::string(encode) + " failed");
    if (convert(decode, again, "out") != 0) fail(std::string(decode) + " refused its own");
    if (readFile("out") != fork) fail("data fork changed");
    if (readFile("._out") != sidecar) fail("forks changed");
  }
  checkAndEmptyFolder({in, "out", "._out", again, "._" + again});
}

}  // namespace zuvfuzz
