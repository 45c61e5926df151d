// Host variables, arrays and host language commands run by number.
//
// Records are read and written byte-wise (memcpy at the offsets the host fixes): they are packed
// on 2-byte boundaries, so their 32- and 64-bit fields are not aligned.

#include <cstring>

#include "4DPluginAPI.h"

namespace {

constexpr int32_t kEntryDisposeUnistring = -614;
constexpr int32_t kEntryVariableText = -615;
constexpr int32_t kEntryDisposePicture = -620;
constexpr int32_t kEntryClearVariable = -410;
constexpr int32_t kEntryExecuteCommand = -636;
constexpr int32_t kEntryCompiledFlags = -56;

// The selector of entry -56 that asks for the compiled-mode flags ('FAST').
constexpr int64_t kCompiledFlagsSelector = 0x46415354;
constexpr int kCompiledBit = 27;
constexpr int kCompiledBitWithFlag = 23;

// Host commands that make an empty object: the newer one takes no argument, the older one parses
// a text "{}" as the kind given by its second argument.
constexpr int32_t kCommandNewObject = 1471;
constexpr int32_t kCommandParseObject = 1218;
constexpr uint32_t kNewObjectHostVersion = 0x1630;
constexpr uint32_t kParseObjectHostVersion = 0x1400;

// The array kinds, one bit per kind.
constexpr uint64_t kArrayKindMask = 0x85805BE000;

// ---- Record fields --------------------------------------------------------------------------

unsigned char* bytesOf(PA_Variable* variable) { return reinterpret_cast<unsigned char*>(variable); }
const unsigned char* bytesOf(const PA_Variable* variable) {
  return reinterpret_cast<const unsigned char*>(variable);
}

template <typename T>
T readField(const PA_Variable& variable, size_t offset) {
  T value;
  std::memcpy(&value, bytesOf(&variable) + offset, sizeof value);
  return value;
}

template <typename T>
void writeField(PA_Variable* variable, size_t offset, T value) {
  std::memcpy(bytesOf(variable) + offset, &value, sizeof value);
}

void setKind(PA_Variable* variable, PA_VariableKind kind) {
  variable->fType = kind;
  variable->fFiller = 0;
}

int32_t arrayCount(const PA_Variable& array) {
  return readField<int32_t>(array, kArrayCountOffset);
}
HostHandle arrayStorage(const PA_Variable& array) {
  return readField<HostHandle>(array, kArrayStorageOffset);
}

// ---- Host calls of this file ----------------------------------------------------------------

void callHostKeepingError(int32_t entry, HostCallBlock& block) {
  setLastError(callHost(entry, block));
}

PA_Unistring createEmptyText() {
  static const PA_Unichar kEmpty[1] = {0};
  return PA_CreateUnistring(kEmpty);
}

HostPicture createEmptyPicture() { return PA_CreatePicture(nullptr, 0); }

void disposeText(const void* record) {
  HostCallBlock block;
  std::memcpy(&block.uniString, record, sizeof block.uniString);
  callHostKeepingError(kEntryDisposeUnistring, block);
}

void disposePicture(HostPicture picture) {
  HostCallBlock block;
  block.picture = picture;
  callHostKeepingError(kEntryDisposePicture, block);
}

// Entry -410 on a record, or on the head of one inside an array's storage.
void clearRecord(void* record) {
  HostCallBlock block;
  block.pointer1 = record;
  callHostKeepingError(kEntryClearVariable, block);
}

// ---- Arrays ---------------------------------------------------------------------------------

// The size of one element, 0 for the bit array (sized by storageSize) and for kinds that are no
// array kinds.
int elementSize(PA_VariableKind kind) {
  switch (kind) {
    case 13:
      return 16;
    case 14:
      return 8;
    case 15:
      return 2;
    case 16:
      return 4;
    case 17:
      return 6;
    case 18:
      return 20;
    case 19:
      return 8;
    case 20:
      return 42;
    case 31:
      return 12;
    case 32:
      return 4;
    case 34:
      return 20;
    case 39:
      return 8;
    default:
      return 0;
  }
}

// The bytes that hold elements 0..count, in 64 bits.
int64_t storageSize(PA_VariableKind kind, int64_t count) {
  if (kind == kVariableBooleanArray) return (count + 8) / 8;
  return (count + 1) * elementSize(kind);
}

// The bytes of element 0 of a new array, with the storage of `size` bytes locked at `element`.
void initFirstElement(PA_VariableKind kind, unsigned char* element, int32_t size) {
  std::memset(element, 0, static_cast<size_t>(size));
  if (kind == kVariableTextArray) {
    PA_Unistring text = createEmptyText();
    std::memcpy(element, &text, sizeof text);
  } else if (kind == kVariablePictureArray) {
    HostPicture picture = createEmptyPicture();
    std::memcpy(element, &picture, sizeof picture);
  } else if (kind == kVariableObjectArray) {
    PA_ObjectRef object = PA_CreateObject();
    std::memcpy(element, &object, sizeof object);
  }
}

// Kind 18 is the older text array: a new one is made as kind 34.
void createArray(PA_Variable* array, PA_VariableKind kind) {
  if (kind == 18) kind = kVariableTextArray;
  setKind(array, kind);
  // Kind 22 starts with two bytes of storage, as the host makes it.
  const int32_t size = kind == kVariableBooleanArray ? 2 : elementSize(kind);
  HostHandle storage = PA_NewHandle(size);
  writeField(array, kArrayCountOffset, int32_t{0});
  writeField(array, kArrayStorageOffset, storage);
  writeField(array, kArrayCurrentOffset, int16_t{0});
  if (storage == nullptr) return;
  char* data = PA_LockHandle(storage);
  if (data != nullptr) initFirstElement(kind, reinterpret_cast<unsigned char*>(data), size);
  PA_UnlockHandle(storage);
}

// Releases what elements from..to (inclusive, ascending) hold; the storage is locked by the
// caller at `data`.
void releaseElements(PA_VariableKind kind, unsigned char* data, int32_t from, int32_t to) {
  const int size = elementSize(kind);
  for (int64_t i = from; i <= to; ++i) {
    unsigned char* element = data + i * size;
    if (kind == kVariableArrayOfArrays) {
      clearRecord(element);
    } else if (kind == kVariablePictureArray) {
      // An element that a growth zeroed holds no picture: there is nothing to release.
      HostPicture picture;
      std::memcpy(&picture, element, sizeof picture);
      if (picture != nullptr) disposePicture(picture);
    } else if (kind == kVariableBlobArray) {
      HostHandle handle;
      std::memcpy(&handle, element + 4, sizeof handle);
      if (handle != nullptr) PA_DisposeHandle(handle);
    } else if (kind == kVariableTextArray) {
      disposeText(element);
      std::memset(element, 0, sizeof(PA_Unistring));
    } else if (kind == kVariableObjectArray) {
      PA_ObjectRef object;
      std::memcpy(&object, element, sizeof object);
      if (object == nullptr) continue;
      PA_Variable holder;
      std::memset(&holder, 0, sizeof holder);
      setKind(&holder, kVariableObject);
      writeField(&holder, kVariableValueOffset, object);
      clearRecord(&holder);
    }
  }
}

bool ownsElements(PA_VariableKind kind) {
  return kind == kVariableArrayOfArrays || kind == kVariablePictureArray ||
         kind == kVariableBlobArray || kind == kVariableTextArray || kind == kVariableObjectArray;
}

// The kind a new sub-array takes from the kind byte of element 0 of an array of arrays.
PA_VariableKind subArrayKind(PA_VariableKind kind) {
  switch (kind) {
    case 0:
    case 2:
    case 24:
      return kVariableText;
    case 18:
    case 21:
      return kVariableTextArray;
    case 41:
      return 20;
    default:
      return kind;
  }
}

// New sub-array heads count + 1 .. n. Only array kinds are made: a plain variable cut to the
// 16 bytes of a head could no longer be released, so the head of any other kind is zero.
void createSubArrays(unsigned char* data, int32_t from, int32_t to) {
  PA_VariableKind kind = subArrayKind(static_cast<PA_VariableKind>(data[0]));
  for (int64_t i = from; i <= to; ++i) {
    unsigned char* element = data + i * kArrayOfArraysElementSize;
    std::memset(element, 0, kArrayOfArraysElementSize);
    if (!isArrayKind(kind)) continue;
    PA_Variable head = PA_CreateVariable(kind);
    std::memcpy(element, &head, kArrayOfArraysElementSize);
  }
}

void fillNewElements(PA_VariableKind kind, HostHandle storage, int32_t count, int32_t n,
                     int64_t oldSize, int64_t newSize) {
  char* data = PA_LockHandle(storage);
  if (data != nullptr) {
    if (kind == kVariableArrayOfArrays) {
      createSubArrays(reinterpret_cast<unsigned char*>(data), count + 1, n);
    } else {
      std::memset(data + oldSize, 0, static_cast<size_t>(newSize - oldSize));
    }
  }
  PA_UnlockHandle(storage);
}

// Whether element index of an array of `kind` can be reached, with its address.
unsigned char* elementAt(const PA_Variable& array, int32_t index, bool kindMatches) {
  if (!kindMatches || index < 0 || index > arrayCount(array)) return nullptr;
  HostHandle storage = arrayStorage(array);
  if (storage == nullptr || *storage == nullptr) return nullptr;
  return reinterpret_cast<unsigned char*>(*storage) +
         static_cast<int64_t>(index) * elementSize(array.fType);
}

bool isLongintArray(const PA_Variable& array) {
  return array.fType == kVariableLongintArray || array.fType == kVariableLongintArray32;
}

// ---- Host commands --------------------------------------------------------------------------

int16_t runCommand(int32_t command, void* args, int count, PA_Variable* answer) {
  HostCallBlock block;
  block.pointer1 = args;
  block.pointer2 = answer;
  block.param1 = command;
  block.param2 = count;
  return callHost(kEntryExecuteCommand, block);
}

// An answer in the host's own text form becomes a text record holding a new copy of the text.
void convertHostText(PA_Variable* answer) {
  PA_Variable copy = *answer;
  HostCallBlock block;
  block.handle = &copy;
  std::memset(&block.uniString, 0, sizeof block.uniString);
  callHostKeepingError(kEntryVariableText, block);
  PA_Unistring text = block.uniString;
  PA_ClearVariable(answer);
  std::memset(answer, 0, sizeof *answer);
  setKind(answer, kVariableText);
  writeField(answer, kVariableValueOffset, text);
}

PA_Variable createObjectByParsing() {
  static const PA_Unichar kEmptyObject[3] = {'{', '}', 0};
  PA_Variable args[2];
  std::memset(args, 0, sizeof args);
  PA_Unistring text = PA_CreateUnistring(kEmptyObject);
  PA_SetStringVariable(&args[0], &text);
  PA_SetLongintVariable(&args[1], kVariableObject);
  PA_Variable answer = PA_ExecuteCommandByID(kCommandParseObject, args, 2);
  disposeText(&text);
  return answer;
}

}  // namespace

bool isArrayKind(PA_VariableKind kind) {
  return kind >= 0 && kind < 64 && ((kArrayKindMask >> kind) & 1) != 0;
}

// ---- Variables ------------------------------------------------------------------------------

PA_Variable PA_CreateVariable(PA_VariableKind kind) {
  PA_Variable variable;
  std::memset(&variable, 0, sizeof variable);
  setKind(&variable, kind);
  switch (kind) {
    case 2:
    case 33: {
      setKind(&variable, kVariableText);
      writeField(&variable, kVariableValueOffset, createEmptyText());
      break;
    }
    case 3:
    case 10:
      setKind(&variable, kVariablePicture);
      writeField(&variable, kVariableValueOffset, createEmptyPicture());
      break;
    case 30:
      writeField(&variable, kBlobVariableHandleOffset, PA_NewHandle(0));
      break;
    case 14:
    case 15:
    case 16:
    case 17:
    case 18:
    case 19:
    case 22:
    case 31:
    case 32:
    case 34:
    case 39:
      createArray(&variable, kind);
      break;
    default:
      // Kinds 1, 4, 6, 8, 9, 11, 38, 42 and 255 hold zeros; the others no value at all.
      break;
  }
  return variable;
}

void PA_SetStringVariable(PA_Variable* variable, PA_Unistring* text) {
  setKind(variable, kVariableText);
  writeField(variable, kVariableValueOffset, *text);
}

void PA_SetLongintVariable(PA_Variable* variable, int32_t value) {
  setKind(variable, kVariableLongint);
  writeField(variable, kVariableValueOffset, value);
}

void PA_SetTimeVariable(PA_Variable* variable, int32_t seconds) {
  setKind(variable, kVariableTime);
  writeField(variable, kVariableValueOffset, seconds);
}

void PA_SetPictureVariable(PA_Variable* variable, HostPicture picture) {
  setKind(variable, kVariablePicture);
  writeField(variable, kVariableValueOffset, picture);
}

int32_t PA_GetTimeVariable(PA_Variable variable) {
  if (variable.fType != kVariableTime) return 0;
  return readField<int32_t>(variable, kVariableValueOffset);
}

void PA_ClearVariable(PA_Variable* variable) { clearRecord(variable); }

bool PA_IsCompiled(int32_t flag) {
  HostCallBlock block;
  block.param1 = 0;
  block.param3 = kCompiledFlagsSelector;
  callHostKeepingError(kEntryCompiledFlags, block);
  const int bit = (flag & 0xFF) == 0 ? kCompiledBit : kCompiledBitWithFlag;
  return ((block.param1 >> bit) & 1) != 0;
}

// ---- Arrays ---------------------------------------------------------------------------------

int32_t PA_GetArrayNbElements(PA_Variable array) {
  if (!isArrayKind(array.fType)) return -1;
  return arrayCount(array);
}

void PA_ResizeArray(PA_Variable* array, int32_t n) {
  if (array == nullptr || n < 0 || !isArrayKind(array->fType)) return;
  const PA_VariableKind kind = array->fType;
  const int32_t count = arrayCount(*array);
  HostHandle storage = arrayStorage(*array);
  if (n == count || storage == nullptr) return;
  // Sizes in 64 bits: a storage past 2,147,483,647 bytes is refused before anything changes.
  const int64_t newSize = storageSize(kind, n);
  const int64_t oldSize = storageSize(kind, count > 0 ? count : 0);
  if (newSize > kMaxLength) return;
  if (n < count && ownsElements(kind)) {
    char* data = PA_LockHandle(storage);
    if (data != nullptr)
      releaseElements(kind, reinterpret_cast<unsigned char*>(data), n + 1, count);
    PA_UnlockHandle(storage);
  }
  const bool resized = PA_SetHandleSize(storage, static_cast<int32_t>(newSize));
  if (n > count && !resized) return;
  if (newSize > oldSize) fillNewElements(kind, storage, count, n, oldSize, newSize);
  writeField(array, kArrayCountOffset, n);
}

int32_t PA_GetLongintInArray(PA_Variable array, int32_t index) {
  const unsigned char* element = elementAt(array, index, isLongintArray(array));
  if (element == nullptr) return 0;
  int32_t value;
  std::memcpy(&value, element, sizeof value);
  return value;
}

void PA_SetIntegerInArray(PA_Variable array, int32_t index, int16_t value) {
  unsigned char* element = elementAt(array, index, array.fType == kVariableIntegerArray);
  if (element != nullptr) std::memcpy(element, &value, sizeof value);
}

void PA_SetLongintInArray(PA_Variable array, int32_t index, int32_t value) {
  unsigned char* element = elementAt(array, index, isLongintArray(array));
  if (element != nullptr) std::memcpy(element, &value, sizeof value);
}

void PA_SetStringInArray(PA_Variable array, int32_t index, PA_Unistring* text) {
  if (text == nullptr) return;
  unsigned char* element = elementAt(array, index, array.fType == kVariableTextArray);
  if (element == nullptr) return;
  PA_Unistring old;
  std::memcpy(&old, element, sizeof old);
  // Giving an element its own text again must not release the text it keeps.
  if (old.fString == nullptr || old.fString != text->fString) {
    disposeText(element);
    // The storage is unlocked: the release may move it, so its address is read afresh.
    element = elementAt(array, index, true);
    if (element == nullptr) return;
    std::memset(element, 0, sizeof old);
  }
  std::memcpy(element, text, sizeof *text);
}

// ---- Host commands --------------------------------------------------------------------------

int executeCommand(int32_t command, PA_Variable** args, int count, PA_Variable* result) {
  PA_Variable answer = PA_CreateVariable(kVariableNoValue);
  const int16_t error = runCommand(command, args, count, &answer);
  if (result != nullptr) {
    *result = answer;
  } else {
    PA_ClearVariable(&answer);
  }
  return error;
}

PA_Variable PA_ExecuteCommandByID(int32_t command, PA_Variable* args, int16_t count) {
  PA_Variable answer;
  std::memset(&answer, 0, sizeof answer);
  const int32_t n = count > 0 && args != nullptr ? count : 0;
  HostHandle addresses = PA_NewHandle(n * static_cast<int32_t>(sizeof(PA_Variable*)));
  if (addresses == nullptr) return answer;
  setKind(&answer, kVariableNoValue);
  char* data = PA_LockHandle(addresses);
  if (data != nullptr) {
    for (int32_t i = 0; i < n; ++i) {
      PA_Variable* address = args + i;
      std::memcpy(data + i * sizeof address, &address, sizeof address);
    }
  }
  const int16_t error = runCommand(command, data, n, &answer);
  PA_UnlockHandle(addresses);
  PA_DisposeHandle(addresses);
  setLastError(error);
  if (answer.fType == kVariableOldHostText || answer.fType == kVariableHostText) {
    convertHostText(&answer);
  }
  return answer;
}

PA_ObjectRef PA_CreateObject() {
  const uint32_t version = g4DVersion & 0xFFFF;
  if (version < kParseObjectHostVersion) return nullptr;
  PA_Variable answer = version >= kNewObjectHostVersion
                           ? PA_ExecuteCommandByID(kCommandNewObject, nullptr, 0)
                           : createObjectByParsing();
  if (answer.fType == kVariableObject) return readField<PA_ObjectRef>(answer, kVariableValueOffset);
  // Anything else the host answered would be lost with the record: it is released.
  if (answer.fType != kVariableUndefined) PA_ClearVariable(&answer);
  return nullptr;
}
