// The BLOB and picture transfer loops of ZUV_TCPSendBlob, ZUV_TCPReceiveBlob and
// ZUV_TCPSendPicture: a byte range of a BLOB sent chunk by chunk, the stream's bytes added to a
// BLOB until a limit, a delimiter, a deadline or the stream's end, and a range of a picture's
// GIF, JPEG or PNG data sent through the send buffer. The BLOB loops convert their chunks with
// one TransferConversion for the whole transfer; every loop holds its stream's busy counter
// across every yield.

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "commands/zuv_transfers.h"
#include "commands/zuv_transfers_common.h"
#include "commands/zuv_transfers_source.h"
#include "network/tcp.h"
#include "plugin/streams.h"
#include "services/pictures.h"
#include "text/conversion.h"
#include "text/filter_charsets.h"

namespace {

constexpr int32_t kFailed = -1;
constexpr int32_t kNotEstablishedAfterSend = -2;

std::string_view viewOf(const EncodedChars& bytes) {
  if (bytes.chars == nullptr || bytes.length <= 0) return {};
  return {bytes.chars, static_cast<size_t>(bytes.length)};
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
  int64_t room() const { return kMaxLength - size_; }
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
        std::min(std::max(needed, capacity_ + capacity_ / 2 + kTransferChunk), kMaxLength);
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

// The passes of one ZUV_TCPReceiveBlob. Its limit counts the BLOB's earlier contents and the
// bytes taken from the network, whatever the conversion makes of them, so that a receive takes
// the same bytes from the stream however they arrive.
class BlobReceive {
 public:
  BlobReceive(int32_t id, tcp::TCPGlob* stream, HostHandle blob, const BlobReceiveRequest& request,
              TransferConversion& conversion, std::string_view delimiter)
      : id_(id),
        stream_(stream),
        blob_(blob),
        start_(blob_.size()),
        request_(request),
        conversion_(conversion),
        receiver_(stream, conversion.cutsUTF8()),
        search_(delimiter),
        deadline_(request.timeout > 0 ? Deadline::afterTicks(request.timeout) : Deadline::none()) {
    searchStart_ = (request.flags & kSearchNewBytesOnly) != 0
                       ? std::max<int64_t>(start_ - search_.length() + 1, 0)
                       : 0;
    // Converted bytes are not the network's: a window keeps the network's, so that what follows
    // a delimiter goes back as it came.
    if (search_.matchesSomething() && !conversion.raw()) window_.emplace(conversion, start_);
  }

  void run() {
    bool ended = false;
    while (!ended) ended = pass();
    const int64_t before = blob_.size();
    if (receiver_.holdsTail() && streams::lookUp(id_) == stream_) {
      if (receiver_.cutByLimit() ||
          streamTakesTailBack(stream_, (request_.flags & kKeepStream) != 0)) {
        receiver_.returnTail();
      } else {
        receiver_.takeTail();
        addChunk();
      }
    }
    if (delimiterFound_) return;
    addBytes(conversion_.finish());
    // The last character and what the filters held may still bring the delimiter.
    if (blob_.size() > before && streams::lookUp(id_) == stream_) cutAtDelimiter();
  }

 private:
  // One pass; true when the receive ends.
  bool pass() {
    yieldAt(kBlobReceivePacing);
    if (streams::lookUp(id_) != stream_) return true;
    int64_t room = blob_.room();
    if (request_.limit > 0) room = std::min<int64_t>(room, request_.limit - start_ - taken_);
    if (room <= 0) return true;
    int32_t received =
        receiver_.receive(static_cast<int32_t>(std::min<int64_t>(room, kTransferChunk)));
    if (received < 0 || receiver_.cutByLimit()) return true;
    if (received == 0) {
      // A stream that is no longer established ends the receive now, not after the pause.
      if (!established()) return true;
      idleAfterEmptyPass(stream_, kBlobReceivePacing);
    } else {
      if (!addChunk()) return true;
      if (cutAtDelimiter()) return true;
    }
    if (request_.limit > 0 && start_ + taken_ >= request_.limit) return true;
    if (request_.timeout == 0 && received == 0) return true;
    if (request_.timeout > 0 && deadline_.passed()) return true;
    return !established();
  }

  bool established() { return tcp::status(stream_, tcp::kSelectStatus) == kStreamEstablished; }

  // Adds the pass's kept bytes, converted; bytes that do not fit go back to the stream and end
  // the receive.
  bool addChunk() {
    std::string_view chunk = receiver_.chunk();
    if (chunk.empty()) return true;
    if (conversion_.raw()) return keep(blob_.append(chunk.data(), receiver_.size()));
    // The filters' state before the chunk, for a chunk that goes back.
    TransferConversion before(conversion_);
    bool added;
    if (window_) {
      window_->convert(conversion_, chunk, blob_.size(), produced_);
      added = blob_.append(produced_.data(), static_cast<int64_t>(produced_.size()));
    } else {
      added = addBytes(conversion_.next(chunk.data(), receiver_.size()));
    }
    if (!added) {
      conversion_ = std::move(before);
      if (window_) window_->forgetLast(chunk.size());
    }
    return keep(added);
  }

  // Counts a chunk that the BLOB took; gives one back that it could not take.
  bool keep(bool added) {
    if (added) {
      taken_ += receiver_.size();
    } else {
      receiver_.giveBack();
    }
    return added;
  }

  bool addBytes(const EncodedChars& bytes) { return blob_.append(bytes.chars, bytes.length); }

  bool cutAtDelimiter() {
    if (!search_.matchesSomething()) return false;
    int64_t at;
    {
      unique_handle_lock bytes(blob_.handle());
      at = search_.find(bytes.data(), blob_.size(), std::max<int64_t>(searchStart_, 0));
      if (at >= 0) giveBackBeyond(bytes.data(), at + search_.length());
    }
    if (at < 0) {
      searchStart_ = blob_.size() - search_.length() + 1;
      if (window_) window_->advance();
      return false;
    }
    blob_.cutTo((request_.flags & kDelimiterLeftOut) != 0 ? at : at + search_.length());
    delimiterFound_ = true;
    return true;
  }

  // Puts what the receive took beyond a delimiter that ends at `after` back in front of the
  // stream: earlier contents that follow it, then the bytes taken from the network after the
  // delimiter's own as they came, then the held-back tail, which came after everything else.
  void giveBackBeyond(const char* blob, int64_t after) {
    receiver_.returnTail();
    if (!window_) {
      putBack(std::string_view(blob + after, static_cast<size_t>(blob_.size() - after)));
      return;
    }
    const int64_t base = window_->base();
    if (after <= base) {
      putBack(window_->bytes());
      putBack(std::string_view(blob + after, static_cast<size_t>(base - after)));
      return;
    }
    std::string_view produced(blob + base, static_cast<size_t>(blob_.size() - base));
    putBack(window_->beyond(after - base, produced));
  }

  void putBack(std::string_view bytes) {
    if (bytes.empty()) return;
    tcp::unreceive(stream_, bytes.data(), static_cast<int32_t>(bytes.size()), true);
  }

  int32_t id_;
  tcp::TCPGlob* stream_;
  GrowingBlob blob_;
  const int64_t start_;  // the BLOB's size before the receive
  BlobReceiveRequest request_;
  TransferConversion& conversion_;
  ChunkReceiver receiver_;
  DelimiterSearch search_;
  Deadline deadline_;
  std::optional<SourceWindow> window_;
  std::string produced_;
  int64_t taken_ = 0;  // the network bytes added to the BLOB
  int64_t searchStart_ = 0;
  bool delimiterFound_ = false;
};

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

}  // namespace

int32_t sendBlob(int32_t id, HostHandle blob, int filter, int64_t first, int64_t last) {
  int64_t size = blob != nullptr ? PA_GetHandleSize(blob) : 0;
  if (size <= 0) return 0;
  TransferConversion conversion(filter);
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

int32_t delimiterBytes(const PA_Unistring& text, const ChunkConversion& conversion,
                       EncodedChars& bytes) {
  PA_4DCharSet charset = conversion.target != 0 ? conversion.target : kCharSet100;
  bytes = convertToChars(text.fString, text.fLength, charset);
  if (text.fLength > 0 && bytes.length == 0) return kFailed;
  return delimiterExactnessCode(exactnessOf(text.fString, text.fLength, bytes, charset));
}

void receiveIntoBlob(int32_t id, HostHandle blob, const BlobReceiveRequest& request,
                     TransferConversion& conversion, const EncodedChars& delimiter) {
  streams::BusyStream held(id);
  BlobReceive receive(id, held.stream(), blob, request, conversion, viewOf(delimiter));
  receive.run();
}

int32_t sendPicture(int32_t id, HostPicture picture, int64_t first, int64_t last) {
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
