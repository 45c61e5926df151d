// The fixture of the file conversion tests (gzip, BinHex, MacBinary): a folder of its own for
// each test, files with data forks, resource forks and Finder information made and read through
// the platform layer the plug-in uses, the conversion commands run as 4D runs them, and shell
// tools (macutils, gzip, perl, python3) run as oracles.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "codecs/codecs_oracle.h"
#include "platform/platform.h"
#include "support/temp_folder.h"

namespace zuvtest {

// Deterministic bytes of every value, so that 0x90 and runs are met.
inline std::string randomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out(n, '\0');
  for (char& c : out) c = static_cast<char>(random() & 0xFF);
  return out;
}

// Equal bytes; a difference is told by sizes and its first offset, never by printing megabytes.
inline ::testing::AssertionResult sameBytes(const std::string& actual,
                                            const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure() << actual.size() << " bytes instead of " << expected.size()
                                       << ", first difference at " << at;
}

class FileConversionTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    ASSERT_TRUE(files.made());
  }

  std::string path(const std::string& name) const { return folder + "/" + name; }

  std::string write(const std::string& name, const std::string& contents) {
    std::ofstream(path(name), std::ios::binary) << contents;
    return path(name);
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static bool exists(const std::string& file) {
    struct stat st;
    return ::lstat(file.c_str(), &st) == 0;
  }
  // The names in the folder, sidecars included, sorted.
  std::string listing() const {
    return runTool("(cd '" + folder + "' && ls -A | sort | tr '\\n' ' ')", "");
  }

  static void setResourceFork(const std::string& file, const std::string& fork) {
    ASSERT_EQ(platform::setAttribute(file.c_str(), platform::kResourceForkAttr, fork.data(),
                                     fork.size(), 0),
              0);
  }
  // Every name under the folder with its kind, permission bits, owner and group, inode and link
  // target, and the bytes of every file: a change to anything in the folder shows, a file put in
  // another's place with the same bytes included.
  std::string snapshot() const {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
      const std::string name = entry.path().string();
      struct stat st;
      if (::lstat(name.c_str(), &st) != 0) continue;
      std::string line = name.substr(folder.size()) + " " + std::to_string(st.st_mode) + " " +
                         std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + " " +
                         std::to_string(st.st_ino);
      if (S_ISLNK(st.st_mode)) line += " -> " + std::filesystem::read_symlink(name).string();
      if (S_ISREG(st.st_mode)) line += " " + std::to_string(std::hash<std::string>()(read(name)));
      lines.push_back(std::move(line));
    }
    std::sort(lines.begin(), lines.end());
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    return all;
  }
  static mode_t modeOf(const std::string& file) {
    struct stat st;
    return ::lstat(file.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  static std::string resourceFork(const std::string& file) {
    long size = platform::getAttribute(file.c_str(), platform::kResourceForkAttr, nullptr, 0, 0);
    if (size <= 0) return "";
    std::string fork(static_cast<size_t>(size), '\0');
    platform::getAttribute(file.c_str(), platform::kResourceForkAttr, &fork[0], fork.size(), 0);
    return fork;
  }
  // type (4), creator (4), flags big-endian (2), as the attribute stores them.
  static void setFinderInfo(const std::string& file, const std::string& typeCreator,
                            uint16_t flags) {
    unsigned char info[32] = {};
    std::copy(typeCreator.begin(), typeCreator.end(), info);
    info[8] = static_cast<unsigned char>(flags >> 8);
    info[9] = static_cast<unsigned char>(flags & 0xFF);
    ASSERT_EQ(platform::setAttribute(file.c_str(), platform::kFinderInfoAttr, info, 32, 0), 0);
  }
  // The first ten bytes of the Finder information, or "" when there is none.
  static std::string finderInfo(const std::string& file) {
    unsigned char info[32] = {};
    if (platform::getAttribute(file.c_str(), platform::kFinderInfoAttr, info, 32, 0) < 10) {
      return "";
    }
    return std::string(reinterpret_cast<char*>(info), 10);
  }

  int64_t convert(std::string_view command, const std::string& from, const std::string& to) {
    return run(command, {txt(from), txt(to)}).number();
  }
  int64_t convert(std::string_view command, const std::string& from, const std::string& to,
                  int64_t level) {
    return run(command, {txt(from), txt(to), num(level)}).number();
  }
  // Any of the six conversions, ZUV_File2Gzip at level 6.
  int64_t conversion(std::string_view command, const std::u16string& from,
                     const std::u16string& to) {
    std::vector<Value> args{Value{from}, Value{to}};
    if (command == "ZUV_File2Gzip") args.push_back(num(6));
    return run(command, std::move(args)).number();
  }
  int64_t conversion(std::string_view command, const std::string& from, const std::string& to) {
    return conversion(command, host::text(from), host::text(to));
  }

  // A file "f" with both forks and Finder information, and its BinHex, MacBinary and gzip forms
  // f.hqx, f.bin and f.gz.
  void makeSources() {
    write("f", randomBytes(3000, 9));
    setResourceFork(path("f"), "new fork");
    setFinderInfo(path("f"), "TEXTttxt", 0x0100);
    ASSERT_EQ(conversion("ZUV_File2BinHex", path("f"), path("f.hqx")), 0);
    ASSERT_EQ(conversion("ZUV_File2MacBinary", path("f"), path("f.bin")), 0);
    ASSERT_EQ(conversion("ZUV_File2Gzip", path("f"), path("f.gz")), 0);
  }

  // Runs a shell command in the folder and answers its standard output.
  std::string shell(const std::string& command, int* status = nullptr) {
    return runTool("(cd '" + folder + "' && " + command + ")", "", status);
  }

  TempFolder files{"zuv-conv"};
  std::string folder = files.name();
};

}  // namespace zuvtest
