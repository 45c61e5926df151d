// The file, BLOB and picture transfers: ZUV_TCPSendFile, ZUV_TCPReceiveFile, ZUV_TCPSendBlob,
// ZUV_TCPReceiveBlob and ZUV_TCPSendPicture. Each moves its bytes in chunks (zuv_transfers.h),
// converts them as the filter asks with one TransferConversion for the whole transfer, and holds
// its stream's busy counter across every yield.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include <unicode/unistr.h>

#include "codecs/codecs.h"
#include "commands/zuv_commands.h"
#include "commands/zuv_transfers_common.h"
#include "files/file_io.h"
#include "files/xfile.h"
#include "network/tcp.h"
#include "platform/platform.h"
#include "plugin/parameters.h"
#include "plugin/streams.h"
#include "services/pictures.h"
#include "text/conversion.h"
#include "text/filter_charsets.h"
#include "text/filter_stream.h"

namespace {

constexpr int32_t kBadStream = -1;
constexpr int32_t kFailed = -1;
constexpr int32_t kFileWillNotOpen = -2;
constexpr int32_t kNotEstablishedAfterSend = -2;
constexpr int32_t kMissingFile = 2;
constexpr int32_t kForkTooLarge = 27;
constexpr int64_t kMaxSize = INT32_MAX;
// A converted chunk grows many times over through the filters and the character sets, and its
// sizes are counted in 32 bits: a larger chunk asked for is sent in chunks of this size, so that
// no count wraps and loses a chunk. The bytes the peer gets are the same.
constexpr int64_t kMaxConvertedChunk = int64_t{1} << 24;

constexpr int32_t kSendResourceFork = 0x1;
constexpr int32_t kFileAppends = 0x1;
constexpr int32_t kKeepStream = 0x2;

constexpr int32_t kBlobAppends = 0x1;
constexpr int32_t kSearchNewBytesOnly = 0x4;
constexpr int32_t kDelimiterLeftOut = 0x8;

// A buffer of our own for one chunk, reused by every chunk of a command; null when memory is
// refused.
std::unique_ptr<char[]> chunkBuffer(int64_t size) {
  return std::unique_ptr<char[]>(
      new (std::nothrow) char[static_cast<size_t>(std::max<int64_t>(size, 1))]);
}

std::string_view viewOf(const EncodedChars& bytes) {
  if (bytes.chars == nullptr || bytes.length <= 0) return {};
  return {bytes.chars, static_cast<size_t>(bytes.length)};
}

// The conversion of a whole transfer, chunk after chunk: raw bytes pass as they are, character
// sets are converted chunk by chunk, and the text filters keep their state across the chunks
// (FilterStream), so that the bytes produced are those the filters give for the whole. The
// encodings encode the bytes in the target character set and the decodings give bytes of it:
// Base64 between ISO-8859-1 on both sides sends a binary file's own bytes, and decodes a binary
// attachment into its own.
class TransferConversion {
 public:
  explicit TransferConversion(int filter) {
    getFilterCharsets(filter, conversion_.source, conversion_.target);
    conversion_.textBits = filter;
    if (conversion_.textBits != 0) {
      filter_ = std::make_unique<FilterStream>(filter, conversion_.target);
    }
  }
  const ChunkConversion& conversion() const { return conversion_; }
  bool raw() const { return conversion_.raw(); }
  bool cutsUTF8() const { return conversion_.source == kCharSetUTF8; }

  // The bytes to produce for n source bytes.
  EncodedChars next(const char* bytes, int n) {
    if (!filter_) return convertChunk(bytes, n, conversion_);
    DecodedChars units = convertToUnicode(bytes, n, conversion_.source);
    std::u16string_view view;
    if (units.chars != nullptr && units.length > 0) {
      view = {reinterpret_cast<const char16_t*>(units.chars), static_cast<size_t>(units.length)};
    }
    return produce(filter_->push(view));
  }
  // The bytes that the filters still held back at the transfer's end.
  EncodedChars finish() {
    if (!filter_) return EncodedChars();
    return produce(filter_->finish());
  }

 private:
  EncodedChars produce(const std::u16string& units) {
    if (units.empty()) return EncodedChars();
    return convertToChars(reinterpret_cast<const unsigned short*>(units.data()),
                          static_cast<int>(units.size()), conversion_.target);
  }

  ChunkConversion conversion_;
  std::unique_ptr<FilterStream> filter_;
};

// Lowers the result of a stream check: a status outside 8..13 ends a file send with itself as
// the code, except 0, which would read as success.
int32_t statusAfterChunk(tcp::TCPGlob* stream) {
  int32_t status = tcp::status(stream, tcp::kSelectStatus);
  if (status >= kStreamEstablished && status <= 13) return 0;
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

int32_t sendConverted(tcp::TCPGlob* stream, const EncodedChars& bytes, bool flushFirst) {
  return tcp::send(stream, bytes.chars, bytes.length, flushFirst);
}

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

int32_t sendFileCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  icu::UnicodeString path;
  if (platformPathParameter(block, 2, path) != PathParameter::kRead) return kFailed;
  streams::BusyStream held(id);
  int64_t dataSize = 0;
  int64_t resourceSize = 0;
  if (!getFileSizes(path, dataSize, resourceSize)) return kMissingFile;
  FileSendRequest request;
  request.resourceFork = (PA_GetLongParameter(block, 7) & kSendResourceFork) != 0;
  int64_t size = request.resourceFork ? resourceSize : dataSize;
  if (size > kMaxSize) return kForkTooLarge;
  int64_t first = PA_GetLongParameter(block, 5);
  int64_t last = PA_GetLongParameter(block, 6);
  // A negative last byte would read before the fork's start.
  if (last < 0) return kFailed;
  if (size == 0) return 0;
  request.last = last == 0 || last >= size ? size - 1 : last;
  request.first = std::min(std::max<int64_t>(first, 0), request.last);
  TransferConversion conversion(PA_GetLongParameter(block, 3));
  if (conversion.conversion().producesNothing()) return kNoCharset;
  unique_file file(xfile::fopen(path, "rb"));
  if (!file) return kFileWillNotOpen;
  int32_t chunk = PA_GetLongParameter(block, 4);
  request.chunk = chunk > 0 ? chunk : (conversion.raw() ? kRawFileChunk : kTransferChunk);
  if (!conversion.raw()) request.chunk = std::min(request.chunk, kMaxConvertedChunk);
  return sendFileChunks(id, held.stream(), file.get(), request, conversion);
}

// ---- ZUV_TCPReceiveFile and ZUV_TCPReceiveBlob: what both receives share ----------------------

// The passes of a receive take the stream's next bytes and, when they are UTF-8, hold back the
// last character, complete or not, until the next pass: a chunk never ends inside a character,
// and a character cut at a pass's end is converted whole with the bytes that follow it. The
// held-back tail stays with the receive rather than going back into the stream, since a later
// pass would be given it alone, before what the socket holds, and would have to convert the
// beginning of a character by itself. At the receive's end the tail goes back to the front of a
// stream that is kept and still established; otherwise it is the transfer's last chunk, so that
// a released or ended stream takes none of the bytes along. A character that the receive's
// limit cuts is not taken at all: it goes back whole to the front of the stream, for the next
// receive, as ZUV_TCPReceive leaves it.
class ChunkReceiver {
 public:
  ChunkReceiver(tcp::TCPGlob* stream, bool cutsUTF8) : stream_(stream), cutsUTF8_(cutsUTF8) {}
  // Takes in at most `max` bytes, the held-back tail included, and keeps what may be converted
  // now in chunk(). Answers what tcp::receive answered (-1 for a failed receive).
  int32_t receive(int32_t max) {
    clearChunk();
    int64_t asked = int64_t{max} - static_cast<int64_t>(tail_.size());
    if (asked <= 0) {
      // The rest of the held-back character lies beyond the limit.
      if (wholeUTF8Length(tail_) != tail_.size()) {
        cutByLimit_ = true;
        return 0;
      }
      chunk_.swap(tail_);
      view_ = chunk_;
      return static_cast<int32_t>(chunk_.size());
    }
    HostHandle handle = scratch_.release();
    int32_t received = tcp::receive(stream_, handle, static_cast<int32_t>(asked));
    scratch_.reset(handle);
    if (received <= 0 || !scratch_) return received;
    // The received bytes are read where they are, unless a tail goes before them or a cut.
    locked_ = std::make_unique<unique_handle_lock>(scratch_.get());
    std::string_view got(locked_->data(), static_cast<size_t>(PA_GetHandleSize(scratch_.get())));
    if (!cutsUTF8_ && tail_.empty()) {
      view_ = got;
      return received;
    }
    chunk_.swap(tail_);
    chunk_.append(got);
    locked_.reset();
    if (cutsUTF8_ && !chunk_.empty()) {
      size_t keep =
          static_cast<size_t>(getUTF8SendSize(chunk_.data(), static_cast<int>(chunk_.size())));
      // The beginning of a character alone waits too: its other bytes may follow.
      if (keep == chunk_.size() && wholeUTF8Length(chunk_) == 0) keep = 0;
      tail_.assign(chunk_, keep, std::string::npos);
      chunk_.resize(keep);
    }
    view_ = chunk_;
    return received;
  }
  std::string_view chunk() const { return view_; }
  int32_t size() const { return static_cast<int32_t>(view_.size()); }
  bool holdsTail() const { return !tail_.empty(); }
  // True once the limit fell inside the held-back character: the receive has all it may take,
  // and the tail goes back to the stream whatever becomes of it.
  bool cutByLimit() const { return cutByLimit_; }
  // Makes the held-back tail the chunk, at the receive's end.
  void takeTail() {
    clearChunk();
    chunk_.swap(tail_);
    view_ = chunk_;
  }
  // Gives the held-back tail back to the front of the stream.
  void returnTail() {
    putBack(tail_);
    tail_.clear();
  }
  // Gives the chunk, then the tail behind it, back to the front of the stream, for a receive
  // that has no room for them.
  void giveBack() {
    returnTail();
    putBack(view_);
    clearChunk();
  }

 private:
  void putBack(std::string_view bytes) {
    if (!bytes.empty()) {
      tcp::unreceive(stream_, bytes.data(), static_cast<int32_t>(bytes.size()), true);
    }
  }
  void clearChunk() {
    view_ = {};
    locked_.reset();
    chunk_.clear();
  }

  tcp::TCPGlob* stream_;
  bool cutsUTF8_;
  bool cutByLimit_ = false;
  unique_handle scratch_;
  // Held while the chunk is read in the scratch handle itself; released before every receive.
  std::unique_ptr<unique_handle_lock> locked_;
  std::string chunk_;
  std::string_view view_;
  std::string tail_;
};

// True when the held-back tail can go back into the stream at a receive's end: the stream stays
// and can still be read.
bool streamTakesTailBack(tcp::TCPGlob* stream, bool keepStream) {
  return keepStream && tcp::status(stream, tcp::kSelectStatus) == kStreamEstablished;
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
      idleAfterEmptyPass(stream, kFileReceivePacing);
    } else {
      if (int32_t code = writeChunk(file, receiver, conversion)) return code;
      wanted -= receiver.size();
      if (request.count > 0 && wanted <= 0) return 0;
    }
    if (tcp::status(stream, tcp::kSelectStatus) != kStreamEstablished) return kFailed;
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

int32_t receiveIntoFile(PluginBlock* block, int32_t id, int32_t flags) {
  icu::UnicodeString path;
  if (platformPathParameter(block, 2, path) != PathParameter::kRead) return kFailed;
  TransferConversion conversion(PA_GetLongParameter(block, 3));
  if (conversion.conversion().producesNothing()) return kNoCharset;
  unique_file file(xfile::fopen(path, (flags & kFileAppends) != 0 ? "ab" : "wb"));
  if (!file) return errno;
  FileReceiveRequest request;
  int32_t timeout = PA_GetLongParameter(block, 5);
  request.count = PA_GetLongParameter(block, 6);
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

int32_t receiveFileCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  int32_t flags = PA_GetLongParameter(block, 4);
  int32_t result;
  try {
    result = receiveIntoFile(block, id, flags);
  } catch (...) {
    result = kFailed;
  }
  if ((flags & kKeepStream) == 0) doTCPRelease(id, 0);
  return result;
}

// ---- ZUV_TCPSendBlob
// ------------------------------------------------------------------------------

int32_t sendBlobChunks(int32_t id, tcp::TCPGlob* stream, const char* bytes, int64_t first,
                       int64_t last, TransferConversion& conversion) {
  while (first <= last) {
    int64_t n = std::min<int64_t>(last - first + 1, kTransferChunk);
    if (conversion.cutsUTF8() && n == kTransferChunk) {
      n = getUTF8SendSize(bytes + first, static_cast<int>(n));
    }
    int32_t sent;
    if (conversion.raw()) {
      sent = tcp::send(stream, bytes + first, static_cast<int32_t>(n), true);
    } else {
      sent = sendConverted(stream, conversion.next(bytes + first, static_cast<int>(n)), true);
    }
    if (sent != 0) return sent;
    yieldAt(kBlobSendPacing);
    if (streams::lookUp(id) != stream) return kFailed;
    first += n;
  }
  return sendConverted(stream, conversion.finish(), true);
}

int32_t sendBlobCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  HostHandle blob = PA_GetBlobHandleParameter(block, 2);
  int64_t size = blob != nullptr ? PA_GetHandleSize(blob) : 0;
  if (size <= 0) return 0;
  TransferConversion conversion(PA_GetLongParameter(block, 4));
  int64_t first = PA_GetLongParameter(block, 5);
  int64_t last = PA_GetLongParameter(block, 6);
  // A negative last byte would read before the BLOB's start.
  if (last < 0) return kFailed;
  if (conversion.conversion().producesNothing()) return kNoCharset;
  last = last == 0 || last >= size ? size - 1 : last;
  first = std::min(std::max<int64_t>(first, 0), last);
  streams::BusyStream held(id);
  unique_handle_lock bytes(blob);
  int32_t sent = sendBlobChunks(id, held.stream(), bytes.data(), first, last, conversion);
  if (sent != 0) return sent;
  int32_t status = tcp::status(held.stream(), tcp::kSelectStatus);
  return status == kStreamEstablished || status == kStreamPeerClosed ? 0 : kNotEstablishedAfterSend;
}

// ---- ZUV_TCPReceiveBlob -------------------------------------------------------------------------

// The BLOB that a receive fills: its handle grows ahead of its contents, so that a long receive
// resizes it a few times rather than once a pass, and is cut to its contents at the end. It never
// holds more than 2,147,483,647 bytes.
class GrowingBlob {
 public:
  explicit GrowingBlob(HostHandle handle)
      : handle_(handle), size_(PA_GetHandleSize(handle)), capacity_(size_) {}
  ~GrowingBlob() { fit(); }
  GrowingBlob(const GrowingBlob&) = delete;
  GrowingBlob& operator=(const GrowingBlob&) = delete;

  int64_t size() const { return size_; }
  int64_t room() const { return kMaxSize - size_; }
  // Appends n bytes; false, with nothing added, when they do not fit or the host refuses.
  bool append(const char* bytes, int64_t n) {
    if (n <= 0) return true;
    if (n > room() || !reserve(size_ + n)) return false;
    unique_handle_lock data(handle_);
    std::memcpy(data.data() + size_, bytes, static_cast<size_t>(n));
    size_ += n;
    return true;
  }
  void cutTo(int64_t size) { size_ = std::min(size, size_); }
  HostHandle handle() const { return handle_; }
  // Cuts the handle to the contents.
  void fit() {
    if (capacity_ != size_ && PA_SetHandleSize(handle_, static_cast<int32_t>(size_))) {
      capacity_ = size_;
    }
  }

 private:
  bool reserve(int64_t needed) {
    if (needed <= capacity_) return true;
    int64_t grown =
        std::min(std::max(needed, capacity_ + capacity_ / 2 + kTransferChunk), kMaxSize);
    if (!PA_SetHandleSize(handle_, static_cast<int32_t>(grown))) {
      if (!PA_SetHandleSize(handle_, static_cast<int32_t>(needed))) return false;
      grown = needed;
    }
    capacity_ = grown;
    return true;
  }

  HostHandle handle_;
  int64_t size_;
  int64_t capacity_;
};

struct BlobReceiveRequest {
  int32_t limit;  // 0 or less: none
  int32_t flags;
  int32_t timeout;  // ticks; above 0 a deadline, 0 until a pass that brings nothing
};

class BlobReceive {
 public:
  BlobReceive(int32_t id, tcp::TCPGlob* stream, HostHandle blob, const BlobReceiveRequest& request,
              TransferConversion& conversion, std::string_view delimiter)
      : id_(id),
        stream_(stream),
        blob_(blob),
        request_(request),
        conversion_(conversion),
        receiver_(stream, conversion.cutsUTF8()),
        search_(delimiter, ZeroByte::kIsData),
        deadline_(request.timeout > 0 ? Deadline::afterTicks(request.timeout) : Deadline::none()) {
    int64_t start = blob_.size();
    searchStart_ = (request.flags & kSearchNewBytesOnly) != 0
                       ? std::max<int64_t>(start - search_.length() + 1, 0)
                       : 0;
  }

  void run() {
    bool ended = false;
    while (!ended) ended = pass();
    if (receiver_.holdsTail() && streams::lookUp(id_) == stream_) {
      if (receiver_.cutByLimit() ||
          streamTakesTailBack(stream_, (request_.flags & kKeepStream) != 0)) {
        receiver_.returnTail();
      } else {
        receiver_.takeTail();
        addChunk();
      }
    }
    if (!delimiterFound_) addBytes(conversion_.finish());
  }

 private:
  // One pass; true when the receive ends.
  bool pass() {
    yieldAt(kBlobReceivePacing);
    if (streams::lookUp(id_) != stream_) return true;
    int64_t room = blob_.room();
    if (request_.limit > 0) room = std::min<int64_t>(room, request_.limit - blob_.size());
    if (room <= 0) return true;
    int32_t received =
        receiver_.receive(static_cast<int32_t>(std::min<int64_t>(room, kTransferChunk)));
    if (received < 0 || receiver_.cutByLimit()) return true;
    if (received == 0) {
      idleAfterEmptyPass(stream_, kBlobReceivePacing);
    } else {
      if (!addChunk()) return true;
      if (cutAtDelimiter()) return true;
    }
    if (request_.limit > 0 && blob_.size() >= request_.limit) return true;
    if (request_.timeout == 0 && received == 0) return true;
    if (request_.timeout > 0 && deadline_.passed()) return true;
    return tcp::status(stream_, tcp::kSelectStatus) != kStreamEstablished;
  }

  // Adds the pass's kept bytes, converted; bytes that do not fit go back to the stream and end
  // the receive.
  bool addChunk() {
    std::string_view chunk = receiver_.chunk();
    if (chunk.empty()) return true;
    bool added = conversion_.raw() ? blob_.append(chunk.data(), receiver_.size())
                                   : addBytes(conversion_.next(chunk.data(), receiver_.size()));
    if (!added) receiver_.giveBack();
    return added;
  }

  bool addBytes(const EncodedChars& bytes) { return blob_.append(bytes.chars, bytes.length); }

  bool cutAtDelimiter() {
    if (!search_.matchesSomething()) return false;
    int64_t at;
    {
      unique_handle_lock bytes(blob_.handle());
      at = search_.find(bytes.data(), blob_.size(), std::max<int64_t>(searchStart_, 0));
      if (at >= 0) {
        // The held-back tail came after everything the BLOB holds.
        receiver_.returnTail();
        int64_t after = at + search_.length();
        if (after < blob_.size()) {
          tcp::unreceive(stream_, bytes.data() + after, static_cast<int32_t>(blob_.size() - after),
                         true);
        }
      }
    }
    if (at < 0) {
      searchStart_ = blob_.size() - search_.length() + 1;
      return false;
    }
    blob_.cutTo((request_.flags & kDelimiterLeftOut) != 0 ? at : at + search_.length());
    delimiterFound_ = true;
    return true;
  }

  int32_t id_;
  tcp::TCPGlob* stream_;
  GrowingBlob blob_;
  BlobReceiveRequest request_;
  TransferConversion& conversion_;
  ChunkReceiver receiver_;
  DelimiterSearch search_;
  Deadline deadline_;
  int64_t searchStart_ = 0;
  bool delimiterFound_ = false;
};

// The delimiter's bytes in the target character set, Mac OS Roman (100) when there is none, as
// under filter 0: 0, -1 when the host could not convert a delimiter that has units, or
// kInexactText when the character set cannot hold it exactly (its '?' would match other bytes).
int32_t delimiterBytes(PluginBlock* block, const ChunkConversion& conversion, EncodedChars& bytes) {
  const PA_Unistring* text = PA_GetStringParameter(block, 6);
  PA_4DCharSet charset = conversion.target != 0 ? conversion.target : kCharSet100;
  bytes = convertToChars(text->fString, text->fLength, charset);
  if (text->fLength > 0 && bytes.length == 0) return kFailed;
  return convertsExactly(text->fString, text->fLength, bytes, charset) ? 0 : kInexactText;
}

int32_t receiveBlobCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  BlobReceiveRequest request{PA_GetLongParameter(block, 3), PA_GetLongParameter(block, 5),
                             PA_GetLongParameter(block, 7)};
  TransferConversion conversion(PA_GetLongParameter(block, 4));
  if (conversion.conversion().producesNothing()) return kNoCharset;
  EncodedChars delimiter;
  if (int32_t code = delimiterBytes(block, conversion.conversion(), delimiter)) return code;
  if (PA_GetBlobHandleParameter(block, 2) == nullptr) {
    HostHandle made = PA_NewHandle(0);
    if (made == nullptr) return kFailed;
    PA_SetBlobHandleParameter(block, 2, made);
  }
  HostHandle blob = PA_GetBlobHandleParameter(block, 2);
  if (blob == nullptr) return kFailed;
  bool appends = (request.flags & kBlobAppends) != 0;
  if (!appends) PA_SetHandleSize(blob, 0);
  int64_t start = PA_GetHandleSize(blob);
  if (appends && start == kMaxSize) return 0;
  bool ended = true;
  try {
    streams::BusyStream held(id);
    BlobReceive receive(id, held.stream(), blob, request, conversion, viewOf(delimiter));
    receive.run();
  } catch (...) {
    // The stream is released all the same, as a receive that ends any other way releases it.
    ended = false;
  }
  if ((request.flags & kKeepStream) == 0) doTCPRelease(id, 0);
  return ended ? static_cast<int32_t>(PA_GetHandleSize(blob) - start) : kFailed;
}

// ---- ZUV_TCPSendPicture
// ---------------------------------------------------------------------------

// The data of the picture's first GIF, JPEG or PNG format; null when it has none (PICT data is
// never sent) or the host gives no handle.
unique_handle sendableData(HostPicture picture) {
  for (int32_t index = 1;; ++index) {
    pictures::TypeName name;
    PA_Unistring text = PA_GetPictureData(picture, index, nullptr);
    name.take(text, PA_GetLastError() == 0);
    if (!name.made()) return unique_handle();
    int type = pictures::getPictType(name);
    if (type == pictures::kGIF || type == pictures::kJPG || type == pictures::kPNG) {
      return pictures::getPictureData(picture, index, name);
    }
  }
}

int32_t sendPictureCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  HostPicture picture = PA_GetPictureParameter(block, 2);
  int64_t first = PA_GetLongParameter(block, 3);
  int64_t last = PA_GetLongParameter(block, 4);
  if (streams::lookUp(id) == nullptr || picture == nullptr) return kBadStream;
  if (last > 0 && last <= first) return kFailed;
  unique_handle data = sendableData(picture);
  if (!data) return kFailed;
  int64_t size = PA_GetHandleSize(data.get());
  // The range stays inside the data.
  last = last > 0 ? std::min(last, size - 1) : size - 1;
  first = std::max<int64_t>(first, 0);
  if (last <= first) return 0;
  streams::BusyStream held(id);
  unique_handle_lock bytes(data.get());
  int64_t piece = (last - first + 1) % kTransferChunk;
  if (piece == 0) piece = kTransferChunk;
  for (int64_t at = first; at <= last; at += piece, piece = kTransferChunk) {
    int32_t sent =
        tcp::sendBuffered(held.stream(), bytes.data() + at, static_cast<int32_t>(piece), 0);
    if (sent != 0) return sent;
  }
  return 0;
}

}  // namespace

// ZUV_TCPSendFile: 0 when the range went out (or the fork is empty); -1 for a bad id, an empty
// or unconvertible path, a negative last byte, a failed seek or send; 2 for a missing file; 27
// for a fork over 2,147,483,647 bytes; -2 when the file does not open; -7 for a filter with text
// bits and no character set, or a fork that ends before the range; the errno of a failed read;
// the stream's status when, after a chunk, it is outside 8..13 (0 answers -1).
void handleTCPSendFile(PluginBlock* block) { answerLong(block, sendFileCommand); }

// ZUV_TCPReceiveFile: 0 when the byte count came or the deadline passed; -1 for a bad id, a bad
// path, or a stream that left status 8 (the peer's close ends a transfer so); -7 for a filter
// with text bits and no character set; the errno of a failed open, write or close. Without bit
// 0x2 the stream is released at the end, whatever the answer.
void handleTCPReceiveFile(PluginBlock* block) { answerLong(block, receiveFileCommand); }

// ZUV_TCPSendBlob: 0 when the range went out and the stream then shows 8 or 14, or for an empty
// BLOB; -2 for any other status then; -1 for a bad id, a negative last byte or a failed send;
// -7 for a filter with text bits and no character set.
void handleTCPSendBlob(PluginBlock* block) { answerLong(block, sendBlobCommand); }

// ZUV_TCPReceiveBlob: the BLOB's size at the end minus its start size; -1 for a bad id or a
// delimiter the host cannot convert; -7 for a filter with text bits and no character set; -8 for
// a delimiter that the target character set (Mac OS Roman under filter 0) cannot hold exactly;
// 0 for an append to a BLOB of 2,147,483,647 bytes. The early answers (-1 for the delimiter, -7,
// -8) receive nothing and keep the stream and the BLOB as they were.
void handleTCPReceiveBlob(PluginBlock* block) { answerLong(block, receiveBlobCommand); }

// ZUV_TCPSendPicture: 0 when the range went out or holds fewer than two bytes; -1 for a bad id,
// no picture, a last byte above 0 not above the first, a picture without GIF, JPEG or PNG data,
// or a failed send.
void handleTCPSendPicture(PluginBlock* block) { answerLong(block, sendPictureCommand); }
