// The push-back: bytes put back into a stream (ZUV_TCPUnreceive, and the receives that give back
// what they cannot use), which every receive serves before the socket's. Its unread bytes start
// at an offset, so a receive costs what it takes however much stays behind, and bytes put back
// in front go into the room before them.

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "network/tcp.h"
#include "network/tcp_internal.h"
#include "text/conversion.h"

namespace tcp {

int32_t pushedBack(const TCPGlob* stream) {
  if (!stream->pushBack) return 0;
  return PA_GetHandleSize(stream->pushBack.get()) - stream->pushBackStart;
}

namespace {

// Copies the first n unread bytes of the push-back into the caller's handle, sized to n; false
// when the host refuses the handle.
bool copyFromPushBack(TCPGlob* stream, HostHandle& handle, int32_t n) {
  if (!sizeHandle(handle, n)) return false;
  unique_handle_lock from(stream->pushBack.get());
  unique_handle_lock to(handle);
  std::memcpy(to.data(), from.data() + stream->pushBackStart, n);
  return true;
}

}  // namespace

int32_t receiveFromPushBack(TCPGlob* stream, HostHandle& handle, int32_t max) {
  int32_t limit = max > 0 ? max : kPieceSize;
  int32_t held = pushedBack(stream);
  if (held > limit) {
    if (!copyFromPushBack(stream, handle, limit)) return -1;
    stream->pushBackStart += limit;
    return limit;
  }
  if (stream->pushBackStart > 0) {
    if (!copyFromPushBack(stream, handle, held)) return -1;
    stream->pushBack.reset();
  } else {
    if (handle != nullptr) PA_DisposeHandle(handle);
    handle = stream->pushBack.release();
  }
  stream->pushBackStart = 0;
  return held;
}

int32_t takeFromPushBack(TCPGlob* stream, char* bytes, int32_t max) {
  int32_t n = std::min(max, pushedBack(stream));
  {
    unique_handle_lock from(stream->pushBack.get());
    std::memcpy(bytes, from.data() + stream->pushBackStart, n);
  }
  stream->pushBackStart += n;
  if (pushedBack(stream) == 0) {
    stream->pushBack.reset();
    stream->pushBackStart = 0;
  }
  return n;
}

namespace {

// Puts bytes into the room in front of the push-back's unread bytes, which holds them.
void putInFront(TCPGlob* stream, const void* bytes, int32_t count) {
  unique_handle_lock buffer(stream->pushBack.get());
  stream->pushBackStart -= count;
  std::memcpy(buffer.data() + stream->pushBackStart, bytes, count);
}

// Puts bytes after the push-back's last byte; false when the host refuses the growth.
bool putBehind(TCPGlob* stream, int32_t end, const void* bytes, int32_t count) {
  if (!PA_SetHandleSize(stream->pushBack.get(), end + count)) return false;
  unique_handle_lock buffer(stream->pushBack.get());
  std::memcpy(buffer.data() + end, bytes, count);
  return true;
}

// Puts bytes into the push-back by moving its unread bytes, so that old and new ones end at the
// handle's end, which grows only when they need more than it holds; false, with nothing
// changed, when the host refuses the growth.
bool addByMoving(TCPGlob* stream, int32_t held, const void* bytes, int32_t count, bool atFront) {
  int32_t start = stream->pushBackStart;
  int32_t size = start + held;
  int32_t total = held + count;
  if (total > size && !PA_SetHandleSize(stream->pushBack.get(), total)) return false;
  int32_t first = std::max(size, total) - total;
  unique_handle_lock buffer(stream->pushBack.get());
  char* data = buffer.data();
  std::memmove(data + first + (atFront ? count : 0), data + start, held);
  std::memcpy(data + first + (atFront ? 0 : held), bytes, count);
  stream->pushBackStart = first;
  return true;
}

}  // namespace

// Answers the push-back's size afterwards; a refused growth leaves the push-back as it was.
int32_t unreceive(TCPGlob* stream, const void* bytes, int32_t count, bool atFront) {
  int32_t held = pushedBack(stream);
  if (bytes == nullptr || count <= 0) return held;
  if (!stream->pushBack) {
    stream->pushBack.reset(PA_NewHandle(0));
    stream->pushBackStart = 0;
    if (!stream->pushBack) return 0;
  }
  count = static_cast<int32_t>(std::min<int64_t>(count, kMaxLength - held));
  if (count == 0) return held;
  // Only bytes that fit neither in front of the unread ones nor behind them move those.
  int64_t end = int64_t{stream->pushBackStart} + held;
  bool added;
  if (atFront && count <= stream->pushBackStart) {
    putInFront(stream, bytes, count);
    added = true;
  } else if (!atFront && end + count <= kMaxLength) {
    added = putBehind(stream, static_cast<int32_t>(end), bytes, count);
  } else {
    added = addByMoving(stream, held, bytes, count, atFront);
  }
  return added ? held + count : held;
}

}  // namespace tcp
