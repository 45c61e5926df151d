// Files named by 4D paths, their forks and Finder information.

#include "files/xfile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unicode/utf.h>

#include "text/conversion.h"

namespace {

enum EOperation { kOpen = 0, kStat = 1, kRemove = 2, kOpenDescriptor = 3 };

// The extra argument of an operation: the mode of an open, the record a stat fills.
struct OpParam {
  const char* mode = nullptr;
  int flags = 0;  // of an open that answers a descriptor
  struct stat* st = nullptr;
  FILE* file = nullptr;  // what an open answered
  int fd = -1;           // what an open of a descriptor answered
};

const unsigned short* unitsOf(const icu::UnicodeString& path) {
  return reinterpret_cast<const unsigned short*>(path.getBuffer());
}

EncodedChars toUTF8(const unsigned short* units, int length) {
  return convertToChars(units, length, kCharSetUTF8);
}

// Whether the units hold U+0000: the C path would end there and name another file.
bool holdsZero(const unsigned short* units, int length) {
  return units != nullptr && length > 0 && std::find(units, units + length, 0) != units + length;
}

// Whether the path holds a surrogate without its partner: no UTF-8 path holds one, and the
// conversion would put U+FFFD in its place and so name another file.
bool holdsUnpairedSurrogate(const icu::UnicodeString& path) {
  for (int32_t i = 0; i < path.length(); i = path.moveIndex32(i, 1)) {
    if (U_IS_SURROGATE(path.char32At(i))) return true;
  }
  return false;
}

// Removes the file and, for a regular file, its Finder information and resource fork: what lies
// beside a link, a pipe or a folder is not theirs.
int removeWithAttributes(const char* path) {
  struct stat st;
  const bool regular = ::lstat(path, &st) == 0 && S_ISREG(st.st_mode);
  if (std::remove(path) != 0) return -1;
  if (regular) platform::removeAttributes(path);
  return 0;
}

// Converts the path to UTF-8 and performs the operation on it; answers what the call answered
// (for an open, 0 or -1, the file or descriptor in param). A path holding U+0000 names no file:
// EINVAL.
int doOperation(EOperation operation, const unsigned short* units, int length, OpParam* param) {
  if (holdsZero(units, length)) {
    errno = EINVAL;
    return -1;
  }
  EncodedChars path = toUTF8(units, length);
  switch (operation) {
    case kOpen:
      param->file = std::fopen(path.chars, param->mode);
      return param->file != nullptr ? 0 : -1;
    case kOpenDescriptor:
      param->fd = ::open(path.chars, param->flags, 0666);
      return param->fd >= 0 ? 0 : -1;
    case kStat:
      return ::stat(path.chars, param->st);
    case kRemove:
      return removeWithAttributes(path.chars);
  }
  return -1;
}

uint32_t swap32(uint32_t value) { return __builtin_bswap32(value); }
uint16_t swap16(uint16_t value) { return __builtin_bswap16(value); }

// The fields of info in the attribute's big-endian form from the given order, and back: the
// same swap both ways.
FinderInfo reorder(const FinderInfo& info, EByteOrder order) {
  if (order != kByteOrderNative || __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__) return info;
  FinderInfo swapped;
  swapped.type = swap32(info.type);
  swapped.creator = swap32(info.creator);
  swapped.flags = swap16(info.flags);
  return swapped;
}

bool allZero(const void* bytes, size_t n) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != 0) return false;
  }
  return true;
}

// A failed stream call whose errno was lost must still be told apart from success.
int streamError() { return errno != 0 ? errno : EIO; }

constexpr size_t kWorkingBuffer = 1024;
constexpr int kMaxNameLength = 255;
// A shortened name keeps its extension only when at least this many bytes of the name stay.
constexpr int kMinKeptName = 9;

// Where a cut after n bytes ends the name without splitting a UTF-8 character: n, or the start
// of the character that it would split. Bytes that are no UTF-8 are cut where they stand.
size_t wholeCharacterCut(const std::string& name, size_t n) {
  if (n >= name.size()) return n;
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto lead = static_cast<unsigned char>(name[n - back]);
    if ((lead & 0xC0) == 0x80) continue;
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    const size_t start = n - back;
    if (start + length <= n || start + length > name.size()) return n;
    for (size_t i = start + 1; i < start + length; ++i) {
      if ((static_cast<unsigned char>(name[i]) & 0xC0) != 0x80) return n;
    }
    return start;
  }
  return n;
}

int storeName(const std::string& base, size_t n, uint8_t* name) {
  name[0] = static_cast<uint8_t>(n);
  std::memcpy(name + 1, base.data(), n);
  return static_cast<int>(n);
}

}  // namespace

namespace xfile {

FILE* fopen(const icu::UnicodeString& path, const char* mode) {
  OpParam param;
  param.mode = mode;
  doOperation(kOpen, unitsOf(path), path.length(), &param);
  return param.file;
}

int open(const icu::UnicodeString& path, int flags) {
  OpParam param;
  param.flags = flags;
  doOperation(kOpenDescriptor, unitsOf(path), path.length(), &param);
  return param.fd;
}

int stat(const icu::UnicodeString& path, struct stat& st) {
  OpParam param;
  param.st = &st;
  return doOperation(kStat, unitsOf(path), path.length(), &param);
}

int remove(const icu::UnicodeString& path) {
  return doOperation(kRemove, unitsOf(path), path.length(), nullptr);
}

}  // namespace xfile

bool getFileSize(const icu::UnicodeString& path, int64_t& size) {
  struct stat st;
  if (xfile::stat(path, st) != 0) return false;
  size = st.st_size;
  return true;
}

bool getFileSizes(const icu::UnicodeString& path, int64_t& dataSize, int64_t& resourceSize) {
  struct stat st;
  if (xfile::stat(path, st) != 0) {
    resourceSize = 0;
    return false;
  }
  dataSize = st.st_size;
  EncodedChars utf8 = toUTF8(unitsOf(path), path.length());
  long fork = platform::getAttribute(utf8.chars, kResourceForkAttr, nullptr, 0, 0);
  resourceSize = fork > 0 ? fork : 0;
  return true;
}

// A path that starts with '/' is POSIX as it stands, a ':' in a Linux file name included.
bool convertToPlatformPath(icu::UnicodeString& path) {
  if (path.indexOf(char16_t(0)) >= 0 || holdsUnpairedSurrogate(path)) return false;
  if ((path.length() > 0 && path.charAt(0) == u'/') ||
      (path.indexOf(u':') < 0 && path.indexOf(u'/') >= 0))
    return true;
  std::u16string colonPath(path.getBuffer(), static_cast<size_t>(path.length()));
  std::u16string posixPath;
  if (!platform::colonPathToPosix(colonPath, posixPath)) return false;
  path.setTo(posixPath.data(), static_cast<int32_t>(posixPath.size()));
  return !path.isBogus();
}

int truncateFilename(const char* path, uint8_t* name, int max) {
  if (max > kMaxNameLength) max = kMaxNameLength;
  if (max < -1) max = -1;
  std::string working = path != nullptr ? std::string(path).substr(0, kWorkingBuffer) : "";
  std::string base = platform::basename(working).substr(0, kWorkingBuffer);
  const int64_t len = static_cast<int64_t>(base.size());
  if (len <= max) return storeName(base, static_cast<size_t>(std::min<int64_t>(len, 255)), name);
  const size_t dot = base.rfind('.');
  if (dot != std::string::npos) {
    const int64_t ext = len - static_cast<int64_t>(dot);
    const int64_t p = max - ext;
    if (p >= kMinKeptName) {
      const size_t kept = wholeCharacterCut(base, static_cast<size_t>(p - 1));
      std::string shortened = base.substr(0, kept) + "-" + base.substr(dot);
      return storeName(shortened, shortened.size(), name);
    }
  }
  const int64_t n = max == -1 ? len : max;
  return storeName(
      base, wholeCharacterCut(base, static_cast<size_t>(std::min<int64_t>(n, kMaxNameLength))),
      name);
}

bool getFinderInfo(const icu::UnicodeString& path, FinderInfo& info, EByteOrder order) {
  if (holdsZero(unitsOf(path), path.length())) return false;
  EncodedChars utf8 = toUTF8(unitsOf(path), path.length());
  const long size = platform::getAttribute(utf8.chars, kFinderInfoAttr, nullptr, 0, 0);
  if (size <= 0) return false;
  std::vector<unsigned char> value(static_cast<size_t>(size));
  const long read =
      platform::getAttribute(utf8.chars, kFinderInfoAttr, value.data(), value.size(), 0);
  // Less than the 10 bytes wanted counts as none: nothing is read past what the file gave.
  if (read < static_cast<long>(sizeof(FinderInfo))) return false;
  FinderInfo stored;
  std::memcpy(&stored, value.data(), sizeof stored);
  info = reorder(stored, order);
  return true;
}

int setFinderInfo(FinderInfo& info, FILE* file, EByteOrder order) {
  if (allZero(&info, sizeof info)) return 0;
  if (file == nullptr) return EBADF;
  unsigned char value[32] = {};
  const FinderInfo stored = reorder(info, order);
  std::memcpy(value, &stored, sizeof stored);
  if (platform::setAttribute(fileno(file), kFinderInfoAttr, value, sizeof value, 0) != 0) {
    return streamError();
  }
  return 0;
}

int freadData(void* buffer, size_t n, FILE* file) {
  errno = 0;
  std::fread(buffer, 1, n, file);
  if (std::ferror(file)) return streamError();
  if (std::feof(file)) return kFileEndedEarly;
  return 0;
}

int fwriteData(const void* data, size_t n, FILE* file) {
  errno = 0;
  const size_t written = std::fwrite(data, 1, n, file);
  if (std::ferror(file) || written != n) return streamError();
  return 0;
}
