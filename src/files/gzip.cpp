// gzip files: written through zlib's gz functions, read through inflate member by member, so that
// what follows each member is seen as gzip -d sees it.

#include "files/gzip.h"

#include <cerrno>
#include <cstring>
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

// The compressed bytes of a gzip file, read block by block into zlib's input. Reads take what
// the source has, so that a pipe is never waited on for more than its writer sends.
class CompressedInput {
 public:
  CompressedInput(ConversionSource& source, z_stream& stream)
      : source_(source), stream_(stream), block_(kBlockSize) {}

  // Makes at least n bytes (n is small) ready in the stream's input, fewer only when the source
  // ends first: answers how many are ready. A read error throws its errno.
  size_t ensure(size_t n) {
    if (stream_.avail_in >= n) return stream_.avail_in;
    if (stream_.avail_in > 0) std::memmove(block_.data(), stream_.next_in, stream_.avail_in);
    stream_.next_in = block_.data();
    while (stream_.avail_in < n) {
      const size_t got =
          readInto(block_.data() + stream_.avail_in, block_.size() - stream_.avail_in);
      if (got == 0) break;
      stream_.avail_in += static_cast<uInt>(got);
    }
    return stream_.avail_in;
  }
  // Reads the next block when the input is used up: false when the source has ended.
  bool refill() { return ensure(1) > 0; }

 private:
  size_t readInto(unsigned char* bytes, size_t size) {
    errno = 0;
    const long got = source_.readSome(bytes, size);
    if (got < 0) throw streamErrno();
    return static_cast<size_t>(got);
  }

  ConversionSource& source_;
  z_stream& stream_;
  std::vector<unsigned char> block_;
};

constexpr unsigned char kGzipMagic[] = {0x1f, 0x8b};
// zlib's window bits for the gzip format alone: 15, plus 16.
constexpr int kGzipOnly = 15 + 16;

bool startsMember(const z_stream& stream) {
  return stream.avail_in >= 2 && stream.next_in[0] == kGzipMagic[0] &&
         stream.next_in[1] == kGzipMagic[1];
}

// What follows a member, as gzip -d reads it: another member; a single byte other than zero,
// which can only be the start of a member cut short; or the end (nothing, the zero bytes that pad
// a file on tape, other bytes), read no further.
enum class AfterMember { AnotherMember, CutMember, End };

AfterMember whatFollows(CompressedInput& input, const z_stream& stream) {
  const size_t ready = input.ensure(2);
  if (startsMember(stream)) return AfterMember::AnotherMember;
  if (ready == 1 && stream.next_in[0] != 0) return AfterMember::CutMember;
  return AfterMember::End;
}

// inflate's state, ended on every way out.
struct Inflater {
  z_stream stream{};
  int init() { return inflateInit2(&stream, kGzipOnly); }
  ~Inflater() { inflateEnd(&stream); }
};

// Expands member after member into the destination, a turn for the host before every block read
// or written. Answers 0, an errno, or zlib's code: -3 for a damaged member, -5 for one that ends
// early (zlib's gz functions would give what they could expand and answer nothing).
int expand(CompressedInput& input, z_stream& stream, FILE* destination) {
  std::vector<unsigned char> block(kBlockSize);
  bool outputPending = false;  // the last call filled the block: it may hold more
  for (;;) {
    PA_Yield();
    if (stream.avail_in == 0 && !outputPending && !input.refill()) return Z_BUF_ERROR;
    stream.next_out = block.data();
    stream.avail_out = static_cast<uInt>(block.size());
    const int result = inflate(&stream, Z_NO_FLUSH);
    if (result == Z_NEED_DICT) return Z_DATA_ERROR;
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) return result;
    const size_t produced = block.size() - stream.avail_out;
    if (int code = fwriteData(block.data(), produced, destination)) return code;
    outputPending = stream.avail_out == 0;
    if (result != Z_STREAM_END) continue;
    switch (whatFollows(input, stream)) {
      case AfterMember::AnotherMember:
        inflateReset(&stream);
        outputPending = false;
        break;
      case AfterMember::CutMember:
        return Z_BUF_ERROR;
      case AfterMember::End:
        return 0;
    }
  }
}

int compressFile(const icu::UnicodeString& source, const icu::UnicodeString& destination,
                 int level) {
  const std::string mode = writeMode(level);
  ConversionSource in(source);
  if (int code = in.open()) return code;
  // A pipe is read to its end; a device need have none (/dev/zero).
  if (in.device()) return kConversionSourceNotAFile;
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
  in.close();
  const int closed = closeWrittenGzip(packed);
  if (code == 0) code = closed;
  return code != 0 ? code : out.finish();
}

int expandFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  ConversionSource in(source);
  if (int code = in.open()) return code;
  Inflater inflater;
  if (int code = inflater.init()) return code;
  CompressedInput input(in, inflater.stream);
  // Read before the destination is touched: a source that is no gzip (zlib's gz functions would
  // copy it, for ever from a source that never ends) leaves it as it was.
  input.ensure(2);
  if (!startsMember(inflater.stream)) return kNotGzip;
  ConversionDestination out(destination);
  if (int code = out.open()) return code;
  const int code = expand(input, inflater.stream, out.get());
  in.close();
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
