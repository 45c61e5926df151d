// The entry point and the host-call wrappers for handles, texts, pictures, character sets,
// processes, command parameters and results.

#include "4DPluginAPI.h"

#include <chrono>
#include <cstring>

HostCallback gCall4D = nullptr;
uint32_t g4DVersion = 0;

namespace {

thread_local int16_t sErrorCode = 0;

// Host entries.
constexpr int32_t kEntryHandle = -434;
constexpr int32_t kEntryCompareUnichars = -611;
constexpr int32_t kEntryCreateUnistring = -612;
constexpr int32_t kEntrySetUnistring = -613;
constexpr int32_t kEntryDisposeUnistring = -614;
constexpr int32_t kEntryCreatePicture = -617;
constexpr int32_t kEntryGetPictureData = -671;
constexpr int32_t kEntryConvertCharset = -675;
constexpr int32_t kEntrySleep = -89;
constexpr int32_t kEntryCurrentProcess = -91;
constexpr int32_t kEntryYield = -93;
constexpr int32_t kEntryYieldAbsolute = -122;

// Sub-operations of the handle entry.
enum HandleOperation : int64_t {
  kNewHandle = 1,
  kDisposeHandle = 2,
  kSetHandleSize = 3,
  kGetHandleSize = 4,
  kLockHandle = 5,
  kUnlockHandle = 6,
};

// flag1 of a text being set: its units end at their zero unit, or param1 counts them.
constexpr uint8_t kUnitsUpToZero = 0;
constexpr uint8_t kCountedUnits = 1;

constexpr int32_t kStartUp = -1;
constexpr int32_t kStartUpAgain = -200;
// The host versions above this one understand the newer interface.
constexpr uint32_t kNewInterfaceHostVersion = 0x1600;
constexpr int32_t kNewInterfaceVersion = 0x1610;
constexpr int32_t kOldInterfaceVersion = 0x1400;

// Before start-up there is no host to call: every answer field reads as a failed call would
// leave it (no handle, no text, no picture, sizes and counts 0, no match).
void answerAsFailedCall(int32_t entry, HostCallBlock& block) {
  // A text being replaced keeps what it held.
  if (entry != kEntrySetUnistring) std::memset(&block.uniString, 0, sizeof block.uniString);
  block.picture = nullptr;
  block.handle = nullptr;
  block.param1 = -1;
  block.param2 = 0;
  block.param3 = 0;
  block.param4 = 0;
  block.error = kHostUnreachable;
}

// Calls the host and keeps its error as the calling thread's last one.
int16_t callHostKeepingError(int32_t entry, HostCallBlock& block) {
  int16_t error = callHost(entry, block);
  sErrorCode = error;
  return error;
}

int16_t handleOperation(HandleOperation operation, HostHandle handle, HostCallBlock& block) {
  block.param1 = operation;
  block.handle = handle;
  return callHostKeepingError(kEntryHandle, block);
}

void readStartupRecord(void* record) {
  auto* bytes = static_cast<unsigned char*>(record);
  uint32_t hostVersion;
  std::memcpy(&hostVersion, bytes + kStartupHostVersionOffset, sizeof hostVersion);
  HostCallback callback;
  std::memcpy(&callback, bytes + kStartupCallbackOffset, sizeof callback);
  gCall4D = callback;
  g4DVersion = hostVersion;
  int32_t interfaceVersion = (hostVersion & 0xFFFF) > kNewInterfaceHostVersion
                                 ? kNewInterfaceVersion
                                 : kOldInterfaceVersion;
  std::memcpy(bytes + kStartupInterfaceVersionOffset, &interfaceVersion, sizeof interfaceVersion);
}

// The cell of parameter index, as the host laid it out.
template <typename T>
T* cell(PluginBlock* block, int index) {
  return static_cast<T*>(block->parameters[index - 1]);
}

template <typename T>
T readCell(PluginBlock* block, int index) {
  T value;
  std::memcpy(&value, cell<void>(block, index), sizeof value);
  return value;
}

template <typename T>
void writeCell(PluginBlock* block, int index, T value) {
  std::memcpy(cell<void>(block, index), &value, sizeof value);
}

void writeResult(PluginBlock* block, const void* value, size_t size) {
  std::memcpy(block->result, value, size);
}

}  // namespace

// ---- Entry point and host calls -------------------------------------------------------------

extern "C" void FourDPackex(int32_t selector, void* params, void* data, void* result) {
  PluginBlock block{static_cast<void**>(params), result, data};
  if (selector == kStartUp || selector == kStartUpAgain) readStartupRecord(params);
  try {
    PluginMain(selector, &block);
  } catch (...) {
    // A command catches its own codes; anything that still gets here must not reach the host.
  }
}

int16_t callHost(int32_t entry, HostCallBlock& block) {
  block.error = 0;
  if (gCall4D == nullptr) {
    answerAsFailedCall(entry, block);
    return block.error;
  }
  gCall4D(entry, &block);
  return block.error;
}

void setLastError(int16_t error) { sErrorCode = error; }

int PA_GetLastError() { return sErrorCode; }

// ---- Handles --------------------------------------------------------------------------------

HostHandle PA_NewHandle(int32_t size) {
  HostCallBlock block;
  block.param2 = size;
  block.handle = nullptr;
  handleOperation(kNewHandle, nullptr, block);
  return static_cast<HostHandle>(block.handle);
}

void PA_DisposeHandle(HostHandle handle) {
  if (handle == nullptr) {
    sErrorCode = 0;
    return;
  }
  HostCallBlock block;
  handleOperation(kDisposeHandle, handle, block);
}

bool PA_SetHandleSize(HostHandle handle, int32_t size) {
  HostCallBlock block;
  block.param2 = size;
  return handleOperation(kSetHandleSize, handle, block) == 0;
}

int32_t PA_GetHandleSize(HostHandle handle) {
  HostCallBlock block;
  block.param2 = 0;
  handleOperation(kGetHandleSize, handle, block);
  return static_cast<int32_t>(block.param2);
}

char* PA_LockHandle(HostHandle handle) {
  HostCallBlock block;
  block.param3 = 0;
  handleOperation(kLockHandle, handle, block);
  return reinterpret_cast<char*>(static_cast<intptr_t>(block.param3));
}

void PA_UnlockHandle(HostHandle handle) {
  HostCallBlock block;
  handleOperation(kUnlockHandle, handle, block);
}

// ---- Texts ----------------------------------------------------------------------------------

PA_Unistring PA_CreateUnistring(const PA_Unichar* units) {
  HostCallBlock block;
  block.handle = const_cast<PA_Unichar*>(units);
  callHostKeepingError(kEntryCreateUnistring, block);
  return block.uniString;
}

void PA_SetUnistring(PA_Unistring* text, const PA_Unichar* units) {
  HostCallBlock block;
  block.uniString = *text;
  block.handle = const_cast<PA_Unichar*>(units);
  block.flag1 = kUnitsUpToZero;
  callHostKeepingError(kEntrySetUnistring, block);
  *text = block.uniString;
}

void PA_SetUnistringUnits(PA_Unistring* text, const PA_Unichar* units, int32_t length) {
  HostCallBlock block;
  block.uniString = *text;
  block.handle = const_cast<PA_Unichar*>(units);
  block.flag1 = kCountedUnits;
  block.param1 = length;
  callHostKeepingError(kEntrySetUnistring, block);
  *text = block.uniString;
}

void PA_DisposeUnistring(PA_Unistring* text) {
  HostCallBlock block;
  block.uniString = *text;
  callHostKeepingError(kEntryDisposeUnistring, block);
  std::memset(text, 0, sizeof *text);
}

int8_t PA_CompareUnichars(const PA_Unichar* a, const PA_Unichar* b, int8_t option3,
                          int8_t option4) {
  HostCallBlock block;
  block.param1 = reinterpret_cast<intptr_t>(a);
  block.param2 = reinterpret_cast<intptr_t>(b);
  block.param3 = PA_GetUnicharsLength(a);
  block.param4 = PA_GetUnicharsLength(b);
  block.flag2 = static_cast<uint8_t>(option3);
  block.flag1 = static_cast<uint8_t>(option4);
  callHostKeepingError(kEntryCompareUnichars, block);
  return static_cast<int8_t>(block.param1 & 0xFF);
}

int PA_GetUnicharsLength(const PA_Unichar* units) {
  if (units == nullptr) return 0;
  int length = 0;
  while (units[length] != 0) ++length;
  return length;
}

// ---- Pictures -------------------------------------------------------------------------------

HostPicture PA_CreatePicture(const void* bytes, int32_t size) {
  HostCallBlock block;
  block.pointer1 = const_cast<void*>(bytes);
  block.param1 = size;
  block.picture = nullptr;
  callHostKeepingError(kEntryCreatePicture, block);
  return block.picture;
}

PA_Unistring PA_GetPictureData(HostPicture picture, int32_t index, HostHandle handle) {
  HostCallBlock block;
  block.picture = picture;
  block.param1 = index;
  block.handle = handle;
  std::memset(&block.uniString, 0, sizeof block.uniString);
  callHostKeepingError(kEntryGetPictureData, block);
  return block.uniString;
}

// ---- Character sets -------------------------------------------------------------------------

int32_t PA_ConvertCharsetToCharset(const void* source, int32_t sourceSize, PA_4DCharSet from,
                                   void* destination, int32_t capacity, PA_4DCharSet to) {
  HostCallBlock block;
  block.pointer1 = const_cast<void*>(source);
  block.param1 = sourceSize;
  block.param2 = from;
  block.pointer2 = destination;
  block.param3 = capacity;
  block.param4 = to;
  callHostKeepingError(kEntryConvertCharset, block);
  return static_cast<int32_t>(block.param3 & 0xFFFFFFFF);
}

// ---- Processes and time ---------------------------------------------------------------------

void PA_PutProcessToSleep(int32_t process, int32_t ticks) {
  HostCallBlock block;
  block.param1 = process;
  block.param2 = ticks;
  callHostKeepingError(kEntrySleep, block);
}

int32_t PA_GetCurrentProcessNumber() {
  HostCallBlock block;
  block.param1 = 0;
  callHostKeepingError(kEntryCurrentProcess, block);
  return static_cast<int32_t>(block.param1 & 0xFFFFFFFF);
}

void PA_Yield() {
  HostCallBlock block;
  callHostKeepingError(kEntryYield, block);
}

void PA_YieldAbsolute() {
  HostCallBlock block;
  callHostKeepingError(kEntryYieldAbsolute, block);
}

void delay(int32_t ticks) {
  if (ticks <= 0) {
    PA_YieldAbsolute();
    return;
  }
  PA_PutProcessToSleep(PA_GetCurrentProcessNumber(), ticks);
}

time_t addSeconds(time_t t, int32_t seconds) {
  if (t == 0) t = std::time(nullptr);
  return t + seconds;
}

// ---- Command parameters ---------------------------------------------------------------------

int16_t PA_GetShortParameter(PluginBlock* block, int index) {
  return readCell<int16_t>(block, index);
}

int32_t PA_GetLongParameter(PluginBlock* block, int index) {
  return readCell<int32_t>(block, index);
}

int32_t PA_GetTimeParameter(PluginBlock* block, int index) {
  return readCell<int32_t>(block, index);
}

PA_Unistring* PA_GetStringParameter(PluginBlock* block, int index) {
  return cell<PA_Unistring>(block, index);
}

HostPicture PA_GetPictureParameter(PluginBlock* block, int index) {
  return readCell<HostPicture>(block, index);
}

HostHandle PA_GetBlobHandleParameter(PluginBlock* block, int index) {
  return readCell<HostHandle>(block, index);
}

HostHandle* PA_GetBlobHandlePtrParameter(PluginBlock* block, int index) {
  return cell<HostHandle>(block, index);
}

void PA_GetDateParameter(PluginBlock* block, int index, int16_t* day, int16_t* month,
                         int16_t* year) {
  PA_Date date = readCell<PA_Date>(block, index);
  if (day != nullptr) *day = date.fDay;
  if (month != nullptr) *month = date.fMonth;
  if (year != nullptr) *year = date.fYear;
}

void PA_SetShortParameter(PluginBlock* block, int index, int16_t value) {
  writeCell(block, index, value);
}

void PA_SetLongParameter(PluginBlock* block, int index, int32_t value) {
  writeCell(block, index, value);
}

void PA_SetTimeParameter(PluginBlock* block, int index, int32_t value) {
  writeCell(block, index, value);
}

void PA_SetDateParameter(PluginBlock* block, int index, int16_t day, int16_t month, int16_t year) {
  writeCell(block, index, PA_Date{day, month, year});
}

void PA_SetBlobHandleParameter(PluginBlock* block, int index, HostHandle handle) {
  HostHandle old = readCell<HostHandle>(block, index);
  if (old == nullptr || old == handle) {
    writeCell(block, index, handle);
    return;
  }
  // The cell keeps its own handle and receives the bytes. When the host refuses the new size,
  // the cell's bytes stay as they were: nothing is copied past what it holds.
  int32_t size = handle != nullptr ? PA_GetHandleSize(handle) : 0;
  if (PA_SetHandleSize(old, size) && size > 0) {
    char* to = PA_LockHandle(old);
    char* from = PA_LockHandle(handle);
    if (to != nullptr && from != nullptr) std::memcpy(to, from, static_cast<size_t>(size));
    PA_UnlockHandle(old);
    PA_UnlockHandle(handle);
  }
  if (handle != nullptr) PA_DisposeHandle(handle);
}

// ---- Results --------------------------------------------------------------------------------

void PA_ReturnLong(PluginBlock* block, int32_t value) {
  int64_t extended = value;
  writeResult(block, &extended, sizeof extended);
}

void PA_ReturnString(PluginBlock* block, const PA_Unichar* units) {
  PA_Unistring* text;
  std::memcpy(&text, block->result, sizeof text);
  PA_SetUnistring(text, units);
}

void PA_ReturnPicture(PluginBlock* block, HostPicture picture) {
  writeResult(block, &picture, sizeof picture);
}

void PA_ReturnBlobHandle(PluginBlock* block, HostHandle handle) {
  writeResult(block, &handle, sizeof handle);
}
