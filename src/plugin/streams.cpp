// The stream table and the life cycle (start-up, shut-down, thread clean-up).

#include "plugin/streams.h"

#include <cstring>

#include <openssl/crypto.h>

namespace {

// The entries, indexed by id; entries 0 and kCapacity name no stream.
constexpr int32_t kTableSize = streams::kCapacity + 1;

constexpr int32_t kStreamBusy = -2;

struct GlobalData {
  tcp::TCPGlob* streams[kTableSize];
  int64_t busyCount[kTableSize];
  int16_t streamCount;
};

GlobalData sGlobalData;

// One unsigned comparison: negative ids fail too.
bool validId(int32_t id) { return static_cast<uint32_t>(id) - 1u <= streams::kHighestId - 1u; }

void clearTable() { std::memset(&sGlobalData, 0, sizeof sGlobalData); }

}  // namespace

namespace streams {

tcp::TCPGlob* lookUp(int32_t id) { return validId(id) ? sGlobalData.streams[id] : nullptr; }

int32_t add(tcp::TCPGlob* stream) {
  if (stream == nullptr) return 0;
  for (int32_t id = 1; id <= kHighestId; ++id) {
    if (sGlobalData.streams[id] != nullptr) continue;
    sGlobalData.streams[id] = stream;
    sGlobalData.busyCount[id] = 0;
    ++sGlobalData.streamCount;
    return id;
  }
  if (stream->kind == tcp::kKindUDP) {
    tcp::releaseUDP(stream);
  } else {
    tcp::release(stream, -1);
  }
  return 0;
}

tcp::TCPGlob* remove(int32_t id) {
  tcp::TCPGlob* stream = lookUp(id);
  if (stream == nullptr) return nullptr;
  sGlobalData.streams[id] = nullptr;
  sGlobalData.busyCount[id] = 0;
  --sGlobalData.streamCount;
  return stream;
}

bool busy(int32_t id) { return validId(id) && sGlobalData.busyCount[id] != 0; }

int32_t count() { return sGlobalData.streamCount; }

int32_t idAt(int32_t n) {
  int32_t seen = 0;
  for (int32_t id = 1; id <= kHighestId && n <= sGlobalData.streamCount; ++id) {
    if (sGlobalData.streams[id] != nullptr && ++seen == n) return id;
  }
  return 0;
}

BusyStream::BusyStream(int32_t id) : id_(id), stream_(lookUp(id)) {
  if (stream_ != nullptr) ++sGlobalData.busyCount[id_];
}

BusyStream::~BusyStream() {
  if (stream_ != nullptr && sGlobalData.streams[id_] == stream_ && sGlobalData.busyCount[id_] > 0) {
    --sGlobalData.busyCount[id_];
  }
}

}  // namespace streams

int doTCPRelease(int32_t id, int how) {
  if (streams::lookUp(id) == nullptr || streams::busy(id)) return kStreamBusy;
  return tcp::release(streams::remove(id), how);
}

// ---- Life cycle
// ----------------------------------------------------------------------------------

void startUp() {
  clearTable();
  tcp::init();
}

// Releases every stream without a TLS close notification, busy or not, and clears the table,
// so that a command arriving after shut-down finds no freed record.
void shutDown() {
  for (int32_t id = 0; id < kTableSize - 1; ++id) {
    tcp::TCPGlob* stream = sGlobalData.streams[id];
    if (stream != nullptr) tcp::release(stream, -1);
  }
  clearTable();
  tcp::deinit();
}

void cleanUpThread() { OPENSSL_thread_stop(); }
