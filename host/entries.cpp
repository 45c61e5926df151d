// The host callback: every entry the plug-in calls, answered from the call block's fields at
// the host's own offsets. Each entry reads only the fields it defines and always writes error;
// in strict mode the fields that are not its answer are scribbled afterwards, so that reading
// the wrong answer field gives garbage instead of a lucky value.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "charsets.h"
#include "emulator_impl.h"
#include "layout.h"
#include "pictures.h"

namespace host {

using namespace layout;

namespace {

Emulator::Impl* gActive = nullptr;
thread_local Emulator::Impl* tHost = nullptr;

enum Field : uint32_t {
  kFieldUniString = 1u << 0,
  kFieldPicture = 1u << 1,
  kFieldPointer1 = 1u << 2,
  kFieldPointer2 = 1u << 3,
  kFieldTable = 1u << 4,
  kFieldFlags = 1u << 5,
  kFieldHandle = 1u << 6,
  kFieldParam1 = 1u << 7,
  kFieldParam2 = 1u << 8,
  kFieldParam3 = 1u << 9,
  kFieldParam4 = 1u << 10,
};

struct FieldPlace {
  Field field;
  size_t offset;
  size_t width;
};

constexpr FieldPlace kFields[] = {
    {kFieldUniString, kUniString, kTextSize},
    {kFieldPicture, kPicture, 8},
    {kFieldPointer1, kPointer1, 8},
    {kFieldPointer2, kPointer2, 8},
    {kFieldTable, kTable, 2},
    {kFieldFlags, kFlag1, 2},
    {kFieldHandle, kHandle, 8},
    {kFieldParam1, kParam1, 8},
    {kFieldParam2, kParam2, 8},
    {kFieldParam3, kParam3, 8},
    {kFieldParam4, kParam4, 8},
};

constexpr size_t kMaxTrace = size_t{1} << 22;
// flag1 of -613: param1 holds the number of units to set.
constexpr uint8_t kCountedUnits = 1;
constexpr int64_t kCompiledMagic = 0x46415354;
constexpr size_t kRecordHeader = 6;  // "4DRC" and the table number

using Impl = Emulator::Impl;

struct Call {
  Impl& emu;
  unsigned char* b;
  uint32_t answered = 0;
  int16_t error = error::kNone;
  std::string name;

  int64_t param(size_t offset) const { return load<int64_t>(b, offset); }
  void* pointer(size_t offset) const { return loadPointer(b, offset); }
  void answer(size_t offset, int64_t value, Field field) {
    store<int64_t>(b, offset, value);
    answered |= field;
  }
  void answerPointer(size_t offset, const void* value, Field field) {
    store<const void*>(b, offset, value);
    answered |= field;
  }
  void fail(int16_t code, const std::string& fault = {}) {
    error = code;
    if (!fault.empty()) emu.fault(name + ": " + fault);
  }
};

// The units before the terminating zero. Measuring a long text is a pass over all of it, so
// aligned blocks of eight units are compared at once: an aligned 16-byte block never crosses a
// page, which makes reading past the terminator inside it harmless, though it may lie outside
// the plug-in's buffer; hence no address checks in this function.
__attribute__((no_sanitize("address"))) size_t unitCount(const char16_t* units) {
  if (!units) return 0;
  const char16_t* p = units;
#if defined(__SSE2__)
  if (reinterpret_cast<uintptr_t>(p) % alignof(char16_t) == 0) {
    for (; reinterpret_cast<uintptr_t>(p) % 16 != 0; ++p) {
      if (*p == 0) return static_cast<size_t>(p - units);
    }
    const __m128i zero = _mm_setzero_si128();
    for (;; p += 8) {
      __m128i block = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
      int zeros = _mm_movemask_epi8(_mm_cmpeq_epi16(block, zero));
      if (zeros != 0) return static_cast<size_t>(p - units) + __builtin_ctz(zeros) / 2;
    }
  }
#endif
  while (*p) ++p;
  return static_cast<size_t>(p - units);
}

// ---- -434: handles --------------------------------------------------------------------------

// The live handle that `handle` names, or null after a fault naming what it named instead.
HandleRec* liveHandle(Call& c, void* handle) {
  if (!handle) {
    c.fail(error::kBadHandle, "no handle given");
    return nullptr;
  }
  HandleRec* rec = c.emu.findHandle(handle);
  if (!rec) {
    c.fail(error::kBadHandle, "an unknown handle");
    return nullptr;
  }
  if (!rec->live) {
    c.fail(error::kBadHandle, "a handle disposed before (made at " + rec->origin + ")");
    return nullptr;
  }
  return rec;
}

void newHandle(Call& c) {
  int64_t size = c.param(kParam2);
  c.answerPointer(kHandle, nullptr, kFieldHandle);
  if (size < 0 || size > INT32_MAX)
    return c.fail(error::kBadParameter, "a handle of size " + std::to_string(size));
  if (c.emu.refused(Refusal::NewHandle) || c.emu.exceedsCap(size)) return c.fail(error::kNoMemory);
  char** handle = c.emu.makeHandle(static_cast<size_t>(size), Owner::Plugin);
  if (!handle) return c.fail(error::kNoMemory);
  c.answerPointer(kHandle, handle, kFieldHandle);
}

// A locked handle's address is still in use by whoever locked it: disposing of it is a fault,
// though the handle goes all the same, as it would in a host that frees it.
void disposeHandle(Call& c) {
  void* handle = c.pointer(kHandle);
  HandleRec* rec = liveHandle(c, handle);
  if (!rec) return;
  if (rec->owner == Owner::Host && c.emu.options.strict) {
    return c.fail(error::kBadHandle,
                  "disposes of a handle the host owns (made at " + rec->origin + ")");
  }
  if (rec->locks > 0) {
    c.emu.fault(c.name + ": disposes of " + c.emu.nameOfHandle(handle, *rec) +
                ", which is locked (" + std::to_string(rec->locks) + " lock(s) not undone)");
  }
  c.emu.releaseHandle(static_cast<char**>(handle));
}

void setHandleSize(Call& c) {
  void* handle = c.pointer(kHandle);
  int64_t size = c.param(kParam2);
  HandleRec* rec = liveHandle(c, handle);
  if (!rec) return;
  if (size < 0 || size > INT32_MAX) {
    return c.fail(error::kBadParameter, "a handle size of " + std::to_string(size));
  }
  if (rec->locks > 0) {
    return c.fail(error::kNoMemory, "resizes a locked handle, " + c.emu.nameOfHandle(handle, *rec));
  }
  bool grows = static_cast<size_t>(size) > rec->block.size;
  if (grows && (c.emu.refused(Refusal::GrowHandle) || c.emu.exceedsCap(size))) {
    return c.fail(error::kNoMemory);
  }
  if (!c.emu.resizeHandle(static_cast<char**>(handle), *rec, static_cast<size_t>(size))) {
    c.fail(error::kNoMemory);
  }
}

void getHandleSize(Call& c) {
  HandleRec* rec = liveHandle(c, c.pointer(kHandle));
  c.answer(kParam2, rec ? static_cast<int64_t>(rec->block.size) : 0, kFieldParam2);
}

void lockHandle(Call& c) {
  HandleRec* rec = liveHandle(c, c.pointer(kHandle));
  c.answerPointer(kParam3, rec ? rec->block.data : nullptr, kFieldParam3);
  if (!rec) return;
  ++rec->locks;
  Process* me = c.emu.current();
  rec->lockProcess = me ? me->number : 0;
}

void unlockHandle(Call& c) {
  void* handle = c.pointer(kHandle);
  HandleRec* rec = liveHandle(c, handle);
  if (!rec) return;
  if (rec->locks == 0) return c.fail(error::kBadHandle, "unlocks a handle that is not locked");
  if (--rec->locks == 0 && c.emu.options.strict) {
    c.emu.relocate(static_cast<char**>(handle), *rec);
  }
}

void handleOperation(Call& c) {
  int32_t operation = static_cast<int32_t>(c.param(kParam1));
  c.name = "entry -434/" + std::to_string(operation);
  switch (operation) {
    case 1:
      return newHandle(c);
    case 2:
      return disposeHandle(c);
    case 3:
      return setHandleSize(c);
    case 4:
      return getHandleSize(c);
    case 5:
      return lockHandle(c);
    case 6:
      return unlockHandle(c);
    default:
      return c.fail(error::kBadParameter, "an unknown handle operation");
  }
}

// ---- Texts ----------------------------------------------------------------------------------

char16_t foldAscii(char16_t u) { return (u >= u'A' && u <= u'Z') ? u + (u'a' - u'A') : u; }

// Option3 (flag2) 0 compares ASCII letters without case; option4 (flag1) non-zero lets a
// trailing '@' of the second text match any rest of the first.
void compareTexts(Call& c) {
  const char16_t* a = static_cast<const char16_t*>(c.pointer(kParam1));
  const char16_t* b = static_cast<const char16_t*>(c.pointer(kParam2));
  int64_t na = c.param(kParam3);
  int64_t nb = c.param(kParam4);
  bool caseless = load<uint8_t>(c.b, kFlag2) == 0;
  bool wildcard = load<uint8_t>(c.b, kFlag1) != 0;
  if ((!a && na) || (!b && nb) || na < 0 || nb < 0) {
    c.answer(kParam1, 1, kFieldParam1);
    return c.fail(error::kBadParameter, "a unit count for no text");
  }
  int result = 0;
  int64_t i = 0;
  for (;; ++i) {
    if (wildcard && i == nb - 1 && b[i] == u'@') break;
    if (i == na || i == nb) {
      result = na == nb ? 0 : (i == na ? -1 : 1);
      break;
    }
    char16_t x = caseless ? foldAscii(a[i]) : a[i];
    char16_t y = caseless ? foldAscii(b[i]) : b[i];
    if (x != y) {
      result = x < y ? -1 : 1;
      break;
    }
  }
  c.answer(kParam1, result, kFieldParam1);
}

void createText(Call& c) {
  // The units are copied once, straight from where the plug-in keeps them, before the answer
  // field is cleared.
  const char16_t* source = static_cast<const char16_t*>(c.pointer(kHandle));
  size_t length = unitCount(source);
  bool refused = c.emu.refused(Refusal::NewText);
  uint64_t id = refused ? 0 : c.emu.makeText(source ? source : u"", length, Owner::Plugin);
  std::memset(c.b + kUniString, 0, kTextSize);
  c.answered |= kFieldUniString;
  if (refused || !id) return c.fail(error::kNoMemory);
  c.emu.writeTextRecord(c.b + kUniString, id);
}

// The units a -613 gives: up to the zero unit, or, with flag1 = 1, the count in param1, zero
// units among them included. Counted units must still end with a zero unit, so that a host that
// reads up to it stops there too. Empty when the count is no count of those units.
std::optional<size_t> unitsToSet(Call& c, const char16_t* source) {
  if (load<uint8_t>(c.b, kFlag1) != kCountedUnits) return unitCount(source);
  int64_t count = c.param(kParam1);
  if (count < 0 || count > 2147483647 || (source == nullptr && count > 0)) {
    c.fail(error::kBadParameter, "a unit count of " + std::to_string(count));
    return std::nullopt;
  }
  if (source != nullptr && source[count] != 0) {
    c.fail(error::kBadParameter, "counted units without a zero unit after them");
    return std::nullopt;
  }
  return static_cast<size_t>(count);
}

void setText(Call& c) {
  // The source may be the text's own units: they are copied into the new block before the old
  // one is released, so nothing changes under them. A refusal leaves the text as it was.
  const char16_t* source = static_cast<const char16_t*>(c.pointer(kHandle));
  const char16_t* units = source ? source : u"";
  c.answered |= kFieldUniString;
  std::optional<uint64_t> id = c.emu.textOfRecord(c.b + kUniString, c.name);
  if (!id) return c.fail(error::kBadHandle);
  std::optional<size_t> length = unitsToSet(c, source);
  if (!length) return;
  if (c.emu.refused(Refusal::SetText)) return c.fail(error::kNoMemory);
  if (*id == 0) {
    uint64_t made = c.emu.makeText(units, *length, Owner::Plugin);
    if (!made) return c.fail(error::kNoMemory);
    return c.emu.writeTextRecord(c.b + kUniString, made);
  }
  if (!c.emu.replaceText(*id, *c.emu.findText(*id), units, *length)) {
    return c.fail(error::kNoMemory);
  }
  c.emu.writeTextRecord(c.b + kUniString, *id);
}

void disposeText(Call& c) {
  std::optional<uint64_t> id = c.emu.textOfRecord(c.b + kUniString, c.name);
  if (!id) return c.fail(error::kBadHandle);
  if (*id) c.emu.releaseText(*id);
}

void textOfVariable(Call& c) {
  const unsigned char* variable = static_cast<const unsigned char*>(c.pointer(kHandle));
  std::memset(c.b + kUniString, 0, kTextSize);
  c.answered |= kFieldUniString;
  int8_t kind = variable ? load<int8_t>(variable, kVariableKind) : 0;
  if (kind != 2 && kind != 24)
    return c.fail(error::kBadParameter, "a variable of kind " + std::to_string(kind));
  TextRec* text = c.emu.findText(load<uint32_t>(variable, kVariableValue));
  if (load<uint32_t>(variable, kHostFormMagic) != kHostFormMagicValue || !text || !text->live) {
    return c.fail(error::kBadParameter, "a host-form text variable of no text");
  }
  Text value = c.emu.textValue(*text);
  uint64_t id = c.emu.makeText(value.data(), value.size(), Owner::Plugin);
  if (!id) return c.fail(error::kNoMemory);
  c.emu.writeTextRecord(c.b + kUniString, id);
}

// ---- Pictures -------------------------------------------------------------------------------

void createPicture(Call& c) {
  const char* bytes = static_cast<const char*>(c.pointer(kPointer1));
  int64_t size = c.param(kParam1);
  c.answer(kPicture, 0, kFieldPicture);
  if (size < 0 || (!bytes && size > 0)) return c.fail(error::kBadParameter, "no picture bytes");
  if (c.emu.refused(Refusal::NewPicture)) return c.fail(error::kNoMemory);
  Picture picture;
  if (bytes && size > 0) {
    Bytes data(bytes, static_cast<size_t>(size));
    picture.formats.push_back({pictures::typeName(data), std::move(data)});
  }
  c.answer(kPicture, static_cast<int64_t>(c.emu.makePicture(std::move(picture), Owner::Plugin)),
           kFieldPicture);
}

PictureRec* livePicture(Call& c, uint64_t ref) {
  PictureRec* picture = c.emu.findPicture(ref);
  if (!picture) {
    c.fail(error::kBadHandle, "an unknown picture");
    return nullptr;
  }
  if (!picture->live) {
    c.fail(error::kBadHandle, "a picture released before (made at " + picture->origin + ")");
    return nullptr;
  }
  return picture;
}

// A null picture is no picture: releasing it does nothing (an array's dropped elements may be
// null, and the array wrappers release each of them).
void disposePicture(Call& c) {
  uint64_t ref = static_cast<uint64_t>(c.param(kPicture));
  if (ref == 0) return;
  PictureRec* picture = livePicture(c, ref);
  if (!picture) return;
  if (picture->owner == Owner::Host) {
    return c.fail(error::kBadHandle, "releases a picture the host owns");
  }
  c.emu.releasePicture(ref);
}

void pictureFormat(Call& c) {
  uint64_t ref = static_cast<uint64_t>(c.param(kPicture));
  int64_t index = c.param(kParam1);
  void* handle = c.pointer(kHandle);
  std::memset(c.b + kUniString, 0, kTextSize);
  c.answered |= kFieldUniString;
  PictureRec* picture = ref ? livePicture(c, ref) : nullptr;
  if (ref && !picture) return;
  if (!picture || index < 1 || index > static_cast<int64_t>(picture->value.formats.size())) {
    return c.fail(error::kNoSuchFormat);
  }
  const PictureFormat& format = picture->value.formats[static_cast<size_t>(index - 1)];
  if (handle) {
    HandleRec* rec = liveHandle(c, handle);
    if (!rec) return;
    if (rec->locks > 0) {
      return c.fail(error::kNoMemory, "fills a locked handle, " + c.emu.nameOfHandle(handle, *rec));
    }
    bool grows = format.bytes.size() > rec->block.size;
    if ((grows && c.emu.refused(Refusal::GrowHandle)) ||
        c.emu.exceedsCap(static_cast<int64_t>(format.bytes.size())) ||
        !c.emu.resizeHandle(static_cast<char**>(handle), *rec, format.bytes.size())) {
      return c.fail(error::kNoMemory);
    }
    std::memcpy(rec->block.data, format.bytes.data(), format.bytes.size());
  }
  Text type = text(format.type);
  uint64_t id = c.emu.makeText(type.data(), type.size(), Owner::Plugin);
  if (!id) return c.fail(error::kNoMemory);
  c.emu.writeTextRecord(c.b + kUniString, id);
}

// ---- -675: character sets -------------------------------------------------------------------

void convertCharset(Call& c) {
  const unsigned char* source = static_cast<const unsigned char*>(c.pointer(kPointer1));
  int64_t size = c.param(kParam1);
  int32_t from = static_cast<int32_t>(c.param(kParam2));
  unsigned char* destination = static_cast<unsigned char*>(c.pointer(kPointer2));
  int64_t capacity = c.param(kParam3);
  int32_t to = static_cast<int32_t>(c.param(kParam4));
  c.answer(kParam3, 0, kFieldParam3);
  if (!charsets::known(from) || !charsets::known(to)) return c.fail(error::kBadParameter);
  if (size < 0 || capacity < 0 || (!source && size) || (!destination && capacity)) {
    return c.fail(error::kBadParameter, "a conversion of no bytes or into no buffer");
  }
  if (c.emu.refused(Refusal::Conversion)) return c.fail(error::kNoMemory);
  charsets::Converted done = charsets::convert(source, static_cast<size_t>(size), from, destination,
                                               static_cast<size_t>(capacity), to);
  if (done.oddUTF16) c.emu.fault(c.name + ": UTF-16 source of an odd byte count");
  if (c.emu.options.strict) {
    std::memset(destination + done.written, BlockAllocator::kNewByte,
                static_cast<size_t>(capacity) - done.written);
  }
  c.answer(kParam3, static_cast<int64_t>(done.written), kFieldParam3);
}

// ---- -636: host language commands -----------------------------------------------------------

struct CommandCall {
  Call& c;
  unsigned char** args;
  int64_t count;
  unsigned char* result;

  unsigned char* arg(int64_t i, int8_t kind) {
    if (i >= count || !args || !args[i]) return nullptr;
    return load<int8_t>(args[i], kVariableKind) == kind ? args[i] : nullptr;
  }
  void answerKind(int8_t kind) {
    if (!result) return;
    store<int8_t>(result, kVariableKind, kind);
    store<uint8_t>(result, 1, 0);
  }
};

std::optional<Text> textArg(CommandCall& cc, int64_t i) {
  unsigned char* variable = cc.arg(i, 33);
  if (!variable) return std::nullopt;
  std::optional<uint64_t> id = cc.c.emu.textOfRecord(
      variable + kVariableValue, cc.c.name + " argument " + std::to_string(i + 1));
  if (!id) return std::nullopt;
  if (*id == 0) return Text();
  return cc.c.emu.textValue(*cc.c.emu.findText(*id));
}

void openDocument(CommandCall& cc) {
  std::optional<Text> path = textArg(cc, 0);
  std::optional<Text> type = textArg(cc, 1);
  unsigned char* mode = cc.arg(2, 9);
  if (!path || !type || !mode) return cc.c.fail(error::kBadParameter, "arguments of command 264");
  cc.answerKind(11);
  if (cc.result) store<int32_t>(cc.result, kVariableValue, 0);
  int fd = open(utf8(*path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return cc.c.fail(error::kFileNotFound);
  int32_t reference = cc.c.emu.nextDocument++;
  cc.c.emu.documents[reference] = DocumentRec{utf8(*path), fd};
  if (cc.result) store<int32_t>(cc.result, kVariableValue, reference);
}

void pictureSize(CommandCall& cc) {
  unsigned char* picture = cc.arg(0, 10);
  unsigned char* width = cc.arg(1, 9);
  unsigned char* height = cc.arg(2, 9);
  if (!picture || !width || !height) {
    return cc.c.fail(error::kBadParameter, "arguments of command 457");
  }
  uint64_t ref = load<uint64_t>(picture, kVariableValue);
  PictureRec* rec = ref ? livePicture(cc.c, ref) : nullptr;
  if (ref && !rec) return;
  pictures::Size size;
  if (rec && !rec->value.formats.empty()) size = pictures::sizeOf(rec->value.formats[0].bytes);
  if (rec && !size.known) size = {rec->value.width, rec->value.height, true};
  store<int32_t>(width, kVariableValue, size.width);
  store<int32_t>(height, kVariableValue, size.height);
}

void newObject(CommandCall& cc, bool fromText) {
  if (fromText) {
    std::optional<Text> json = textArg(cc, 0);
    unsigned char* type = cc.arg(1, 9);
    if (!json || *json != u"{}" || !type || load<int32_t>(type, kVariableValue) != 38) {
      return cc.c.fail(error::kBadParameter, "arguments of command 1218");
    }
  }
  if (!cc.result) return cc.c.fail(error::kBadParameter, "no result variable");
  cc.answerKind(38);
  store<uint64_t>(cc.result, kVariableValue, cc.c.emu.makeObject(Owner::Plugin));
}

// Answers its first text argument (or "host text") as a host-form text of kind 24.
void hostFormText(CommandCall& cc) {
  std::optional<Text> value = textArg(cc, 0);
  Text content = value ? *value : text("host text");
  uint64_t id = cc.c.emu.makeText(content.data(), content.size(), Owner::Plugin);
  if (!id || !cc.result) return cc.c.fail(error::kNoMemory);
  cc.answerKind(24);
  store<uint32_t>(cc.result, kVariableValue, static_cast<uint32_t>(id));
  store<uint32_t>(cc.result, kHostFormMagic, kHostFormMagicValue);
}

void hostCommand(Call& c) {
  CommandCall cc{c, static_cast<unsigned char**>(c.pointer(kPointer1)), c.param(kParam2),
                 static_cast<unsigned char*>(c.pointer(kPointer2))};
  int64_t command = c.param(kParam1);
  c.name = "host command " + std::to_string(command);
  if (cc.count < 0 || (cc.count > 0 && !cc.args)) {
    return c.fail(error::kBadParameter, "an argument count without arguments");
  }
  switch (command) {
    case hostcommand::kOpenDocument:
      return openDocument(cc);
    case hostcommand::kPictureSize:
      return pictureSize(cc);
    case hostcommand::kNewObjectFromText:
      return newObject(cc, true);
    case hostcommand::kNewObject:
      return newObject(cc, false);
    case hostcommand::kHostFormText:
      return hostFormText(cc);
    default:
      return c.fail(error::kUnknownCommand);
  }
}

// ---- Records --------------------------------------------------------------------------------

void recordToHandle(Call& c) {
  int16_t table = load<int16_t>(c.b, kTable);
  c.answerPointer(kHandle, nullptr, kFieldHandle);
  auto found = c.emu.records.find(table);
  if (found == c.emu.records.end()) return c.fail(error::kNoCurrentRecord);
  Bytes image = "4DRC" + Bytes(reinterpret_cast<const char*>(&table), 2) + found->second;
  if (c.emu.refused(Refusal::NewHandle)) return c.fail(error::kNoMemory);
  char** handle = c.emu.makeHandle(image.size(), Owner::Plugin, image.data());
  if (!handle) return c.fail(error::kNoMemory);
  c.answerPointer(kHandle, handle, kFieldHandle);
}

void handleToRecord(Call& c) {
  int16_t table = load<int16_t>(c.b, kTable);
  HandleRec* rec = liveHandle(c, c.pointer(kHandle));
  if (!rec) return;
  Bytes image = c.emu.handleBytes(*rec);
  Bytes header = "4DRC" + Bytes(reinterpret_cast<const char*>(&table), 2);
  if (image.size() < kRecordHeader || image.compare(0, kRecordHeader, header) != 0) {
    return c.fail(error::kNotARecord);
  }
  c.emu.records[table] = image.substr(kRecordHeader);
}

// ---- The rest -------------------------------------------------------------------------------

void answerCompiledFlags(Call& c) {
  bool magic = c.param(kParam3) == kCompiledMagic;
  c.answer(kParam1, magic ? c.emu.compiledFlags : 0, kFieldParam1);
  if (!magic) c.fail(error::kBadParameter, "a wrong magic number");
}

// The handle that a dispose, resize or unlock names: that call moves it itself (or frees it),
// leaving its old place inaccessible. Every other handle, the one a size or lock asks about
// included, moves before the call.
const void* handleMovedByTheCall(int32_t entry, const Call& c) {
  if (entry != -434) return nullptr;
  const int64_t operation = c.param(kParam1);
  return operation == 2 || operation == 3 || operation == 6 ? c.pointer(kHandle) : nullptr;
}

void scribble(Call& c) {
  for (const FieldPlace& f : kFields) {
    if (!(c.answered & f.field)) std::memset(c.b + f.offset, kScribble, f.width);
  }
}

}  // namespace

void setActiveHost(Emulator::Impl* host) { gActive = host; }
Emulator::Impl* activeHost() { return gActive; }
void bindThreadToHost(Emulator::Impl* host) { tHost = host; }
Emulator::Impl* hostOfThisThread() { return tHost ? tHost : gActive; }

void Emulator::Impl::answer(int32_t entry, unsigned char* block) {
  Call c{*this, block, 0, error::kNone, {}};
  c.name = "entry " + std::to_string(entry);
  {
    std::lock_guard<std::recursive_mutex> lock(state);
    ++hostCalls;
    memory.setEvent(hostCalls);
    if (trace.size() < kMaxTrace) trace.push_back(entry);
    ++counts[entry];
    if (unloading) {
      abortRun(c.name +
               ": a host call from the plug-in's unload code (a destructor run at dlclose or at "
               "exit), after the shut-down selector");
    }
    if (!startSent) fault(c.name + ": a host call before the start-up selector");
    if (shutDown) fault(c.name + ": a host call after the shut-down selector");
    if (!current()) {
      fault(c.name + ": a host call from a thread that is no 4D process");
    } else if (!holdsTurn()) {
      fault(c.name + ": a host call from a process that does not hold the turn");
    }
    if (options.strict) {
      if (size_t stale = memory.takeStaleWrites()) {
        fault(c.name + ": " + std::to_string(stale) +
              " write(s), since the host call before, through the old address of an unlocked "
              "handle (its bytes move at every host call)");
      }
      relocateUnlockedHandles(handleMovedByTheCall(entry, c));
    }
  }
  if (entry == -93 || entry == -122) {
    yieldTurn();
  } else if (entry == -89) {
    Process* me = current();
    if (me && c.param(kParam1) != me->number) fault(c.name + ": sleeps another process");
    sleepTurn(c.param(kParam2));
  } else {
    std::lock_guard<std::recursive_mutex> lock(state);
    switch (entry) {
      case -434:
        handleOperation(c);
        break;
      case -611:
        compareTexts(c);
        break;
      case -612:
        createText(c);
        break;
      case -613:
        setText(c);
        break;
      case -614:
        disposeText(c);
        break;
      case -615:
        textOfVariable(c);
        break;
      case -617:
        createPicture(c);
        break;
      case -620:
        disposePicture(c);
        break;
      case -671:
        pictureFormat(c);
        break;
      case -675:
        convertCharset(c);
        break;
      case -410: {
        unsigned char* variable = static_cast<unsigned char*>(c.pointer(kPointer1));
        if (!variable) {
          c.fail(error::kBadParameter, "no variable");
        } else {
          clearVariable(variable, c.name);
        }
        break;
      }
      case -636:
        hostCommand(c);
        break;
      case -56:
        answerCompiledFlags(c);
        break;
      case -91:
        c.answer(kParam1, current() ? current()->number : 0, kFieldParam1);
        break;
      case -26:
        recordToHandle(c);
        break;
      case -27:
        handleToRecord(c);
        break;
      default:
        c.fail(error::kUnknownCommand, "an unknown host entry");
        break;
    }
  }
  if (options.strict) scribble(c);
  store<int16_t>(block, kError, c.error);
}

void hostCallback(int32_t entry, ::HostCallBlock* block) {
  unsigned char* bytes = reinterpret_cast<unsigned char*>(block);
  Emulator::Impl* host = tHost ? tHost : gActive;
  if (!host) {
    // No emulator to record a fault: the plug-in's code at exit (a static object's destructor)
    // or a thread that outlived its host.
    std::fprintf(stderr,
                 "host emulator: entry %d: a host call with no host alive (the plug-in's code at "
                 "exit, such as a destructor, or a thread that outlived its host)\n",
                 entry);
    std::abort();
  }
  host->answer(entry, bytes);
}

}  // namespace host
