// The per-stream guard of tcp_internal.h.

#include "tcp_internal.h"

namespace tcp {

StreamGuard::StreamGuard(TCPGlob* stream) : stream_(stream) {
  if (stream_ == nullptr) return;
  int32_t process = PA_GetCurrentProcessNumber();
  // Another process holds the stream: let it run until it lets go. It always does, since every
  // holder's wait is bounded by a deadline or the send time-out.
  while (stream_->guardDepth > 0 && stream_->guardOwner != process) PA_Yield();
  stream_->guardOwner = process;
  ++stream_->guardDepth;
}

StreamGuard::~StreamGuard() {
  if (stream_ == nullptr) return;
  if (--stream_->guardDepth == 0) stream_->guardOwner = 0;
}

}  // namespace tcp
