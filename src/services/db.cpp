// The host's record entries take a table number and a handle in the call block and answer an
// error code (and, for -26, a new handle the plug-in owns).

#include "services/db.h"

#include "text/conversion.h"

namespace db {
namespace {

constexpr int32_t kEntryRecordToHandle = -26;
constexpr int32_t kEntryHandleToRecord = -27;
constexpr int32_t kNoBlobHandle = -1;
// The host's "no memory", answered when it refused the copy without saying why.
constexpr int32_t kNoMemory = -108;

int16_t callRecordEntry(int32_t entry, int32_t table, HostHandle handle, HostHandle* answer) {
  HostCallBlock call{};
  call.table = static_cast<int16_t>(table);
  call.handle = handle;
  int16_t error = callHost(entry, call);
  if (answer != nullptr) *answer = static_cast<HostHandle>(call.handle);
  return error;
}

}  // namespace

int32_t recordToBlob(int32_t table, HostHandle blob, unique_handle& image) {
  HostHandle answered = nullptr;
  int32_t result = callRecordEntry(kEntryRecordToHandle, table, nullptr, &answered);
  image.reset(answered);
  if (blob != nullptr) {
    // The BLOB keeps its own handle and takes the image's bytes. A copy the host refuses leaves
    // the BLOB empty, and the command answers the host's error instead of success.
    const int32_t size = image ? PA_GetHandleSize(image.get()) : 0;
    if (copyToHandle(image.get(), blob) != size && result == 0) {
      result = PA_GetLastError() != 0 ? PA_GetLastError() : kNoMemory;
    }
  }
  return result;
}

int32_t blobToRecord(HostHandle blob, int32_t table) {
  if (blob == nullptr) return kNoBlobHandle;
  return callRecordEntry(kEntryHandleToRecord, table, blob, nullptr);
}

}  // namespace db
