// The per-stream guards of tcp_internal.h.

#include "network/tcp_internal.h"

namespace tcp {

ProcessGuard::ProcessGuard(ProcessGuardState* state) : state_(state) {
  if (state_ == nullptr) return;
  int32_t process = PA_GetCurrentProcessNumber();
  // Another process holds the guard: let it run until it lets go. It always does, since every
  // holder's wait is bounded by a deadline or the send time-out.
  while (state_->depth > 0 && state_->owner != process) PA_Yield();
  state_->owner = process;
  ++state_->depth;
}

ProcessGuard::~ProcessGuard() {
  if (state_ == nullptr) return;
  if (--state_->depth == 0) state_->owner = 0;
}

}  // namespace tcp
