// A folder of its own for a test's files, made in $TMPDIR (or /tmp) and removed with everything
// in it when the test ends.
#pragma once

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace zuvtest {

class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string name = std::string(base != nullptr ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    if (::mkdtemp(&name[0]) != nullptr) name_ = name;
  }
  ~TempFolder() {
    if (!name_.empty()) std::system(("rm -rf '" + name_ + "'").c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  bool made() const { return !name_.empty(); }
  const std::string& name() const { return name_; }
  std::string path(const std::string& file) const { return name_ + "/" + file; }
  // Writes the bytes to the file and answers its path.
  std::string write(const std::string& file, const std::string& bytes) const {
    std::ofstream(path(file), std::ios::binary) << bytes;
    return path(file);
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

 private:
  std::string name_;
};

}  // namespace zuvtest
