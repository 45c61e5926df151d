// What the commands that read or write files share: a holder for the files they open, the close
// of a written file with its error answered, and for the file conversions (BinHex, MacBinary,
// gzip) the destination they write (a new file renamed into place only when the conversion
// succeeded), the check that two paths name one file, a path's UTF-8 bytes, and the CRC and
// big-endian numbers of BinHex and MacBinary. Nothing here keeps state or yields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include <unicode/unistr.h>

#include "4DPluginAPI.h"
#include "text/conversion.h"

// Closes a file that a command opened, on every way out.
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

// Result codes the conversions share.
constexpr int kConversionSameFile = -1;     // the destination is the source itself
constexpr int kConversionForkTooLong = 27;  // a fork of 2,147,483,647 bytes or more
constexpr int kConversionNoMemory = 12;

// The largest fork the formats' 32-bit lengths carry.
constexpr int64_t kMaxForkLength = INT32_MAX;

// The UTF-8 bytes of a path, converted through the host.
EncodedChars utf8Path(const icu::UnicodeString& path);

// True when the destination exists and is the source file itself (the same device and inode,
// through a link too). Opening it for writing would destroy the source before it is read.
bool sameFile(const icu::UnicodeString& source, const icu::UnicodeString& destination);

// Closes a file that was only read. Closing the stream of a file that was only read cannot lose
// data, so its answer is not looked at.
inline void closeReadFile(unique_file& file) { file.reset(); }

// 0, or the errno of closing a written file: the close writes the stream's last buffer, so a full
// disk can show only there.
int closeWrittenFile(unique_file& file);

// 0 or the errno of a failed stream call (EIO when the call left errno at 0).
int streamErrno();

// The bytes of the file after its current position (0 when it cannot be measured).
int64_t bytesLeft(FILE* file);

// CRC-16/XMODEM (polynomial 0x1021, no reflection), the check of the BinHex and MacBinary
// formats. crc16Step takes one more byte, the same as shifting its bits in and, at the end, 16
// zero bits; crc16 is the value of n bytes from 0.
struct Crc16Table {
  std::array<uint16_t, 256> entries{};
  constexpr Crc16Table() {
    for (int byte = 0; byte < 256; ++byte) {
      uint16_t crc = static_cast<uint16_t>(byte << 8);
      for (int bit = 0; bit < 8; ++bit) {
        crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ 0x1021 : crc << 1);
      }
      entries[static_cast<size_t>(byte)] = crc;
    }
  }
};
inline constexpr Crc16Table kCrc16Table;

inline uint16_t crc16Step(uint16_t crc, unsigned char byte) {
  return static_cast<uint16_t>((crc << 8) ^ kCrc16Table.entries[((crc >> 8) ^ byte) & 0xFF]);
}

inline uint16_t crc16(const unsigned char* bytes, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) crc = crc16Step(crc, bytes[i]);
  return crc;
}

// The 32-bit number stored most significant byte first at bytes, as both formats store theirs.
inline uint32_t readBigEndian32(const unsigned char* bytes) {
  return uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
}

// Runs a conversion and answers its code: the codes its steps throw, 12 when memory runs out.
template <typename Conversion>
int answerOf(Conversion conversion) {
  try {
    return conversion();
  } catch (int code) {
    return code;
  } catch (const std::bad_alloc&) {
    return kConversionNoMemory;
  }
}

// The file a conversion writes. open() makes a new file beside the one it will replace (for a
// symbolic link, beside the file the link names: the link stays), with that file's permission
// bits; finish() gives the new file its Finder information and resource fork and renames both into
// place, so nothing of the old file survives into the new one but the sidecar entries that other
// tools own. Until finish() succeeded the destination, and whatever it points to, stays exactly as
// it was: the destructor removes the new file with its sidecar. A destination that is no regular
// file (a device, a pipe) is written as it stands and keeps no Finder information or fork.
class ConversionDestination {
 public:
  explicit ConversionDestination(const icu::UnicodeString& path) : path_(path) {}
  ~ConversionDestination();
  ConversionDestination(const ConversionDestination&) = delete;
  ConversionDestination& operator=(const ConversionDestination&) = delete;

  // 0 or the errno of the open (EISDIR for a folder).
  int open();
  FILE* get() const { return file_.get(); }
  // Whether the file written keeps Finder information and a resource fork: a regular file does.
  bool keepsForks() const { return !temporary_.empty(); }
  // Closes the file and puts it in place: 0, or the errno of the close or of the move (the file
  // then counts as failed).
  int finish();

 private:
  int openInPlace();

  icu::UnicodeString path_;
  std::string final_;      // the file replaced, its links followed
  std::string temporary_;  // the new file beside it; empty for a device written as it stands
  bool finished_ = false;
  unique_file file_;
};
