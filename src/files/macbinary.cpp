// MacBinary files: a 128-byte header, the data fork and the resource fork, each padded with zero
// bytes to a multiple of 128.
//
// The header as this program writes it (numbers big-endian): 0 zero; 1 name length (at most 63);
// 2..64 the name; 65 type; 69 creator; 73 zero; 74 the Finder flags' low byte; 82 zero; 83 data
// fork length; 87 resource fork length; 101 the flags' high byte; 122 and 123 0x81; 124 the
// CRC-16/XMODEM of bytes 0 to 123, low byte first. Stored files and older readers rely on that
// layout, so it stays. The decoder also reads MacBinary II as other tools write it (the flags'
// high byte at 73, their low byte at 101, the CRC high byte first) and MacBinary I (no CRC, the
// flags' high byte at 73). A MacBinary II header may be followed by a secondary header, whose
// length bytes 120 and 121 give: it is padded to a multiple of 128 like a fork and skipped.

#include "files/macbinary.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "4DPluginAPI.h"
#include "files/conversion.h"
#include "files/file_io.h"
#include "files/mac_formats.h"
#include "files/xfile.h"

namespace macbinary {

namespace {

constexpr size_t kHeaderSize = 128;
constexpr size_t kNameOffset = 1;
constexpr int kMaxName = 63;
constexpr size_t kTypeOffset = 65;
// The Finder flags as this program writes them, and where MacBinary keeps them.
constexpr size_t kOwnFlagsLow = 74;
constexpr size_t kOwnFlagsHigh = 101;
constexpr size_t kStandardFlagsHigh = 73;  // 0 in what this program writes
constexpr size_t kStandardFlagsLow = 101;
constexpr size_t kZeroByte = 82;
constexpr size_t kDataLengthOffset = 83;
constexpr size_t kResourceLengthOffset = 87;
// The length of a secondary header after this one, big-endian (0 in what this program writes).
constexpr size_t kSecondaryLengthOffset = 120;
constexpr size_t kVersionOffset = 122;
constexpr unsigned char kVersion = 0x81;
constexpr size_t kCrcOffset = 124;
// Bytes 101 to 124 all zero mark a header without CRC.
constexpr size_t kNoCrcFrom = 101;
constexpr size_t kNoCrcTo = 124;
constexpr unsigned char kMaxVersion = 130;
// The data fork moves in pieces of this size, with a turn for the host before each.
constexpr size_t kPieceSize = 65536;

using Header = unsigned char[kHeaderSize];

void writeBigEndian32(unsigned char* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(value >> (24 - 8 * i));
}

size_t paddingOf(uint32_t length) { return (kHeaderSize - length % kHeaderSize) % kHeaderSize; }

// Copies exactly `length` bytes in pieces of 64 KB: 0, an errno, or -7 when `from` ends first.
// Encoding writes the padding after them; decoding skips it.
int copyDataFork(FILE* from, uint32_t length, FILE* to, bool encoding) {
  std::vector<char> piece(std::min<size_t>(kPieceSize, std::max<size_t>(length, 1)));
  for (uint32_t done = 0; done < length;) {
    PA_Yield();
    const size_t n = std::min<size_t>(piece.size(), length - done);
    if (int code = freadData(piece.data(), n, from)) return code;
    if (int code = fwriteData(piece.data(), n, to)) return code;
    done += static_cast<uint32_t>(n);
  }
  const size_t padding = paddingOf(length);
  if (!encoding) {
    // Read rather than skipped, as a pipe cannot seek. A file that ends inside the padding has
    // lost nothing.
    char skipped[kHeaderSize];
    errno = 0;
    std::fread(skipped, 1, padding, from);
    return std::ferror(from) ? streamErrno() : 0;
  }
  static const char kZeros[kHeaderSize] = {};
  return fwriteData(kZeros, padding, to);
}

// ---- Encoder ---------------------------------------------------------------------------------

struct Source {
  uint32_t dataLength = 0;
  uint32_t resourceLength = 0;
};

// Measures the source and fills the header: 0, an errno or 27.
int makeHeader(const icu::UnicodeString& source, Header header, Source& sizes) {
  int64_t dataLength = 0;
  errno = 0;
  if (!getFileSize(source, dataLength)) return streamErrno();
  if (dataLength > kMaxLength) return kConversionForkTooLong;
  EncodedChars path = utf8Path(source);
  truncateFilename(path.chars, header + kNameOffset, kMaxName);
  const long resourceLength = platform::getAttribute(path.chars, kResourceForkAttr, nullptr, 0, 0);
  if (resourceLength > kMaxLength) return kConversionForkTooLong;
  sizes.dataLength = static_cast<uint32_t>(dataLength);
  sizes.resourceLength = resourceLength > 0 ? static_cast<uint32_t>(resourceLength) : 0;
  writeBigEndian32(header + kDataLengthOffset, sizes.dataLength);
  writeBigEndian32(header + kResourceLengthOffset, sizes.resourceLength);
  FinderInfo info;
  if (getFinderInfo(source, info, kByteOrderBigEndian)) {
    unsigned char stored[sizeof info];
    std::memcpy(stored, &info, sizeof info);
    std::memcpy(header + kTypeOffset, stored, 8);
    header[kOwnFlagsLow] = stored[9];
    header[kOwnFlagsHigh] = stored[8];
  }
  header[kVersionOffset] = kVersion;
  header[kVersionOffset + 1] = kVersion;
  const uint16_t crc = crc16(header, kCrcOffset);
  header[kCrcOffset] = static_cast<unsigned char>(crc & 0xFF);
  header[kCrcOffset + 1] = static_cast<unsigned char>(crc >> 8);
  return 0;
}

// The whole resource fork, padded. A fork that shrank since it was measured answers -7: the
// header already promised its length.
int writeResourceFork(FILE* source, uint32_t length, FILE* destination) {
  if (length == 0) return 0;
  std::vector<char> fork(length);
  errno = 0;
  const long n = platform::getAttribute(fileno(source), kResourceForkAttr, fork.data(), length, 0);
  if (n < 0) return streamErrno();
  if (static_cast<uint32_t>(n) != length) return kEndedEarly;
  if (int code = fwriteData(fork.data(), length, destination)) return code;
  static const char kZeros[kHeaderSize] = {};
  return fwriteData(kZeros, paddingOf(length), destination);
}

int encodeFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  ConversionSource in(source);
  if (int code = in.open()) return code;
  // The header gives the forks' lengths before their bytes: only a regular file tells them.
  if (!in.regular()) return kConversionSourceNotAFile;
  Header header = {};
  Source sizes;
  if (int code = makeHeader(source, header, sizes)) return code;
  ConversionDestination out(destination);
  if (int code = out.open()) return code;
  if (int code = fwriteData(header, kHeaderSize, out.get())) return code;
  if (int code = copyDataFork(in.get(), sizes.dataLength, out.get(), true)) return code;
  if (int code = writeResourceFork(in.get(), sizes.resourceLength, out.get())) return code;
  in.close();
  return out.finish();
}

// ---- Decoder ---------------------------------------------------------------------------------

bool allZero(const unsigned char* bytes, size_t from, size_t to) {
  for (size_t i = from; i <= to; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

// Where a header keeps the Finder flags: this program's layout (low byte at 74, high byte at 101,
// CRC low byte first) or MacBinary's (high byte at 73, low byte at 101, CRC high byte first).
enum class Layout { Refused, Own, Standard };

// The layout of an accepted header. The CRC's byte order tells the two apart; a CRC whose two
// bytes are equal reads as this program's first, so every file it ever accepted reads as before.
// A header without CRC (bytes 101 to 124 zero) is MacBinary I's: its flags' high byte at 73.
Layout layoutOf(const Header header) {
  if (header[0] != 0 || header[kZeroByte] != 0) return Layout::Refused;
  const uint16_t crc = crc16(header, kCrcOffset);
  const bool readable = header[kVersionOffset + 1] < kMaxVersion;
  const uint16_t lowFirst = static_cast<uint16_t>(header[kCrcOffset] | header[kCrcOffset + 1] << 8);
  const uint16_t highFirst =
      static_cast<uint16_t>(header[kCrcOffset] << 8 | header[kCrcOffset + 1]);
  if (header[kStandardFlagsHigh] == 0 && lowFirst == crc && readable) return Layout::Own;
  if (header[kOwnFlagsLow] == 0 && highFirst == crc && readable) return Layout::Standard;
  if (allZero(header, kNoCrcFrom, kNoCrcTo)) return Layout::Own;
  return Layout::Refused;
}

// The type, creator and flags as the Finder information stores them (big-endian).
FinderInfo finderInfoOf(const Header header, Layout layout) {
  unsigned char stored[sizeof(FinderInfo)];
  std::memcpy(stored, header + kTypeOffset, 8);
  if (layout == Layout::Standard) {
    stored[8] = header[kStandardFlagsHigh];
    stored[9] = header[kStandardFlagsLow];
  } else {
    // Byte 73 is 0 in this program's files and the flags' high byte in MacBinary I's.
    stored[8] = header[kStandardFlagsHigh] | header[kOwnFlagsHigh];
    stored[9] = header[kOwnFlagsLow];
  }
  FinderInfo info;
  std::memcpy(&info, stored, sizeof info);
  return info;
}

// The whole fork. A length that a regular file cannot hold answers -7 before anything is
// allocated for it; from a pipe, whose length is not known, the fork grows as its bytes come, so
// that a length the pipe does not bring costs no more than what it brought.
int readResourceFork(ConversionSource& source, uint32_t length, std::vector<char>& fork) {
  if (source.regular()) {
    if (bytesLeft(source.get()) < length) return kEndedEarly;
    fork.resize(length);
    return freadData(fork.data(), length, source.get());
  }
  while (fork.size() < length) {
    const size_t done = fork.size();
    fork.resize(done + std::min<size_t>(kPieceSize, length - done));
    if (int code = freadData(fork.data() + done, fork.size() - done, source.get())) return code;
  }
  return 0;
}

// Reads the fork whole and stores it as the destination's resource fork.
int restoreResourceFork(ConversionSource& source, uint32_t length,
                        ConversionDestination& destination) {
  if (length == 0) return 0;
  std::vector<char> fork;
  if (int code = readResourceFork(source, length, fork)) return code;
  // A destination that keeps no forks (a device) gets the data fork alone.
  if (!destination.keepsForks()) return 0;
  errno = 0;
  if (platform::setAttribute(fileno(destination.get()), kResourceForkAttr, fork.data(), length,
                             0) != 0) {
    return streamErrno();
  }
  return 0;
}

// Reads past the secondary header that a MacBinary II header announces, with its padding: it
// holds no fork bytes. 0, an errno, or -7 when the file ends inside it.
int skipSecondaryHeader(FILE* source, const Header header) {
  const size_t length =
      size_t{header[kSecondaryLengthOffset]} << 8 | header[kSecondaryLengthOffset + 1];
  if (length == 0) return 0;
  std::vector<char> skipped(length + paddingOf(static_cast<uint32_t>(length)));
  return freadData(skipped.data(), skipped.size(), source);
}

int decodeFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  ConversionSource in(source);
  if (int code = in.open()) return code;
  Header header;
  if (int code = freadData(header, kHeaderSize, in.get())) return code;
  // Checked before the destination is opened: a file that is refused leaves an existing
  // destination as it was.
  const Layout layout = layoutOf(header);
  if (layout == Layout::Refused) return kHeaderRefused;
  // Read unsigned: a length of 2 GB or more is refused, never taken for "no fork".
  const uint32_t dataLength = readBigEndian32(header + kDataLengthOffset);
  const uint32_t resourceLength = readBigEndian32(header + kResourceLengthOffset);
  if (dataLength > kMaxLength || resourceLength > kMaxLength) {
    return kConversionForkTooLong;
  }
  if (int code = skipSecondaryHeader(in.get(), header)) return code;
  // A pipe's length is not known before it ends: a data fork cut short shows as it is copied.
  if (in.regular() && bytesLeft(in.get()) < dataLength) return kEndedEarly;
  ConversionDestination out(destination);
  if (int code = out.open()) return code;
  FinderInfo info = finderInfoOf(header, layout);
  if (out.keepsForks()) {
    if (int code = setFinderInfo(info, out.get(), kByteOrderBigEndian)) return code;
  }
  if (int code = copyDataFork(in.get(), dataLength, out.get(), false)) return code;
  if (int code = restoreResourceFork(in, resourceLength, out)) return code;
  in.close();
  return out.finish();
}

}  // namespace

int encode(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  return answerOf([&] { return encodeFile(source, destination); });
}

int decode(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  return answerOf([&] { return decodeFile(source, destination); });
}

}  // namespace macbinary
