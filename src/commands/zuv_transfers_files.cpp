// The file transfer loops of ZUV_TCPSendFile and ZUV_TCPReceiveFile: a byte range of a file's data
// or resource fork sent chunk by chunk, and the stream's bytes written to a file until a count, a
// deadline or the stream's end. Each converts its chunks with one TransferConversion for the whole
// transfer and holds its stream's busy counter across every yield.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <string_view>

#include <unicode/unistr.h>

#include "commands/zuv_transfers.h"
#include "commands/zuv_transfers_common.h"
#include "files/file_io.h"
#include "files/xfile.h"
#include "network/tcp.h"
#include "platform/platform.h"
#include "plugin/streams.h"
#include "text/conversion.h"

namespace {

constexpr int32_t kFailed = -1;
constexpr int32_t kFileWillNotOpen = -2;
constexpr int32_t kMissingFile = 2;
constexpr int32_t kForkTooLarge = 27;
// A converted chunk grows many times over through the filters and the character sets, and its
// sizes are counted in 32 bits: a larger chunk asked for is sent in chunks of this size, so that
// no count wraps and loses a chunk. The bytes the peer gets are the same.
constexpr int64_t kMaxConvertedChunk = int64_t{1} << 24;

// A buffer of our own for one chunk, reused by every chunk of a command; null when memory is
// refused.
std::unique_ptr<char[]> chunkBuffer(int64_t size) {
  return std::unique_ptr<char[]>(
      new (std::nothrow) char[static_cast<size_t>(std::max<int64_t>(size, 1))]);
}

// Lowers the result of a stream check: a status outside 8..13 (established or closing, before the
// peer's close) ends a file send with itself as the code, except 0, which would read as success.
int32_t statusAfterChunk(tcp::TCPGlob* stream) {
  int32_t status = tcp::status(stream, tcp::kSelectStatus);
  if (status >= kStreamEstablished && status < kStreamPeerClosed) return 0;
  return status == kStreamNotConnected ? kFailed : status;
}

// ---- ZUV_TCPSendFile ----------------------------------------------------------------------------

// A byte range of a file's data fork or resource fork, read chunk by chunk at a running offset
// that a UTF-8 cut can move back.
class ForkReader {
 public:
  ForkReader(FILE* file, bool resourceFork, int64_t first)
      : file_(file), resourceFork_(resourceFork), offset_(first) {}
  // 0, an errno, or -7 when the fork ends before n bytes.
  int32_t read(char* buffer, int64_t n) {
    int32_t code;
    if (resourceFork_) {
      long got = platform::getAttribute(fileno(file_), kResourceForkAttr, buffer,
                                        static_cast<size_t>(n), static_cast<uint32_t>(offset_));
      // A fork that shrank since its size was read gives fewer bytes: never send the rest of
      // the buffer in their place.
      code = got < 0 ? errno : (got < n ? kFileEndedEarly : 0);
    } else {
      code = freadData(buffer, static_cast<size_t>(n), file_);
    }
    if (code == 0) offset_ += n;
    return code;
  }
  // Gives back the last `tail` bytes read: the next read starts with them.
  void unread(int64_t tail) {
    offset_ -= tail;
    if (!resourceFork_) fseeko(file_, -tail, SEEK_CUR);
  }

 private:
  FILE* file_;
  bool resourceFork_;
  int64_t offset_;
};

struct FileSendRequest {
  int64_t first;
  int64_t last;
  int64_t chunk;
  bool resourceFork;
};

int32_t sendFileChunks(int32_t id, tcp::TCPGlob* stream, FILE* file, const FileSendRequest& request,
                       TransferConversion& conversion) {
  std::unique_ptr<char[]> buffer =
      chunkBuffer(std::min(request.chunk, request.last - request.first + 1));
  if (!buffer) return kFailed;
  if (int32_t flushed = tcp::sendBuffered(stream, nullptr, 0, 0)) return flushed;
  if (!request.resourceFork && fseeko(file, request.first, SEEK_SET) != 0) return kFailed;
  ForkReader reader(file, request.resourceFork, request.first);
  for (int64_t remaining = request.last - request.first + 1; remaining > 0;) {
    int64_t n = std::min(request.chunk, remaining);
    if (int32_t code = reader.read(buffer.get(), n)) return code;
    if (conversion.cutsUTF8() && remaining >= request.chunk) {
      int64_t keep = getUTF8SendSize(buffer.get(), static_cast<int>(n));
      reader.unread(n - keep);
      n = keep;
    }
    int32_t sent =
        conversion.raw()
            ? tcp::send(stream, buffer.get(), static_cast<int32_t>(n), true)
            : sendConverted(stream, conversion.next(buffer.get(), static_cast<int>(n)), false);
    if (sent != 0) return sent;
    if (int32_t status = statusAfterChunk(stream)) return status;
    yieldAt(kFileSendPacing);
    if (streams::lookUp(id) != stream) return kFailed;
    remaining -= n;
  }
  return sendConverted(stream, conversion.finish(), false);
}

// ---- ZUV_TCPReceiveFile ------------------------------------------------------------------------

struct FileReceiveRequest {
  int64_t count;  // 0 or less: none
  Deadline deadline = Deadline::none();
  bool keepStream;
};

// Writes bytes to the file: 0 or an errno.
int32_t writeBytes(FILE* file, const char* bytes, int64_t n) {
  if (n <= 0) return 0;
  return fwriteData(bytes, static_cast<size_t>(n), file);
}

int32_t writeChunk(FILE* file, const ChunkReceiver& receiver, TransferConversion& conversion) {
  std::string_view chunk = receiver.chunk();
  if (chunk.empty()) return 0;
  if (conversion.raw()) return writeBytes(file, chunk.data(), receiver.size());
  EncodedChars converted = conversion.next(chunk.data(), receiver.size());
  return writeBytes(file, converted.chars, converted.length);
}

bool isEstablished(tcp::TCPGlob* stream) {
  return tcp::status(stream, tcp::kSelectStatus) == kStreamEstablished;
}

int32_t receivePasses(int32_t id, tcp::TCPGlob* stream, FILE* file,
                      const FileReceiveRequest& request, ChunkReceiver& receiver,
                      TransferConversion& conversion) {
  int64_t wanted = std::max<int64_t>(request.count, 0);
  for (;;) {
    yieldAt(kFileReceivePacing);
    if (streams::lookUp(id) != stream) return kFailed;
    int64_t asked = request.count > 0 ? std::min<int64_t>(wanted, kTransferChunk) : kTransferChunk;
    receiver.receive(static_cast<int32_t>(asked));
    if (receiver.cutByLimit()) return 0;
    if (receiver.size() == 0) {
      // A stream that is no longer established ends the receive now, not after the pause.
      if (!isEstablished(stream)) return kFailed;
      idleAfterEmptyPass(stream, kFileReceivePacing);
    } else {
      if (int32_t code = writeChunk(file, receiver, conversion)) return code;
      wanted -= receiver.size();
      if (request.count > 0 && wanted <= 0) return 0;
    }
    if (!isEstablished(stream)) return kFailed;
    if (request.deadline.passed()) return 0;
  }
}

int32_t receiveFileChunks(int32_t id, tcp::TCPGlob* stream, FILE* file,
                          const FileReceiveRequest& request, TransferConversion& conversion) {
  ChunkReceiver receiver(stream, conversion.cutsUTF8());
  int32_t result = receivePasses(id, stream, file, request, receiver, conversion);
  if (!receiver.holdsTail() || streams::lookUp(id) != stream) return result;
  if (receiver.cutByLimit() || streamTakesTailBack(stream, request.keepStream)) {
    receiver.returnTail();
    return result;
  }
  receiver.takeTail();
  int32_t code = writeChunk(file, receiver, conversion);
  return code != 0 && (result == 0 || result == kFailed) ? code : result;
}

}  // namespace

int32_t sendFile(int32_t id, const icu::UnicodeString& path, const FileSendParameters& parameters) {
  streams::BusyStream held(id);
  int64_t dataSize = 0;
  int64_t resourceSize = 0;
  if (!getFileSizes(path, dataSize, resourceSize)) return kMissingFile;
  FileSendRequest request;
  request.resourceFork = (parameters.flags & kSendResourceFork) != 0;
  int64_t size = request.resourceFork ? resourceSize : dataSize;
  if (size > kMaxLength) return kForkTooLarge;
  int64_t first = parameters.first;
  int64_t last = parameters.last;
  // A negative last byte would read before the fork's start.
  if (last < 0) return kFailed;
  if (size == 0) return 0;
  request.last = last == 0 || last >= size ? size - 1 : last;
  request.first = std::min(std::max<int64_t>(first, 0), request.last);
  TransferConversion conversion(parameters.filter);
  if (conversion.conversion().producesNothing()) return kNoCharset;
  unique_file file(xfile::fopen(path, "rb"));
  if (!file) return kFileWillNotOpen;
  int32_t chunk = parameters.chunk;
  request.chunk = chunk > 0 ? chunk : (conversion.raw() ? kRawFileChunk : kTransferChunk);
  if (!conversion.raw()) request.chunk = std::min(request.chunk, kMaxConvertedChunk);
  return sendFileChunks(id, held.stream(), file.get(), request, conversion);
}

int32_t receiveIntoFile(int32_t id, const icu::UnicodeString& path,
                        const FileReceiveParameters& parameters) {
  const int32_t flags = parameters.flags;
  TransferConversion conversion(parameters.filter);
  if (conversion.conversion().producesNothing()) return kNoCharset;
  unique_file file(xfile::fopen(path, (flags & kFileAppends) != 0 ? "ab" : "wb"));
  if (!file) return errno;
  FileReceiveRequest request;
  int32_t timeout = parameters.timeout;
  request.count = parameters.count;
  request.deadline = timeout > 0 ? Deadline::afterSeconds(timeout) : Deadline::none();
  request.keepStream = (flags & kKeepStream) != 0;
  int32_t result;
  {
    streams::BusyStream held(id);
    result = receiveFileChunks(id, held.stream(), file.get(), request, conversion);
    EncodedChars rest = conversion.finish();
    int32_t code = writeBytes(file.get(), rest.chars, rest.length);
    if (code != 0 && (result == 0 || result == kFailed)) result = code;
  }
  int32_t closed = closeWrittenFile(file);
  return closed != 0 && (result == 0 || result == kFailed) ? closed : result;
}
