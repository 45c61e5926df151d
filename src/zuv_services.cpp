// The handlers of the data-service commands: digests, text queues, Internet dates, ciphers and
// ROT13. Each passes the block on to its service, which reads its own parameters.

#include "digest.h"
#include "queues.h"
#include "zuv_commands.h"

void handleDigestInit(PluginBlock* block) { digest::init(block); }
void handleDigestAddText(PluginBlock* block) { digest::add(block); }
void handleDigestFinal(PluginBlock* block) { digest::calc(block); }
void handleDigestAddBlob(PluginBlock* block) { digest::addBlob(block); }

void handleQueueSize(PluginBlock* block) {
  PA_ReturnLong(block, queues::queueSize(PA_GetLongParameter(block, 1)));
}

void handleQueuePush(PluginBlock* block) {
  int32_t key = PA_GetLongParameter(block, 1);
  queues::enqueue(key, *PA_GetStringParameter(block, 2));
}

void handleQueuePop(PluginBlock* block) {
  int32_t key = PA_GetLongParameter(block, 1);
  bool peek = PA_GetLongParameter(block, 2) != 0;
  queues::dequeue(block, key, peek);
}

void handleQueueErase(PluginBlock* block) { queues::eraseQueue(PA_GetLongParameter(block, 1)); }
