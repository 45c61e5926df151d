// First-in, first-out queues of texts named by longint keys and shared by every 4D process:
// ZUV_QueueSize, ZUV_QueuePush, ZUV_QueuePop and ZUV_QueueErase. Nothing waits: popping an
// empty queue answers the empty text at once.
//
// State: one table of queues from load to unload (shut-down leaves it alone); a queue exists
// from the first push under its key until it is erased. No lock: the host runs one call at a
// time and nothing here yields.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"

namespace queues {

// Appends a copy of the text to the key's queue, made on the first push. A push past
// 2,147,483,647 queues or texts in a queue is dropped.
void enqueue(int32_t key, const PA_Unistring& text);
// Sets result, the command's text result, to the key's oldest text, unit for unit (U+0000
// included), the empty text when there is none, and removes that text unless peek is set or the
// host could not set the result.
void dequeue(PA_Unistring& result, int32_t key, bool peek);
// The number of texts in the key's queue, 0 when it has none.
int32_t queueSize(int32_t key);
// Removes the key's queue with all its texts; nothing when it has none.
void eraseQueue(int32_t key);

}  // namespace queues
