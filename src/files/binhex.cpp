// BinHex 4.0: the encoder writes the byte stream below as six-bit characters in lines of 64 with
// CR line ends, escaping only 0x90 (as 0x90 0x00) and never writing runs; the decoder also reads
// runs, any line ends and text around the data.
//
// The byte stream (numbers big-endian): name length, name, version 0, type, creator, Finder
// flags, data length, resource length, header CRC; the data fork and its CRC; the resource fork
// and its CRC. The CRCs are CRC-16/XMODEM, each from 0.

#include "files/binhex.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "4DPluginAPI.h"
#include "files/conversion.h"
#include "files/file_io.h"
#include "files/mac_formats.h"
#include "files/xfile.h"

namespace binhex {

namespace {

constexpr char kHeaderText[] = "(This file must be converted with BinHex 4.0)\r:";
constexpr size_t kHeaderLength = sizeof kHeaderText - 1;
// What the decoder compares of the header line; the version text after it may differ.
constexpr char kMinHeaderText[] = "(This file must be converted with BinHex";
constexpr size_t kMinHeaderLength = sizeof kMinHeaderText - 1;
static_assert(kHeaderLength == 47 && kMinHeaderLength == 40);

constexpr char kEncodeTable[] = "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
static_assert(sizeof kEncodeTable - 1 == 64);

constexpr unsigned char kRunMarker = 0x90;
constexpr size_t kPieceSize = 16384;
// The host gets a turn before every this many bytes or characters.
constexpr size_t kYieldEvery = 4096;
// Characters on a line, the opening colon counting on the first.
constexpr int kLineLength = 64;
// The worst piece, 16,384 bytes of 0x90, gives 43,691 characters and 683 line ends.
constexpr size_t kOutputSize = 0xC000;
// The bits of the Finder flags that say what the Finder did with the file, not what it is.
constexpr uint16_t kKeptFlags = 0xBEFE;

// ---- Encoder ---------------------------------------------------------------------------------

class Encoder {
 public:
  explicit Encoder(FILE* destination) : destination_(destination), buffer_(kOutputSize) {}

  // One byte of the stream: into the CRC, then as characters, with the 0x00 that makes a 0x90
  // literal (outside the CRC).
  void byte(unsigned char value) {
    crc_ = crc16Step(crc_, value);
    code(value);
    if (value == kRunMarker) code(0);
  }
  void bytes(const unsigned char* values, size_t n) {
    for (size_t i = 0; i < n; ++i) byte(values[i]);
  }
  void longValue(uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) byte(static_cast<unsigned char>(value >> shift));
  }
  // The CRC of what came since the last one, high byte first; the next one starts from 0.
  void crc() {
    const uint16_t value = crc_;
    byte(static_cast<unsigned char>(value >> 8));
    byte(static_cast<unsigned char>(value & 0xFF));
    crc_ = 0;
  }
  // The two zero bytes that end the stream, then the closing colon and CR outside the lines.
  void finish() {
    code(0);
    code(0);
    buffer_[length_++] = ':';
    buffer_[length_++] = '\r';
  }
  // Writes the waiting characters: the errno of a failed write is thrown.
  void flush() {
    if (int code = fwriteData(buffer_.data(), length_, destination_)) throw code;
    length_ = 0;
  }

 private:
  void code(unsigned char value) {
    switch (phase_) {
      case 0:
        put(value >> 2);
        pending_ = (value & 0x03) << 4;
        phase_ = 1;
        break;
      case 1:
        put(pending_ | value >> 4);
        pending_ = (value & 0x0F) << 2;
        phase_ = 2;
        break;
      default:
        put(pending_ | value >> 6);
        put(value & 0x3F);
        phase_ = 0;
        break;
    }
  }
  void put(int sixBits) {
    buffer_[length_++] = kEncodeTable[sixBits];
    if (++column_ == kLineLength) {
      buffer_[length_++] = '\r';
      column_ = 0;
    }
  }

  FILE* destination_;
  std::vector<char> buffer_;
  size_t length_ = 0;
  uint16_t crc_ = 0;
  int phase_ = 0;
  int pending_ = 0;
  int column_ = 1;  // the opening colon
};

// Encodes the piece, giving the host a turn before every 4096 bytes, and writes its characters.
void encodePiece(Encoder& encoder, const unsigned char* piece, size_t n) {
  for (size_t offset = 0; offset < n; offset += kYieldEvery) {
    PA_Yield();
    encoder.bytes(piece + offset, std::min(kYieldEvery, n - offset));
  }
  encoder.flush();
}

// Exactly `length` bytes of the data fork: the header said so, and a file that another process
// changes meanwhile must not give a text that contradicts its own header. A fork that ends early
// throws -7.
void encodeDataFork(Encoder& encoder, FILE* source, uint32_t length, unsigned char* piece) {
  for (uint32_t done = 0; done < length;) {
    PA_Yield();
    const size_t want = std::min<size_t>(kPieceSize, length - done);
    if (int code = freadData(piece, want, source)) throw code;
    encodePiece(encoder, piece, want);
    done += static_cast<uint32_t>(want);
  }
  encoder.crc();
  encoder.flush();
}

// Exactly `length` bytes of the resource fork, read at rising positions; one that shrank while
// it was read throws -7.
void encodeResourceFork(Encoder& encoder, FILE* source, uint32_t length, unsigned char* piece) {
  for (uint32_t position = 0; position < length;) {
    PA_Yield();
    const size_t want = std::min<size_t>(kPieceSize, length - position);
    errno = 0;
    const long n = platform::getAttribute(fileno(source), kResourceForkAttr, piece, want, position);
    if (n < 0) throw streamErrno();
    if (n == 0) throw kEndedEarly;
    encodePiece(encoder, piece, static_cast<size_t>(n));
    position += static_cast<uint32_t>(n);
  }
  encoder.crc();
  encoder.flush();
}

void encodeHeader(Encoder& encoder, const icu::UnicodeString& source, uint32_t dataLength,
                  uint32_t resourceLength) {
  EncodedChars path = utf8Path(source);
  uint8_t name[256];
  const int n = truncateFilename(path.chars, name, 255);
  encoder.bytes(name, static_cast<size_t>(n) + 1);
  encoder.byte(0);  // version
  FinderInfo info{};
  getFinderInfo(source, info, kByteOrderNative);
  encoder.longValue(info.type);
  encoder.longValue(info.creator);
  encoder.byte(static_cast<unsigned char>(info.flags >> 8));
  encoder.byte(static_cast<unsigned char>(info.flags & 0xFF));
  encoder.longValue(dataLength);
  encoder.longValue(resourceLength);
  encoder.crc();
  encoder.flush();
}

int encodeFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  int64_t dataLength = 0;
  int64_t resourceLength = 0;
  if (!getFileSizes(source, dataLength, resourceLength)) return kMissingSource;
  if (dataLength > kMaxLength || resourceLength > kMaxLength) {
    return kConversionForkTooLong;
  }
  ConversionSource in(source);
  if (int code = in.open()) return code;
  // The header gives the forks' lengths before their bytes: only a regular file tells them.
  if (!in.regular()) return kConversionSourceNotAFile;
  ConversionDestination out(destination);
  if (int code = out.open()) return code;
  std::vector<unsigned char> piece(kPieceSize);
  Encoder encoder(out.get());
  if (int code = fwriteData(kHeaderText, kHeaderLength, out.get())) return code;
  encodeHeader(encoder, source, static_cast<uint32_t>(dataLength),
               static_cast<uint32_t>(resourceLength));
  encodeDataFork(encoder, in.get(), static_cast<uint32_t>(dataLength), piece.data());
  encodeResourceFork(encoder, in.get(), static_cast<uint32_t>(resourceLength), piece.data());
  in.close();
  encoder.finish();
  encoder.flush();
  return out.finish();
}

// ---- Decoder ---------------------------------------------------------------------------------

constexpr unsigned char kSkip = 126;  // a line end, TAB or 0x10 inside the data
constexpr unsigned char kBad = 127;   // anything else outside the alphabet

struct DecodeTable {
  std::array<unsigned char, 256> values{};
  constexpr DecodeTable() {
    for (auto& value : values) value = kBad;
    for (int i = 0; i < 64; ++i) values[static_cast<unsigned char>(kEncodeTable[i])] = i;
    values['\t'] = kSkip;
    values['\n'] = kSkip;
    values['\r'] = kSkip;
    values[0x10] = kSkip;
  }
};
constexpr DecodeTable kDecodeTable;

enum State {
  kBeforeData = 0,   // in text before the data
  kName = 1,         // the name length, the name and the version byte
  kHeader = 2,       // the header fields after the version byte
  kAtLineStart = 3,  // at a line start or after white space, before the data
  kDataFork = 4,
  kDataCrcHigh = 5,
  kDataCrcLow = 6,
  kResourceFork = 7,
  kResourceCrcHigh = 8,
  kResourceCrcLow = 9,
  kBeforeClose = 10,  // after the resource CRC, before the closing colon
  kClosed = 11,
};

// The header fields after the version byte.
constexpr size_t kHeaderFields = 20;
constexpr size_t kHeaderCrcOffset = 18;
// Characters that may stand between the last of the resource CRC and the closing colon.
constexpr int kMaxTrailingCharacters = 3;

bool isWhiteSpace(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == ' '; }

// LF, CR or CR LF at the file's position; true when c starts one (and its LF is then read).
bool isEOL(int c, FILE* file) {
  if (c == '\n') return true;
  if (c != '\r') return false;
  const int next = std::fgetc(file);
  if (next != '\n' && next != EOF) std::ungetc(next, file);
  return true;
}

class Decoder {
 public:
  // A destination that keeps no forks (a device) gets the data fork alone.
  Decoder(FILE* destination, bool keepsForks)
      : destination_(destination), keepsForks_(keepsForks) {}

  bool closed() const { return state_ == kClosed; }

  // One character of the text after the header line. A zero byte, which no BinHex text holds,
  // ends the text as no BinHex wherever it stands: a source that never ends is read no further.
  void character(unsigned char c) {
    if (c == 0 && state_ != kClosed) throw kNotBinHex;
    switch (state_) {
      case kBeforeData:
        if (isWhiteSpace(c)) state_ = kAtLineStart;
        return;
      case kAtLineStart:
        if (c == ':') {
          buffer_.resize(kPieceSize);
          state_ = kName;
        } else if (!isWhiteSpace(c)) {
          state_ = kBeforeData;
        }
        return;
      case kBeforeClose:
        if (c == ':') {
          if (trailing_ > kMaxTrailingCharacters) throw kNotBinHex;
          state_ = kClosed;
        } else if (kDecodeTable.values[c] != kSkip) {
          ++trailing_;
        }
        return;
      case kClosed:
        return;
      default:
        return sixBits(c);
    }
  }

 private:
  void sixBits(unsigned char c) {
    const unsigned char v = kDecodeTable.values[c];
    if (v == kSkip) return;
    if (v == kBad) throw kNotBinHex;
    switch (phase_) {
      case 0:
        pending_ = static_cast<unsigned char>(v << 2);
        phase_ = 1;
        return;
      case 1:
        expand(pending_ | v >> 4);
        pending_ = static_cast<unsigned char>(v << 4);
        phase_ = 2;
        return;
      case 2:
        expand(pending_ | v >> 2);
        pending_ = static_cast<unsigned char>(v << 6);
        phase_ = 3;
        return;
      default:
        expand(pending_ | v);
        phase_ = 0;
        return;
    }
  }

  // Run-length expansion: 0x90 n repeats the byte before it to a run of n; 0x90 0 is 0x90.
  void expand(int b) {
    const auto value = static_cast<unsigned char>(b);
    if (repeatPending_) {
      repeatPending_ = false;
      if (value == 0) {
        lastByte_ = kRunMarker;
        return dataByte(kRunMarker);
      }
      for (int i = 1; i < value && state_ != kBeforeClose; ++i) dataByte(lastByte_);
      return;
    }
    if (value == kRunMarker) {
      repeatPending_ = true;
      return;
    }
    lastByte_ = value;
    dataByte(value);
  }

  void dataByte(unsigned char value) {
    switch (state_) {
      case kName:
        return nameByte(value);
      case kHeader:
        return headerByte(value);
      case kDataFork:
      case kResourceFork:
        if (forkRemaining_ == 0) {
          state_ = state_ == kDataFork ? kDataCrcHigh : kResourceCrcHigh;
          return dataByte(value);
        }
        buffer_[count_++] = value;
        crc_ = crc16Step(crc_, value);
        --forkRemaining_;
        if (count_ == buffer_.size()) writeBuffer();
        return;
      case kDataCrcHigh:
      case kResourceCrcHigh:
        expectedCrc_ = static_cast<uint16_t>(value << 8);
        state_ = static_cast<State>(state_ + 1);
        return;
      case kDataCrcLow:
        expectedCrc_ |= value;
        verifyCrc();
        writeBuffer();
        if (std::fflush(destination_) != 0) throw streamErrno();
        state_ = kResourceFork;
        forkRemaining_ = resourceLength_;
        return;
      case kResourceCrcLow:
        expectedCrc_ |= value;
        verifyCrc();
        writeBuffer();
        std::vector<unsigned char>().swap(buffer_);
        state_ = kBeforeClose;
        return;
      default:
        return;
    }
  }

  // The length byte, exactly that many name bytes, then the version byte: all in the CRC. The
  // name itself is not used; the destination path names the file.
  void nameByte(unsigned char value) {
    crc_ = crc16Step(crc_, value);
    if (nameRemaining_ < 0) {
      nameRemaining_ = value;
    } else if (nameRemaining_ > 0) {
      --nameRemaining_;
    } else {
      state_ = kHeader;
    }
  }

  void headerByte(unsigned char value) {
    if (count_ < kHeaderCrcOffset) crc_ = crc16Step(crc_, value);
    header_[count_++] = value;
    if (count_ < kHeaderFields) return;
    count_ = 0;
    expectedCrc_ = static_cast<uint16_t>(header_[18] << 8 | header_[19]);
    verifyCrc();
    const uint32_t dataLength = readBigEndian32(header_ + 10);
    resourceLength_ = readBigEndian32(header_ + 14);
    // The lengths are read unsigned: one of 2 GB or more is refused, never taken as negative.
    if (dataLength > kMaxLength || resourceLength_ > kMaxLength) {
      throw kConversionForkTooLong;
    }
    FinderInfo info;
    info.type = readBigEndian32(header_);
    info.creator = readBigEndian32(header_ + 4);
    info.flags = static_cast<uint16_t>((header_[8] << 8 | header_[9]) & kKeptFlags);
    if (keepsForks_) {
      if (int code = setFinderInfo(info, destination_, kByteOrderNative)) throw code;
    }
    state_ = kDataFork;
    forkRemaining_ = dataLength;
  }

  void verifyCrc() {
    if (crc_ != expectedCrc_) throw kNotBinHex;
    crc_ = 0;
  }

  // The data fork goes to the file; the resource fork to its attribute at rising positions.
  void writeBuffer() {
    if (count_ == 0) return;
    if (state_ <= kDataCrcLow) {
      if (int code = fwriteData(buffer_.data(), count_, destination_)) throw code;
    } else if (keepsForks_) {
      errno = 0;
      if (platform::setAttribute(fileno(destination_), kResourceForkAttr, buffer_.data(), count_,
                                 resourceOffset_) != 0) {
        throw streamErrno();
      }
      resourceOffset_ += static_cast<uint32_t>(count_);
    }
    count_ = 0;
  }

  FILE* destination_;
  bool keepsForks_;
  State state_ = kAtLineStart;
  std::vector<unsigned char> buffer_;
  size_t count_ = 0;
  uint32_t forkRemaining_ = 0;
  uint32_t resourceLength_ = 0;
  uint32_t resourceOffset_ = 0;
  int nameRemaining_ = -1;
  int trailing_ = 0;
  unsigned char header_[kHeaderFields] = {};
  unsigned char lastByte_ = 0;
  unsigned char pending_ = 0;
  int phase_ = 0;
  bool repeatPending_ = false;
  uint16_t crc_ = 0;
  uint16_t expectedCrc_ = 0;
};

// What begins the header line. The words after it differ from tool to tool: "with BinHex 4.0)"
// here, "; you knew that already.)" from macutils' binhex.
constexpr char kHeaderLineStart[] = "(This file must be converted";
constexpr size_t kHeaderLineStartLength = sizeof kHeaderLineStart - 1;

// Skips any text before the header line (mail headers, notes), then the header line itself: the
// first line that begins with kHeaderLineStart. The host gets its turns as the text is read, as
// it does while the data is decoded. Answers 0; -7 for a file too short to hold a header line, or
// cut inside its text; -13 when no header line comes before the end or a zero byte, or it has no
// line end; or an errno.
int readHeaderLine(FILE* source) {
  std::string line;  // the first bytes of the current line, up to kMinHeaderLength
  bool header = false;
  size_t read = 0;
  for (;;) {
    if (read % kYieldEvery == 0) PA_Yield();
    const int c = std::fgetc(source);
    if (c == EOF) {
      if (std::ferror(source)) return streamErrno();
      const bool cut = !line.empty() && line.size() < kMinHeaderLength &&
                       std::memcmp(line.data(), kMinHeaderText, line.size()) == 0;
      return read < kMinHeaderLength || cut ? kEndedEarly : kNotBinHex;
    }
    ++read;
    // No BinHex text holds a zero byte: a source that gives one (a binary file, a device that
    // never ends) is no BinHex.
    if (c == 0) return kNotBinHex;
    if (isEOL(c, source)) {
      if (header) return 0;
      line.clear();
      continue;
    }
    if (line.size() == kMinHeaderLength) continue;
    line.push_back(static_cast<char>(c));
    if (line.size() == kHeaderLineStartLength) header = line == kHeaderLineStart;
  }
}

int decodeFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  int64_t size = 0;
  if (!getFileSize(source, size)) return kMissingSource;
  if (size > kMaxLength) return kConversionForkTooLong;
  ConversionSource in(source);
  if (int code = in.open()) return code;
  // Read before the destination is touched: a text that is no BinHex leaves it as it was.
  if (int code = readHeaderLine(in.get())) return code;
  ConversionDestination out(destination);
  if (int code = out.open()) return code;
  std::vector<unsigned char> block(kPieceSize);
  Decoder decoder(out.get(), out.keepsForks());
  while (!decoder.closed()) {
    PA_Yield();
    errno = 0;
    const size_t n = std::fread(block.data(), 1, block.size(), in.get());
    if (std::ferror(in.get())) return streamErrno();
    if (n == 0) break;
    for (size_t i = 0; i < n; ++i) {
      if (i % kYieldEvery == 0) PA_Yield();
      decoder.character(block[i]);
    }
  }
  // A text that ends before its closing colon has lost data at least of its last fork's check.
  if (!decoder.closed()) return kEndedEarly;
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

}  // namespace binhex
