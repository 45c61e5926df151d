// The text conversation loops of ZUV_TCPSend, ZUV_TCPReceive and ZUV_TCPUnreceive: the text's
// bytes in the filter's character set, the send that closes and releases a broken stream, and the
// passes of a receive, which keep its bytes in a buffer of our own, decode them while they come,
// cut them at the delimiter and give back to the stream what the text does not keep.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "commands/zuv_transfers.h"
#include "commands/zuv_transfers_common.h"
#include "network/tcp.h"
#include "plugin/streams.h"
#include "text/conversion.h"
#include "text/filter_charsets.h"
#include "text/filters.h"
#include "text/units.h"

namespace {

constexpr int32_t kFailed = -1;

// A text's bytes in a character set. A text that has units but gives no byte was refused by the
// host (no memory, or a size past 32 bits): `refused` tells it from an empty text.
struct TextBytes {
  EncodedChars bytes;
  bool refused = false;
};

TextBytes bytesOf(std::u16string_view units, PA_4DCharSet charset) {
  TextBytes result;
  result.bytes = convertToChars(reinterpret_cast<const unsigned short*>(units.data()),
                                static_cast<int>(units.size()), charset);
  result.refused = !units.empty() && charset != 0 && result.bytes.length == 0;
  return result;
}

TextBytes bytesOf(const PA_Unistring& text, PA_4DCharSet charset) {
  return bytesOf(unitsOf(text), charset);
}

// The most bytes whose UTF-16 form the host's conversion can still make (two bytes a unit and a
// terminator within 2,147,483,647 bytes). A receive keeps no more than this, so that it never
// takes bytes from the stream that it could not give back as a text.
constexpr int64_t kMaxReceiveBytes = 1073741822;

// The most room a receive's limit reserves before any byte comes.
constexpr int64_t kUpFrontBytes = int64_t{64} << 20;

// The fewest new bytes that a pass decodes into the text while the receive goes on: a receive of
// less decodes its text once, at the end.
constexpr int64_t kDecodePiece = kTransferChunk;

// The bytes (or units) of one receive. It grows geometrically through realloc, which moves the
// pages of a large block instead of copying them, so that a long receive writes each element
// about once. A growth that memory refuses changes nothing and answers false.
template <typename T>
class GrowingBuffer {
 public:
  GrowingBuffer() = default;
  ~GrowingBuffer() { std::free(data_); }
  GrowingBuffer(GrowingBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  GrowingBuffer& operator=(GrowingBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  GrowingBuffer(const GrowingBuffer&) = delete;
  GrowingBuffer& operator=(const GrowingBuffer&) = delete;

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  // Keeps the first n elements (n <= size).
  void truncate(size_t n) { size_ = n; }
  bool append(const T* elements, size_t n) {
    // An empty text has no bytes at all: nothing to copy, and no address to copy from.
    if (n == 0) return true;
    if (n > capacity_ - size_ && !grow(size_ + n)) return false;
    std::memcpy(data_ + size_, elements, n * sizeof(T));
    size_ += n;
    return true;
  }
  // Room for n more elements at end(), which commit(n) then counts in.
  bool makeRoom(size_t n) { return n <= capacity_ - size_ || grow(size_ + n); }
  T* end() { return data_ + size_; }
  void commit(size_t n) { size_ += n; }
  bool assign(const T* elements, size_t n) {
    clear();
    return append(elements, n);
  }
  // Gives the memory back, for a buffer that is no longer needed before its owner ends.
  void release() {
    std::free(std::exchange(data_, nullptr));
    size_ = capacity_ = 0;
  }

 private:
  static constexpr size_t kFirstCapacity = 65536 / sizeof(T);
  bool grow(size_t needed) {
    size_t capacity = std::max({needed, capacity_ * 2, kFirstCapacity});
    if (capacity > SIZE_MAX / sizeof(T)) return false;
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) return false;
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
    return true;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

using ReceiveBuffer = GrowingBuffer<char>;

// The passes of one ZUV_TCPReceive on a stream that the caller holds busy. The bytes live in a
// buffer of our own that grows geometrically. A long receive decodes them into the text's units
// piece by piece, each piece while its bytes are still in the cache and mostly while the peer is
// still sending, always cut between characters so that the pieces join into the very text that
// the whole would give; a short one decodes them once, at the end.
class TextReceive {
 public:
  TextReceive(int32_t id, tcp::TCPGlob* stream, const ReceiveRequest& request,
              const Deadline& deadline, std::string_view delimiter, ReceiveBuffer earlier)
      : id_(id),
        stream_(stream),
        request_(request),
        search_(delimiter),
        buffer_(std::move(earlier)),
        deadline_(deadline),
        count_(appends() ? static_cast<int64_t>(buffer_.size()) : 0),
        earlier_(count_),
        decoding_(decodesInPieces(request.charset)) {}

  // Runs the passes; answers the byte count, -1 when the first pass of a replacing receive failed.
  int64_t run();
  // The text's bytes: the earlier text's, then those taken from the stream.
  const ReceiveBuffer& bytes() const { return buffer_; }
  // Puts the bytes taken from the stream back in front of it, for a text that cannot be made.
  void giveBack();
  // Makes the variable's text of the bytes and applies the filter's text bits; false when the
  // host could not make it.
  bool makeText(PA_Unistring& text, int filter);

 private:
  bool appends() const { return (request_.flags & kReceiveAppends) != 0; }
  bool streamIsHeld() const { return streams::lookUp(id_) == stream_; }
  int64_t incompleteTail() const;
  int64_t wholeCount() const { return count_ - incompleteTail(); }
  void keepIncompleteTailInStream();
  int32_t firstReplacingPass();
  int32_t appendingPass(bool& full);
  int32_t receiveAtMost(int64_t max);
  int32_t receiveIntoBuffer(int64_t asked, bool& full);
  bool keepScratch(int32_t received);
  bool cutAtDelimiter();
  bool goesOn(int32_t received);
  bool streamMayBringMore();
  bool streamHasEnded();
  static bool decodesInPieces(PA_4DCharSet charset);
  void decodeWholeCharacters();
  bool decodeUpTo(int64_t end);
  void forgetDecodedPast(int64_t size);
  void stopDecoding();

  int32_t id_;
  tcp::TCPGlob* stream_;
  ReceiveRequest request_;
  DelimiterSearch search_;
  ReceiveBuffer buffer_;
  Deadline deadline_;
  int64_t count_;
  const int64_t earlier_;  // the earlier text's bytes at the buffer's start
  bool cut_ = false;       // the text ends at a delimiter
  int64_t searchStart_ = 0;
  unique_handle scratch_;
  GrowingBuffer<PA_Unichar> units_;  // the text of the bytes before decoded_
  int64_t decoded_ = 0;
  bool decoding_;  // false once a piece could not be decoded: the text is made whole at the end
  bool passWaited_ = false;  // the last pass waited for bytes already
};

int64_t TextReceive::run() {
  // A limit sizes the buffer once, so that a long receive copies no byte to grow it; a refusal
  // leaves the growth to the passes.
  if (request_.limit > 0) {
    buffer_.makeRoom(static_cast<size_t>(std::min<int64_t>(request_.limit, kUpFrontBytes)));
  }
  for (bool first = true;; first = false) {
    bool full = false;
    passWaited_ = false;
    int32_t received = first && !appends() ? firstReplacingPass() : appendingPass(full);
    if (received < 0 || full) break;
    if (received != 0 && cutAtDelimiter()) break;
    if (received == 0 && !streamMayBringMore()) break;
    if (!goesOn(received)) break;
    if (received != 0) decodeWholeCharacters();
    if (received == 0 && !passWaited_) tcp::awaitBytes(stream_, kEmptyPassWait);
    yieldAt(kTextReceivePacing);
    // Shut-down may have emptied the table during the yield.
    if (!streamIsHeld()) return count_;
  }
  if (count_ > 0) keepIncompleteTailInStream();
  return count_;
}

// A UTF-8 character that the bytes taken so far end inside: the rest may still come, unless a
// delimiter ended the text (what follows it is no part of this text).
int64_t TextReceive::incompleteTail() const {
  if (request_.charset != kCharSetUTF8 || cut_ || count_ <= earlier_) return 0;
  return incompleteUTF8Tail(buffer_.data() + earlier_, count_ - earlier_);
}

// Leaves the beginning of a character at the end in the stream, so that the next receive gives
// it whole instead of two replacement characters. The bytes stay in the text when the stream
// can bring no more, when they are all this receive took at its limit (a limit too small for
// the character would else never let it through), or when the stream refuses them.
void TextReceive::keepIncompleteTailInStream() {
  int64_t tail = incompleteTail();
  if (tail == 0) return;
  bool limitTooSmall = request_.limit > 0 && count_ >= request_.limit && tail == count_ - earlier_;
  if (limitTooSmall || streamHasEnded()) return;
  int32_t before = tcp::unreceive(stream_, nullptr, 0, true);
  const char* from = buffer_.data() + count_ - tail;
  if (tcp::unreceive(stream_, from, static_cast<int32_t>(tail), true) == before) return;
  count_ -= tail;
  buffer_.truncate(static_cast<size_t>(count_));
  forgetDecodedPast(count_);
}

void TextReceive::giveBack() {
  if (count_ <= earlier_ || !streamIsHeld()) return;
  tcp::unreceive(stream_, buffer_.data() + earlier_, static_cast<int32_t>(count_ - earlier_), true);
}

// The first pass of a receive that replaces the text: what it receives is the whole buffer.
// Without a limit it takes what tcp::receive gives when asked for no maximum (for a TLS stream,
// everything already decrypted).
int32_t TextReceive::firstReplacingPass() {
  buffer_.clear();
  count_ = 0;
  int32_t received;
  if (request_.limit > 0) {
    bool full = false;
    received = receiveIntoBuffer(std::min<int64_t>(request_.limit, kMaxReceiveBytes), full);
    if (full) received = kFailed;
  } else {
    received = receiveAtMost(0);
    if (received > 0 && !keepScratch(received)) received = kFailed;
  }
  if (received < 0) count_ = kFailed;
  return received;
}

// A pass that adds what it receives to the buffer. `full` tells that no room is left.
int32_t TextReceive::appendingPass(bool& full) {
  if ((request_.flags & kSearchNewBytesOnly) != 0) {
    searchStart_ = std::max<int64_t>(count_ - search_.length() + 1, 0);
  }
  int64_t room = kMaxReceiveBytes - count_;
  int64_t asked = request_.limit > 0 ? std::min<int64_t>(request_.limit - count_, room)
                                     : std::min<int64_t>(room, kTransferChunk);
  if (room <= 0) full = true;
  if (asked <= 0) return 0;
  return receiveIntoBuffer(asked, full);
}

// Reads at most `asked` bytes (and one piece) straight into the buffer. `full` tells that our
// memory has no room for them: nothing is then taken from the stream.
int32_t TextReceive::receiveIntoBuffer(int64_t asked, bool& full) {
  int32_t piece = static_cast<int32_t>(std::min<int64_t>(asked, kTransferChunk));
  if (!buffer_.makeRoom(static_cast<size_t>(piece))) {
    full = true;
    return 0;
  }
  // A receive that may wait waits in the read itself, when nothing is there yet.
  const int wait = request_.timeout != 0 ? kEmptyPassWait : 0;
  int32_t received = tcp::receiveInto(stream_, buffer_.end(), piece, wait);
  passWaited_ = wait > 0;
  if (received > 0) {
    buffer_.commit(static_cast<size_t>(received));
    count_ = static_cast<int64_t>(buffer_.size());
  }
  return received;
}

int32_t TextReceive::receiveAtMost(int64_t max) {
  HostHandle handle = scratch_.release();
  int32_t received = tcp::receive(stream_, handle, static_cast<int32_t>(max));
  scratch_.reset(handle);
  return received;
}

// Moves the scratch handle's bytes into the buffer. When our memory runs out they go back to the
// front of the stream, so that no byte taken from it is lost, and the receive ends.
bool TextReceive::keepScratch(int32_t received) {
  unique_handle_lock bytes(scratch_.get());
  if (!buffer_.assign(bytes.data(), static_cast<size_t>(received))) {
    tcp::unreceive(stream_, bytes.data(), received, true);
    return false;
  }
  count_ = static_cast<int64_t>(buffer_.size());
  return true;
}

// Ends the text at the delimiter when the buffer holds it; what follows goes back to the front of
// the stream. Should the stream refuse to take it back, the text keeps it instead of losing it.
bool TextReceive::cutAtDelimiter() {
  int64_t at = search_.find(buffer_.data(), count_, searchStart_);
  if (at < 0) return false;
  int64_t keep = (request_.flags & kDelimiterStaysInStream) != 0 ? at : at + search_.length();
  int32_t tail = static_cast<int32_t>(count_ - keep);
  if (tail > 0) {
    int32_t before = tcp::unreceive(stream_, nullptr, 0, true);
    if (tcp::unreceive(stream_, buffer_.data() + keep, tail, true) == before) return true;
  }
  buffer_.truncate(static_cast<size_t>(keep));
  count_ = keep;
  cut_ = true;
  forgetDecodedPast(count_);
  return true;
}

// ---- Decoding while the bytes come

bool TextReceive::decodesInPieces(PA_4DCharSet charset) {
  return charset == kCharSetUTF8 || charset == kCharSet100 || charset == kCharSet1005;
}

// Decodes what came since the last piece, up to the last whole character. Bytes that a longer
// delimiter might still begin with stay undecoded, so that a cut never falls before the end of
// the decoded bytes.
void TextReceive::decodeWholeCharacters() {
  if (!decoding_) return;
  const int64_t size = static_cast<int64_t>(buffer_.size());
  int64_t pending = size - decoded_;
  if (search_.matchesSomething()) pending -= search_.length() - 1;
  if (pending < kDecodePiece) return;
  if (request_.charset == kCharSetUTF8) {
    pending -= incompleteUTF8Tail(buffer_.data() + decoded_, pending);
  }
  // The first piece sizes the units as the limit sized the bytes; a refusal leaves the growth to
  // the pieces.
  if (decoded_ == 0 && request_.limit > 0) {
    units_.makeRoom(static_cast<size_t>(std::min<int64_t>(request_.limit, kUpFrontBytes)));
  }
  if (!decodeUpTo(decoded_ + pending)) stopDecoding();
}

// Appends the units of the bytes from decoded_ to end; false when memory or the host refused.
bool TextReceive::decodeUpTo(int64_t end) {
  const int64_t n = end - decoded_;
  if (n <= 0) return true;
  if (!units_.makeRoom(static_cast<size_t>(n))) return false;
  int64_t made = decodeInto(buffer_.data() + decoded_, static_cast<int32_t>(n), request_.charset,
                            units_.end());
  if (made < 0) return false;
  units_.commit(static_cast<size_t>(made));
  decoded_ = end;
  return true;
}

// The buffer now ends at size: units of bytes that are gone would be wrong, so the text is then
// made whole at the end instead.
void TextReceive::forgetDecodedPast(int64_t size) {
  if (decoded_ > size) stopDecoding();
}

void TextReceive::stopDecoding() {
  units_.release();
  decoded_ = 0;
  decoding_ = false;
}

// Without a limit, the beginning of a character alone is no text yet: the receive waits for the
// rest as it waits for any first byte.
bool TextReceive::goesOn(int32_t received) {
  if (request_.limit > 0 ? count_ >= request_.limit : wholeCount() != 0) return false;
  if (request_.timeout == 0) return received != 0;
  return request_.timeout < 0 || !deadline_.passed();
}

// After a pass that brought nothing: false when the stream can bring no more bytes, so that the
// receive ends at once with what it took instead of waiting out its deadline. A receive that
// replaces the text and took nothing from a stream whose connection failed has failed, as it
// would have had its first read met the failure.
bool TextReceive::streamMayBringMore() {
  tcp::ReceiveOutlook outlook = tcp::receiveOutlook(stream_);
  if (outlook == tcp::ReceiveOutlook::kBytesMayCome) return true;
  if (outlook == tcp::ReceiveOutlook::kFailed && !appends() && count_ == 0) count_ = kFailed;
  return false;
}

// True when no byte can come any more: the connection failed, or is closed with nothing left.
bool TextReceive::streamHasEnded() {
  return tcp::receiveOutlook(stream_) != tcp::ReceiveOutlook::kBytesMayCome;
}

// Gives the units, filtered by the filter's text bits, to the host as the text: all of them, a
// zero byte received included. Without text bits the units, which a zero unit follows as the
// host asks, go to the host as they are, with no copy of a text that may be a gigabyte long.
// False when the host refused the text or it would be too long.
bool setReceivedText(PA_Unistring& text, const PA_Unichar* units, size_t length, int filter) {
  std::u16string filtered;
  if (filter != 0) {
    std::u16string_view received(reinterpret_cast<const char16_t*>(units), length);
    if (!filterUnits(received, filter, filtered)) return false;
    units = reinterpret_cast<const PA_Unichar*>(filtered.c_str());
    length = filtered.size();
  }
  PA_SetUnistringUnits(&text, units, static_cast<int32_t>(length));
  return PA_GetLastError() == 0;
}

// The units decoded during the passes and those of the last bytes; or, for a receive that decoded
// nothing yet (or could not go on), the whole buffer decoded at once. Some bytes give no unit at
// all only when the host refused them.
bool TextReceive::makeText(PA_Unistring& text, int filter) {
  if (decoded_ > 0 && decodeUpTo(static_cast<int64_t>(buffer_.size())) && units_.makeRoom(1)) {
    *units_.end() = 0;
    return setReceivedText(text, units_.data(), units_.size(), filter);
  }
  stopDecoding();
  DecodedChars units =
      convertToUnicode(buffer_.data(), static_cast<int>(buffer_.size()), request_.charset);
  if (units.length <= 0) return false;
  return setReceivedText(text, units.chars, static_cast<size_t>(units.length), filter);
}

// The bytes to send for the text, passed through the text filters first when the filter has any;
// the parameter does not change. A U+0000 goes out as any other character.
TextBytes sendBytes(const PA_Unistring& text, PA_4DCharSet charset, int filter) {
  if (filter == 0) return bytesOf(text, charset);
  std::u16string filtered;
  if (!filterUnits(unitsOf(text), filter, filtered)) return TextBytes{EncodedChars(), true};
  return bytesOf(filtered, charset);
}

}  // namespace

int32_t receiveText(int32_t id, PA_Unistring& text, const PA_Unistring& delimiterText,
                    PA_4DCharSet charset, int filter, const ReceiveRequest& request) {
  // The time-out counts from the command's start, the earlier text's conversion included.
  const Deadline deadline =
      request.timeout > 0 ? Deadline::afterTicks(request.timeout) : Deadline::none();
  TextBytes delimiter = bytesOf(delimiterText, charset);
  if (delimiter.refused) return kFailed;
  // A '?' in place of a character that the character set lacks would match other bytes.
  if (int32_t code = delimiterExactnessCode(
          exactnessOf(delimiterText.fString, delimiterText.fLength, delimiter.bytes, charset))) {
    return code;
  }
  ReceiveBuffer earlier;
  if ((request.flags & kReceiveAppends) != 0) {
    TextBytes current = bytesOf(text, charset);
    if (current.refused || current.bytes.length > kMaxReceiveBytes) return kFailed;
    if (!earlier.assign(current.bytes.chars, static_cast<size_t>(current.bytes.length))) {
      return kFailed;
    }
  }
  streams::BusyStream held(id);
  TextReceive receive(
      id, held.stream(), request, deadline,
      std::string_view(delimiter.bytes.chars, static_cast<size_t>(delimiter.bytes.length)),
      std::move(earlier));
  int64_t count = receive.run();
  if (receive.bytes().empty()) {
    setEmpty(text);
  } else if (!receive.makeText(text, filter)) {
    // The variable keeps its text, and the stream the bytes: a later receive may succeed.
    receive.giveBack();
    return kFailed;
  }
  return static_cast<int32_t>(count);
}

int32_t sendText(int32_t id, const PA_Unistring& text, int16_t mode, int filter) {
  PA_4DCharSet charset = getEncodingFromFilter(filter, kEncodeSend);
  if (charset == 0) return kNoCharset;
  TextBytes bytes = sendBytes(text, charset, filter);
  // A text that the host could not convert is not sent: an empty send would answer success.
  if (bytes.refused) return kFailed;
  int32_t result;
  bool broken = false;
  {
    streams::BusyStream held(id);
    result = tcp::sendBuffered(held.stream(), bytes.bytes.chars, bytes.bytes.length, mode);
    if (result == -1 && tcp::getStreamStatus(held.stream()) == kStreamNotConnected) {
      broken = true;
      tcp::close(held.stream());
    }
  }
  // Another process that holds the stream busy keeps it: the release then answers -2.
  if (broken) doTCPRelease(id, 2);
  return result;
}

int32_t unreceiveText(tcp::TCPGlob* stream, const PA_Unistring& text, bool atFront, int filter) {
  PA_4DCharSet charset = getEncodingFromFilter(filter, kEncodeReceive);
  TextBytes bytes = bytesOf(text, charset);
  if (bytes.refused) return kFailed;
  return tcp::unreceive(stream, bytes.bytes.chars, bytes.bytes.length, atFront);
}
