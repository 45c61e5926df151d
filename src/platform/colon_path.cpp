// Colon-separated paths made POSIX. On macOS CoreFoundation reads an HFS path (volume name first,
// ':' between components) and answers the POSIX path of the same location, whatever volume it
// names. Linux has no volumes and no such service, so the mapping is fixed here: the volume
// stands for the root folder "/" (as the boot volume does on macOS: "Macintosh HD:tmp:a.txt" is
// "/tmp/a.txt"); a leading ':' makes the path relative to the working folder; every further empty
// component ("::") is the parent folder ".."; a '/' inside a component becomes ':' (as macOS shows
// such names in POSIX form); a trailing ':' names a folder, written without a trailing '/'; a
// bare name stays as it is. An empty path or an unpaired surrogate cannot be converted, nor can
// a component "..", which would climb out of the folder a path names (the colon form of the
// parent folder is the empty component), nor a path holding U+0000, which the file calls would
// cut there and so name another file.

#include <algorithm>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {

namespace {

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

bool wellFormed(const std::u16string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (isHighSurrogate(text[i])) {
      if (i + 1 == text.size() || !isLowSurrogate(text[i + 1])) return false;
      ++i;
    } else if (isLowSurrogate(text[i])) {
      return false;
    }
  }
  return true;
}

bool climbsOrHoldsZero(const std::u16string& path) {
  if (path.find(u'\0') != std::u16string::npos) return true;
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(path.find(u':', start), path.size());
    if (path.compare(start, end - start, u"..") == 0) return true;
    if (end == path.size()) return false;
    start = end + 1;
  }
}

std::vector<std::u16string> splitOnColons(const std::u16string& path) {
  std::vector<std::u16string> components(1);
  for (char16_t unit : path) {
    if (unit == u':') {
      components.emplace_back();
    } else {
      components.back().push_back(unit == u'/' ? u':' : unit);
    }
  }
  return components;
}

}  // namespace

bool colonPathToPosix(const std::u16string& colonPath, std::u16string& posixPath) {
  if (colonPath.empty() || !wellFormed(colonPath) || climbsOrHoldsZero(colonPath)) return false;
  if (colonPath.find(u':') == std::u16string::npos) {
    posixPath = colonPath;
    return true;
  }
  // The trailing ':' only says "a folder": it adds no component.
  std::u16string path = colonPath;
  if (path.back() == u':') path.pop_back();
  std::vector<std::u16string> components = splitOnColons(path);
  const bool relative = components.front().empty();
  std::u16string result = relative ? u"" : u"/";
  for (size_t i = 1; i < components.size(); ++i) {
    if (!result.empty() && result.back() != u'/') result.push_back(u'/');
    if (components[i].empty()) {
      result += u"..";
    } else {
      result += components[i];
    }
  }
  if (result.empty()) result.push_back(u'.');
  posixPath = result;
  return true;
}

}  // namespace platform
