// Joints of the network layer whose services this build does not provide yet: no stream can
// use TLS and no listening slot exists, so these have nothing to free, close or detach.

#include "tcp_internal.h"

namespace tcp {

bool setUpClientTLS(TCPGlob*, int32_t) { return false; }
void freeTLSState() {}

void removeListener(TCPGlob* stream, int32_t) { stream->listenSlot = 0; }
void reapListeners() {}
void clearListeningSlots() {}
void closeListeningSlots() {}

}  // namespace tcp
