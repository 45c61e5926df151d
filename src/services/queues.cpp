// The queue table: a hash map from key to a double-ended queue of texts, so that a push, a pop
// and a size take constant time whatever the number of queues and texts.

#include "services/queues.h"

#include <deque>
#include <string>
#include <unordered_map>

#include "text/units.h"

namespace queues {
namespace {

// Sizes are answered as signed 32-bit numbers.
constexpr size_t kMaxCount = static_cast<size_t>(kMaxLength);

// A queued text: its units as the host handed them over, zero unit excluded.
using Queue = std::deque<std::u16string>;

std::unordered_map<int32_t, Queue> sQueues;

Queue* find(int32_t key) {
  auto entry = sQueues.find(key);
  return entry == sQueues.end() ? nullptr : &entry->second;
}

}  // namespace

void enqueue(int32_t key, const PA_Unistring& text) {
  Queue* queue = find(key);
  if (queue == nullptr) {
    if (sQueues.size() >= kMaxCount) return;
    queue = &sQueues[key];
  }
  if (queue->size() >= kMaxCount) return;
  queue->emplace_back(unitsOf(text));
}

void dequeue(PA_Unistring& result, int32_t key, bool peek) {
  Queue* queue = find(key);
  if (queue == nullptr || queue->empty()) return setEmpty(result);
  setAllUnits(result, queue->front());
  // A text the host could not take stays at the head, for the next pop.
  if (!peek && PA_GetLastError() == 0) queue->pop_front();
}

int32_t queueSize(int32_t key) {
  Queue* queue = find(key);
  return queue == nullptr ? 0 : static_cast<int32_t>(queue->size());
}

void eraseQueue(int32_t key) { sQueues.erase(key); }

}  // namespace queues
