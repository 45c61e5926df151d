// Files named by 4D paths: open, stat and remove by a UTF-16 path, the sizes of a file's data
// fork and resource fork, colon paths made POSIX, length-limited file names for file headers,
// the Finder information of a file, and reads and writes that answer codes.
//
// Serves the file transfer commands (ZUV_TCPSendFile, ZUV_TCPReceiveFile), the TLS file names,
// the file conversions (BinHex, MacBinary, gzip) and the picture files. Paths are converted to
// UTF-8 through the host, so these functions run in a 4D process's turn; they block in the file
// calls and never yield. Nothing here keeps state. The Finder information and resource fork live
// where src/platform/ keeps them (an AppleDouble file "._name" beside the file).
#pragma once

#include <cstdint>
#include <cstdio>

#include <sys/stat.h>
#include <unicode/unistr.h>

#include "platform/platform.h"

using platform::kFinderInfoAttr;
using platform::kResourceForkAttr;

namespace xfile {

// The file opened with fopen's mode; null with errno set on failure. A path holding U+0000
// names no file here (EINVAL for all of them): the C path would end at the zero.
FILE* fopen(const icu::UnicodeString& path, const char* mode);
// The descriptor that open(2) answers for these flags (a new file gets mode 0666 less the umask);
// -1 with errno set on failure.
int open(const icu::UnicodeString& path, int flags);
// 0 with st filled, or -1 with errno set.
int stat(const icu::UnicodeString& path, struct stat& st);
// Removes the file and, when it is a regular file, its Finder information and resource fork: 0,
// or -1 with errno set (the file then stays as it was).
int remove(const icu::UnicodeString& path);

}  // namespace xfile

// The size of the data fork. False when the file cannot be stat'ed; size is then untouched.
bool getFileSize(const icu::UnicodeString& path, int64_t& size);
// The sizes of the data fork and the resource fork (0 when there is none). False when the file
// cannot be stat'ed: resourceSize is then 0 and dataSize untouched.
bool getFileSizes(const icu::UnicodeString& path, int64_t& dataSize, int64_t& resourceSize);

// Makes a colon-separated path (or a bare name) a POSIX path in place; a POSIX path (one that
// starts with '/', or a '/' and no ':') stays as it is. False, with the path unchanged, when it
// cannot be converted (a component "..", U+0000 or an unpaired surrogate anywhere).
bool convertToPlatformPath(icu::UnicodeString& path);

// The file name of a UTF-8 path as a length-prefixed name for a file header: name[0] is the
// length, then the bytes. max is 0..255, or -1 for no limit but 255; name holds max + 1 bytes (256
// for -1). A name too long keeps its extension when it can: "first bytes-.ext", max bytes. A cut
// never ends inside a UTF-8 character, so the name may stay a few bytes shorter. Answers the
// length.
int truncateFilename(const char* path, uint8_t* name, int max);

#pragma pack(push, 2)
// The first 10 bytes of a file's 32-byte Finder information.
struct FinderInfo {
  uint32_t type;
  uint32_t creator;
  uint16_t flags;
};
#pragma pack(pop)
static_assert(sizeof(FinderInfo) == 10);

// kByteOrderNative: the fields in the machine's order, swapped from and to the big-endian form
// of the attribute; kByteOrderBigEndian: the fields exactly as the attribute holds them.
enum EByteOrder { kByteOrderNative = 0, kByteOrderBigEndian = 1 };

// Reads the Finder information of the file. False when the file has none (or less than 10
// bytes of it); info is then untouched.
bool getFinderInfo(const icu::UnicodeString& path, FinderInfo& info, EByteOrder order);
// Sets the Finder information of an open file to info followed by 22 zero bytes. An all-zero
// info writes nothing. Answers 0 or an errno; info is left as given.
int setFinderInfo(FinderInfo& info, FILE* file, EByteOrder order);

// The file ended before n bytes could be read.
constexpr int kFileEndedEarly = -7;

// Reads n bytes: 0, an errno, or kFileEndedEarly.
int freadData(void* buffer, size_t n, FILE* file);
// Writes n bytes: 0 or an errno.
int fwriteData(const void* data, size_t n, FILE* file);
