// Helpers of the codec tests: deterministic random texts, and independent tools (python3's
// standard library, coreutils) run on generated inputs, so that a codec is compared with an
// implementation that shares none of its code.
#pragma once

#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "support/hex.h"
#include "support/plugin_test.h"

namespace zuvtest {

// UTF-8 of a UTF-16 text that holds only whole characters.
inline std::string utf8Of(const std::u16string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00u);
    }
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Runs a shell command with `input` as its standard input (through a file) and answers its
// standard output; the exit status goes to *status when asked for.
inline std::string runTool(const std::string& command, const std::string& input,
                           int* status = nullptr) {
  char path[] = "/tmp/zuv-oracle-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return {};
  {
    std::ofstream file(path, std::ios::binary);
    file << input;
  }
  close(fd);
  std::string full = command + " < '" + path + "'";
  std::string out;
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe != nullptr) {
    std::array<char, 65536> buffer;
    size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    int rc = pclose(pipe);
    if (status != nullptr) *status = rc;
  }
  unlink(path);
  return out;
}

// Runs a python3 script over many inputs at once: the script reads one hex-encoded input per
// line from the variable `lines` and prints one hex-encoded output per line. Debian's python3 is
// used, whose standard library is the oracle.
inline std::vector<std::string> runPython(const std::string& body,
                                          const std::vector<std::string>& inputs) {
  std::string script =
      "import sys, base64, binascii, quopri, urllib.parse, html, html.entities\n"
      "lines = [b'' if l == '-' else bytes.fromhex(l) for l in "
      "sys.stdin.read().split('\\n')[:-1]]\n" +
      body;
  char path[] = "/tmp/zuv-oracle-XXXXXX.py";
  int fd = mkstemps(path, 3);
  if (fd < 0) return {};
  {
    std::ofstream file(path, std::ios::binary);
    file << script;
  }
  close(fd);
  // An empty input would be an empty line, which is hard to tell from the end: "-" stands for it.
  std::string input;
  for (const std::string& in : inputs) input += (in.empty() ? "-" : hexOf(in)) + "\n";
  std::string out = runTool(std::string("/usr/bin/python3 ") + path, input);
  unlink(path);
  std::vector<std::string> outputs;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) outputs.push_back(bytesOfHex(line));
  return outputs;
}

// Checks that an encoder core, encode(out, limit), measures its output before it allocates:
// one unit below the output's size it fails and leaves out without memory for the output; at
// the size it gives the output.
template <typename Encode>
void expectMeasuredBeforeAllocated(Encode encode) {
  std::u16string whole;
  ASSERT_TRUE(encode(whole, int64_t{2147483647}));
  const int64_t size = static_cast<int64_t>(whole.size());
  std::u16string out;
  EXPECT_FALSE(encode(out, size - 1));
  EXPECT_LT(out.capacity(), 64u);
  EXPECT_TRUE(encode(out, size));
  EXPECT_EQ(out, whole);
}

// A row of a codec's table of UTF-8 texts: the input, the command's mode and the output.
struct Utf8Case {
  const char* in;
  int64_t mode;
  const char* out;
};

// A command test of the text codecs: every codec command takes a text and, except for three, a
// longint, and answers a text.
class CodecTest : public PluginTest {
 protected:
  // A command of one text parameter.
  std::u16string call(std::string_view command, const std::u16string& in) {
    return answer(command, run(command, {Value{in}}), in);
  }
  // A command of a text and a longint.
  std::u16string call(std::string_view command, const std::u16string& in, int64_t mode) {
    return answer(command, run(command, {Value{in}, num(mode)}), in);
  }
  std::string callUTF8(std::string_view command, const std::string& in) {
    return host::utf8(call(command, host::text(in)));
  }
  std::string callUTF8(std::string_view command, const std::string& in, int64_t mode) {
    return host::utf8(call(command, host::text(in), mode));
  }

 private:
  static std::u16string answer(std::string_view command, const Outcome& outcome,
                               const std::u16string& in) {
    EXPECT_EQ(outcome.text(1), in) << command << " leaves its parameter alone";
    return outcome.text();
  }
};

// Random texts, the same on every run.
class TextGenerator {
 public:
  explicit TextGenerator(uint32_t seed) : random_(seed) {}

  // A text of up to maxLength characters: ASCII, line ends of every kind, tabs and spaces,
  // Latin-1, the rest of the Basic Multilingual Plane and characters beyond it. `allowed` can
  // refuse code points.
  std::u16string text(
      size_t maxLength,
      const std::function<bool(uint32_t)>& allowed = [](uint32_t) { return true; }) {
    size_t length = pick(0, static_cast<uint32_t>(maxLength));
    std::u16string out;
    while (out.size() < length) {
      uint32_t c = character();
      if (!allowed(c)) continue;
      append(out, c);
    }
    return out;
  }

  uint32_t pick(uint32_t low, uint32_t high) {
    return std::uniform_int_distribution<uint32_t>(low, high)(random_);
  }

 private:
  uint32_t character() {
    switch (pick(0, 9)) {
      case 0:
        return pick(0, 1) ? u'\r' : u'\n';
      case 1:
        return pick(0, 2) == 0 ? u'\t' : u' ';
      case 2:
      case 3:
      case 4:
        return pick(32, 126);
      case 5:
        return pick(1, 31);
      case 6:
        return pick(128, 255);
      case 7:
        return pick(0x100, 0x2FFF);
      case 8: {
        uint32_t c = pick(0x3000, 0xFFFD);
        return c >= 0xD800 && c <= 0xDFFF ? 0x4E2D : c;
      }
      default:
        return pick(0x10000, 0x10FFFD);
    }
  }

  static void append(std::u16string& out, uint32_t c) {
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
      return;
    }
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }

  std::mt19937 random_;
};

}  // namespace zuvtest
