// The handlers of the text queue commands: ZUV_QueuePush, ZUV_QueuePop, ZUV_QueueSize and
// ZUV_QueueErase (queues.h).

#include "commands/zuv_commands.h"
#include "plugin/parameters.h"
#include "services/queues.h"

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
  queues::dequeue(*resultText(block), key, peek);
}

void handleQueueErase(PluginBlock* block) { queues::eraseQueue(PA_GetLongParameter(block, 1)); }
