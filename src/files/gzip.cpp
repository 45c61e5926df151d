// gzip files through zlib's gz functions.

#include "files/gzip.h"

#include <cerrno>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>
#include <zlib.h>

#include "4DPluginAPI.h"
#include "files/conversion.h"
#include "files/file_io.h"
#include "files/xfile.h"

namespace gzip {

namespace {

// Large enough that the per-block yield and call costs vanish beside the compression.
constexpr size_t kBlockSize = 0x40000;

struct GzCloser {
  void operator()(gzFile_s* file) const { gzclose(file); }
};
using unique_gzfile = std::unique_ptr<gzFile_s, GzCloser>;

// zlib's error number for the stream, with Z_ERRNO made the errno it stands for; 0 for none.
int gzErrorNumber(gzFile file) {
  int number = Z_OK;
  gzerror(file, &number);
  if (number == Z_ERRNO) return errno != 0 ? errno : EIO;
  return number;
}

// Throws zlib's error number for the stream, when there is one.
void gzError(gzFile file) {
  const int number = gzErrorNumber(file);
  if (number != 0) throw number;
}

// The mode that opens the gzip file for writing: level 1 to 9 as given, any other level 6.
std::string writeMode(int level) {
  std::string mode = "wb6";
  if (level >= 1 && level <= 9) mode[2] = static_cast<char>('0' + level);
  return mode;
}

// Closes the written gzip stream, which writes its last block and the trailer: 0 or the code.
int closeWrittenGzip(unique_gzfile& file) {
  errno = 0;
  const int result = gzclose(file.release());
  if (result == Z_OK) return 0;
  if (result == Z_ERRNO) return errno != 0 ? errno : EIO;
  return result;
}

std::vector<char> newBlock() { return std::vector<char>(kBlockSize); }

int compress(FILE* source, gzFile destination) {
  std::vector<char> block = newBlock();
  for (;;) {
    errno = 0;
    const size_t n = std::fread(block.data(), 1, block.size(), source);
    if (std::ferror(source)) return streamErrno();
    if (n == 0) break;
    if (gzwrite(destination, block.data(), static_cast<unsigned>(n)) < static_cast<int>(n)) {
      gzError(destination);
      return Z_STREAM_ERROR;
    }
    PA_Yield();
    if (n < block.size()) break;
  }
  return 0;
}

int expand(gzFile source, FILE* destination) {
  std::vector<char> block = newBlock();
  for (;;) {
    const int n = gzread(source, block.data(), static_cast<unsigned>(block.size()));
    if (n < 0) {
      gzError(source);
      return Z_DATA_ERROR;
    }
    if (n == 0) break;
    if (int code = fwriteData(block.data(), static_cast<size_t>(n), destination)) return code;
    PA_Yield();
    if (gzeof(source)) break;
  }
  // A stream that ends before its trailer gives what it could expand and then no more, with the
  // error only recorded: it is answered, so a cut file never passes for a whole one.
  return gzErrorNumber(source);
}

int compressFile(const icu::UnicodeString& source, const icu::UnicodeString& destination,
                 int level) {
  const std::string mode = writeMode(level);
  errno = 0;
  unique_file in(xfile::fopen(source, "rb"));
  if (!in) return streamErrno();
  ConversionDestination out(destination);
  if (int code = out.open()) return code;
  // zlib writes through a descriptor of its own, closed by gzclose; the file's stream holds
  // nothing of its own and is closed by finish().
  errno = 0;
  const int fd = ::dup(fileno(out.get()));
  if (fd < 0) return streamErrno();
  unique_gzfile packed(gzdopen(fd, mode.c_str()));
  if (!packed) {
    const int code = streamErrno();
    ::close(fd);
    return code;
  }
  int code = compress(in.get(), packed.get());
  closeReadFile(in);
  const int closed = closeWrittenGzip(packed);
  if (code == 0) code = closed;
  return code != 0 ? code : out.finish();
}

// Whether the stream starts with a gzip header. zlib takes any other input for plain bytes and
// copies them, for ever from a source that never ends: such input is no gzip file here. Answers 0,
// -14, or the errno of the first read.
int checkGzipHeader(gzFile source) {
  if (gzdirect(source) == 0) return 0;
  const int code = gzErrorNumber(source);
  return code != 0 ? code : kNotGzip;
}

int expandFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  EncodedChars path = utf8Path(source);
  errno = 0;
  unique_gzfile in(gzopen(path.chars, "rb"));
  if (!in) return streamErrno();
  // Read before the destination is touched: a source that is no gzip leaves it as it was.
  if (int code = checkGzipHeader(in.get())) return code;
  ConversionDestination out(destination);
  if (int code = out.open()) return code;
  const int code = expand(in.get(), out.get());
  return code != 0 ? code : out.finish();
}

}  // namespace

int encode(const icu::UnicodeString& source, const icu::UnicodeString& destination, int level) {
  return answerOf([&] { return compressFile(source, destination, level); });
}

int decode(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  return answerOf([&] { return expandFile(source, destination); });
}

}  // namespace gzip
