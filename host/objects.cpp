// The registries of the host's objects: handles, texts, pictures and objects, with their owner,
// so that a double release, an unknown reference or a leak shows.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "emulator_impl.h"
#include "frame_impl.h"
#include "layout.h"

namespace host {

using namespace layout;

std::string Emulator::Impl::origin() const {
  std::string where = "host call " + std::to_string(hostCalls);
  if (Process* p = current()) {
    where += " in process " + std::to_string(p->number);
    if (!p->jobName.empty()) where += " (" + p->jobName + ")";
  }
  return where;
}

void Emulator::Impl::fault(const std::string& what) {
  std::lock_guard<std::recursive_mutex> lock(state);
  faults.push_back(what + " [" + origin() + "]");
}

void Emulator::Impl::abortRun(const std::string& why) {
  std::lock_guard<std::recursive_mutex> lock(state);
  faults.push_back(why + " [" + origin() + "]");
  std::fprintf(stderr, "host emulator: %s\n", why.c_str());
  printState();
  std::abort();
}

bool Emulator::Impl::refused(Refusal what) {
  bool refuse = false;
  for (auto it = refusals.begin(); it != refusals.end();) {
    if (it->first == what && --it->second <= 0) {
      refuse = true;
      it = refusals.erase(it);
    } else {
      ++it;
    }
  }
  return refuse;
}

// ---- Handles --------------------------------------------------------------------------------

char** Emulator::Impl::makeHandle(size_t size, Owner owner, const void* bytes) {
  Block block = memory.allocateCopy(bytes, bytes ? size : 0, size, BlockAllocator::kNewByte);
  if (!block) return nullptr;
  char** handle;
  if (freeMasters.empty()) {
    masters.push_back(nullptr);
    handle = &masters.back();
  } else {
    handle = freeMasters.back();
    freeMasters.pop_back();
  }
  *handle = reinterpret_cast<char*>(block.data);
  HandleRec& rec = handles[handle];
  liveHandles.insert(handle);
  rec.block = block;
  rec.block.tag = reinterpret_cast<uint64_t>(handle);
  rec.owner = owner;
  rec.origin = origin();
  return handle;
}

HandleRec* Emulator::Impl::findHandle(void* handle) {
  auto found = handles.find(static_cast<char**>(handle));
  if (found == handles.end()) return nullptr;
  HandleRec& rec = found->second;
  if (rec.live && !rec.guardReported && !memory.guardIntact(rec.block)) {
    rec.guardReported = true;
    fault("the guard bytes after a handle of " + std::to_string(rec.block.size) +
          " bytes (made at " + rec.origin + ") were overwritten");
  }
  return &rec;
}

void Emulator::Impl::releaseHandle(char** handle) {
  HandleRec& rec = handles.at(handle);
  memory.release(rec.block);
  // An inaccessible address of this handle's own, so that a use of the master pointer after the
  // dispose names it.
  void* dead = memory.deadSlot(nextReleasedHandle);
  *handle = static_cast<char*>(dead ? dead : reinterpret_cast<void*>(kPoisonAddress));
  rec.live = false;
  rec.releasedAt = hostCalls;
  liveHandles.erase(handle);
  if (releasedHandles.empty()) releasedHandles.assign(kKeptReleased, nullptr);
  char** forgotten = releasedHandles[nextReleasedHandle];
  releasedHandles[nextReleasedHandle] = handle;
  nextReleasedHandle = (nextReleasedHandle + 1) % kKeptReleased;
  if (forgotten) {
    handles.erase(forgotten);
    freeMasters.push_back(forgotten);
  }
  rec.locks = 0;
}

bool Emulator::Impl::resizeHandle(char** handle, HandleRec& rec, size_t size) {
  if (!memory.resize(rec.block, size, BlockAllocator::kNewByte)) return false;
  *handle = reinterpret_cast<char*>(rec.block.data);
  return true;
}

void Emulator::Impl::relocate(char** handle, HandleRec& rec) {
  if (memory.move(rec.block)) *handle = reinterpret_cast<char*>(rec.block.data);
}

// An unlocked handle may move at any host call: here it does, at every one, so that an address
// kept across a call faults at its next use. The guard is checked first, as the move writes a
// fresh one. `except` is the handle the call disposes of, resizes or unlocks: that call moves it
// itself, leaving its old place inaccessible.
void Emulator::Impl::relocateUnlockedHandles(const void* except) {
  for (char** handle : liveHandles) {
    if (handle == except) continue;
    HandleRec* rec = findHandle(handle);
    if (rec->locks == 0 && memory.moveCheaply(rec->block)) {
      *handle = reinterpret_cast<char*>(rec->block.data);
    }
  }
}

Bytes Emulator::Impl::handleBytes(const HandleRec& rec) const {
  return Bytes(reinterpret_cast<const char*>(rec.block.data), rec.block.size);
}

// ---- Texts ----------------------------------------------------------------------------------

uint64_t Emulator::Impl::makeText(const char16_t* units, size_t length, Owner owner) {
  Block block = memory.allocateCopy(units, length * 2, (length + 1) * 2, 0);
  if (!block) return 0;
  uint64_t id = nextText++;
  TextRec& rec = texts[id];
  liveTexts.insert(id);
  rec.units = block;
  rec.units.tag = kTextTag | id;
  rec.length = static_cast<int32_t>(length);
  rec.owner = owner;
  rec.origin = origin();
  return id;
}

TextRec* Emulator::Impl::findText(uint64_t id) {
  auto found = texts.find(id);
  if (found == texts.end()) return nullptr;
  TextRec& rec = found->second;
  if (rec.live && !rec.guardReported && !memory.guardIntact(rec.units)) {
    rec.guardReported = true;
    fault("the guard bytes after a text's units (made at " + rec.origin + ") were overwritten");
  }
  if (rec.live && !rec.guardReported &&
      layout::load<char16_t>(rec.units.data, rec.length * 2) != 0) {
    rec.guardReported = true;
    fault("the zero unit after a text of " + std::to_string(rec.length) + " units (made at " +
          rec.origin + ") was overwritten");
  }
  return &rec;
}

bool Emulator::Impl::replaceText(uint64_t, TextRec& rec, const char16_t* units, size_t length) {
  // The units may be the text's own: they are copied before the old block goes.
  Block block = memory.allocateCopy(units, length * 2, (length + 1) * 2, 0);
  if (!block) return false;
  block.tag = rec.units.tag;
  memory.releaseMoved(rec.units);
  rec.units = block;
  rec.length = static_cast<int32_t>(length);
  return true;
}

void Emulator::Impl::releaseText(uint64_t id) {
  TextRec& rec = texts.at(id);
  memory.release(rec.units);
  rec.live = false;
  liveTexts.erase(id);
  if (releasedTexts.empty()) releasedTexts.assign(kKeptReleased, 0);
  uint64_t forgotten = releasedTexts[nextReleasedText];
  releasedTexts[nextReleasedText] = id;
  nextReleasedText = (nextReleasedText + 1) % kKeptReleased;
  if (forgotten) texts.erase(forgotten);
}

void Emulator::Impl::writeTextRecord(void* record, uint64_t id) {
  std::memset(record, 0, kTextSize);
  if (id == 0) return;
  const TextRec& rec = texts.at(id);
  store<int32_t>(record, kTextLength, rec.length);
  store<void*>(record, kTextUnits, rec.units.data);
  store<uint32_t>(record, kTextId, static_cast<uint32_t>(id));
  store<uint32_t>(record, kTextMagic, kTextMagicValue);
}

Text Emulator::Impl::textValue(const TextRec& rec) const {
  return Text(reinterpret_cast<const char16_t*>(rec.units.data), rec.length);
}

std::optional<uint64_t> Emulator::Impl::textOfRecord(const void* record, const std::string& where) {
  static const unsigned char zero[kTextSize] = {};
  if (std::memcmp(record, zero, kTextSize) == 0) return 0;
  if (layout::load<uint32_t>(record, kTextMagic) != kTextMagicValue) {
    fault(where + ": a text record that the host did not make");
    return std::nullopt;
  }
  uint64_t id = layout::load<uint32_t>(record, kTextId);
  TextRec* rec = findText(id);
  if (!rec) {
    fault(where + ": a text record that names no text");
    return std::nullopt;
  }
  if (!rec->live) {
    fault(where + ": a text released before (made at " + rec->origin + ")");
    return std::nullopt;
  }
  if (loadPointer(record, kTextUnits) != rec->units.data ||
      layout::load<int32_t>(record, kTextLength) != rec->length) {
    fault(where +
          ": a stale copy of a text record (the record answered by the host's last "
          "change was not copied back)");
  }
  return id;
}

// ---- Pictures and objects -------------------------------------------------------------------

uint64_t Emulator::Impl::makePicture(Picture value, Owner owner) {
  uint64_t ref = kPictureTag | nextPicture++;
  PictureRec& rec = pictures[ref];
  value.null = false;
  rec.value = std::move(value);
  rec.owner = owner;
  rec.origin = origin();
  return ref;
}

PictureRec* Emulator::Impl::findPicture(uint64_t ref) {
  auto found = pictures.find(ref);
  return found == pictures.end() ? nullptr : &found->second;
}

void Emulator::Impl::releasePicture(uint64_t ref) { pictures.at(ref).live = false; }

uint64_t Emulator::Impl::makeObject(Owner owner) {
  uint64_t ref = kObjectTag | nextObject++;
  ObjectRec& rec = objects[ref];
  rec.owner = owner;
  rec.origin = origin();
  return ref;
}

void Emulator::Impl::releaseRef(const ObjectRef& ref) {
  switch (ref.type) {
    case ObjectRef::Type::Handle: {
      char** handle = reinterpret_cast<char**>(ref.id);
      auto found = handles.find(handle);
      if (found != handles.end() && found->second.live) releaseHandle(handle);
      break;
    }
    case ObjectRef::Type::Text: {
      auto found = texts.find(ref.id);
      if (found != texts.end() && found->second.live) releaseText(ref.id);
      break;
    }
    case ObjectRef::Type::Picture: {
      auto found = pictures.find(ref.id);
      if (found != pictures.end() && found->second.live) releasePicture(ref.id);
      break;
    }
  }
}

void Emulator::Impl::checkGuards() {
  for (char** handle : liveHandles) findHandle(handle);
  for (uint64_t id : liveTexts) findText(id);
  if (size_t stale = memory.takeStaleWrites()) {
    fault(std::to_string(stale) +
          " write(s) through the address of an unlocked handle kept across a host call (the "
          "bytes had moved)");
  }
}

// ---- Variables ------------------------------------------------------------------------------

namespace {

// Element sizes of the array kinds; 0 for a kind that is no array kind. Kind 22 keeps bits.
size_t elementSize(int8_t kind) {
  switch (kind) {
    case 13:
      return kArrayHeadSize;
    case 14:
      return 8;
    case 15:
      return 2;
    case 16:
      return 4;
    case 17:
      return 6;
    case 19:
      return 8;
    case 20:
      return 42;
    case 22:
      return 1;
    case 31:
      return 12;
    case 32:
      return 4;
    case 34:
      return kTextSize;
    case 39:
      return 8;
    default:
      return 0;
  }
}

}  // namespace

// Releases what an array head owns: its elements (sub-arrays recursively) and its storage.
void Emulator::Impl::releaseArrayElements(int8_t kind, const unsigned char* head,
                                          const std::string& where) {
  void* storage = loadPointer(head, kArrayStorage);
  if (!storage) return;
  HandleRec* rec = findHandle(storage);
  if (!rec || !rec->live) {
    fault(where + ": an array whose storage is no live handle");
    return;
  }
  int32_t count = layout::load<int32_t>(head, kArrayCount);
  size_t size = elementSize(kind);
  size_t elements = kind == 22 ? 0 : rec->block.size / size;
  if (count >= 0) elements = std::min(elements, static_cast<size_t>(count) + 1);
  for (size_t i = 0; i < elements; ++i) {
    const unsigned char* element = rec->block.data + i * size;
    std::string at = where + ", element " + std::to_string(i);
    if (kind == 13) {
      releaseArrayElements(layout::load<int8_t>(element, kVariableKind), element, at);
    } else if (kind == 19) {
      uint64_t ref = layout::load<uint64_t>(element, 0);
      PictureRec* picture = ref ? findPicture(ref) : nullptr;
      if (picture && picture->live) releasePicture(ref);
    } else if (kind == 31) {
      void* handle = loadPointer(element, 4);
      HandleRec* h = handle ? findHandle(handle) : nullptr;
      if (h && h->live) releaseHandle(static_cast<char**>(handle));
    } else if (kind == 34) {
      std::optional<uint64_t> id = textOfRecord(element, at);
      if (id && *id) releaseText(*id);
    } else if (kind == 39) {
      uint64_t ref = layout::load<uint64_t>(element, 0);
      auto object = objects.find(ref);
      if (object != objects.end() && object->second.live) object->second.live = false;
    }
  }
  releaseHandle(static_cast<char**>(storage));
}

void Emulator::Impl::clearVariable(unsigned char* variable, const std::string& where) {
  int8_t kind = layout::load<int8_t>(variable, kVariableKind);
  if (kind == 10) {
    uint64_t ref = layout::load<uint64_t>(variable, kVariableValue);
    PictureRec* picture = ref ? findPicture(ref) : nullptr;
    if (ref && (!picture || !picture->live)) fault(where + ": a picture variable of no picture");
    if (picture && picture->live) releasePicture(ref);
  } else if (kind == 33) {
    std::optional<uint64_t> id = textOfRecord(variable + kVariableValue, where);
    if (id && *id) releaseText(*id);
  } else if (kind == 2 || kind == 24) {
    uint64_t id = layout::load<uint32_t>(variable, kVariableValue);
    TextRec* text = findText(id);
    if (layout::load<uint32_t>(variable, kHostFormMagic) != kHostFormMagicValue || !text ||
        !text->live) {
      fault(where + ": a host-form text variable of no text");
    } else {
      releaseText(id);
    }
  } else if (kind == 30) {
    void* handle = loadPointer(variable, 6);
    HandleRec* rec = handle ? findHandle(handle) : nullptr;
    if (handle && (!rec || !rec->live)) fault(where + ": a BLOB variable of no live handle");
    if (rec && rec->live) releaseHandle(static_cast<char**>(handle));
  } else if (kind == 38) {
    uint64_t ref = layout::load<uint64_t>(variable, kVariableValue);
    auto object = objects.find(ref);
    if (ref && (object == objects.end() || !object->second.live)) {
      fault(where + ": an object variable of no live object");
    } else if (ref) {
      object->second.live = false;
    }
  } else if (elementSize(kind) != 0) {
    releaseArrayElements(kind, variable, where);
  }
  store<int8_t>(variable, kVariableKind, 5);
  store<uint8_t>(variable, 1, 0);
}

// ---- What an address is --------------------------------------------------------------------

namespace {

bool holds(const Block& block, const unsigned char* address) {
  const auto* map = static_cast<const unsigned char*>(block.map);
  return map && address >= map && address < map + block.mapSize;
}

// Where an address lies in a value of `size` bytes (or units) that starts at offset 0.
std::string placeIn(ptrdiff_t offset, size_t size, const std::string& name) {
  const std::string at =
      "offset " + std::to_string(offset) + " of " + name + " (" + std::to_string(size) + " bytes)";
  if (offset < 0) return at + ", before its start";
  if (static_cast<size_t>(offset) >= size) return at + ", past its end";
  return at;
}

}  // namespace

std::string Emulator::Impl::nameOfHandle(void* handle, const HandleRec& rec) const {
  for (const Frame::Impl* frame : frames) {
    if (std::optional<std::string> name = frame->nameOfHandle(handle)) return *name;
  }
  return "a handle (made at " + rec.origin + ")";
}

std::string Emulator::Impl::nameOfText(uint64_t id, const TextRec& rec) const {
  for (const Frame::Impl* frame : frames) {
    if (std::optional<std::string> name = frame->nameOfText(id)) return "the units of " + *name;
  }
  return "the units of a text (made at " + rec.origin + ")";
}

// A disposed handle's master pointer points at its dead slot: the most recently disposed handle
// whose master pointer still holds that address is the one.
std::string Emulator::Impl::describeDisposed(int64_t slot, const void* address) const {
  const auto* dead = static_cast<const unsigned char*>(memory.deadSlot(static_cast<size_t>(slot)));
  const ptrdiff_t offset = static_cast<const unsigned char*>(address) - dead;
  for (size_t k = releasedHandles.size(); k-- > 0;) {
    char** handle = releasedHandles[(nextReleasedHandle + k) % releasedHandles.size()];
    if (!handle || static_cast<const void*>(*handle) != dead) continue;
    auto found = handles.find(handle);
    if (found == handles.end()) break;
    return "offset " + std::to_string(offset) +
           " of the bytes of a handle disposed of at host call " +
           std::to_string(found->second.releasedAt) + " (made at " + found->second.origin +
           "): its master pointer was used after the dispose";
  }
  return "offset " + std::to_string(offset) +
         " of the bytes of a disposed handle: its master pointer was used after the dispose";
}

std::string Emulator::Impl::describeOldPlace(const OldPlace& place) const {
  const std::string when = " at host call " + std::to_string(place.when);
  if (place.tag == kCellsTag) {
    return "the parameter cells of a command that had ended" + when +
           ": the address of a cell was kept past its command";
  }
  if (place.tag & kTextTag) {
    auto found = texts.find(place.tag & ~kTextTag);
    std::string name = found == texts.end()
                           ? std::string("the units of a text")
                           : "the units of a text (made at " + found->second.origin + ")";
    if (place.why == Left::Released)
      return placeIn(place.offset, place.size, name) + ", released" + when;
    return placeIn(place.offset, place.size, name) + " before its change" + when +
           ": the units' address was kept across the change (every change gives fresh units)";
  }
  auto found = handles.find(reinterpret_cast<char**>(place.tag));
  std::string name = found == handles.end() ? std::string("a handle")
                                            : "a handle (made at " + found->second.origin + ")";
  const std::string at = placeIn(place.offset, place.size, "the old place of " + name);
  switch (place.why) {
    case Left::Released:
      return placeIn(place.offset, place.size, "the bytes of " + name) + ", disposed of" + when;
    case Left::Resized:
      return at + ", which was resized" + when + ": its address was kept across the resize";
    case Left::Moved:
      break;
  }
  return at + ", which moved" + when +
         ": its address was kept across a host call (an unlocked handle moves at every one and at "
         "its last unlock; lock it while its address is kept)";
}

std::string Emulator::Impl::describeAddress(const void* address) {
  const auto* a = static_cast<const unsigned char*>(address);
  if (reinterpret_cast<uintptr_t>(a) < 4096) {
    return "a null pointer (a handle, text or result that was never made, or the answer of a host "
           "call that failed)";
  }
  const auto* noAccess = static_cast<const unsigned char*>(memory.noAccessPage());
  if (a >= noAccess && a < noAccess + 4096) {
    return "the inaccessible page that the host passes for the parameters past the declared ones "
           "and for the data pointer: a parameter that the command does not declare was used";
  }
  if (int64_t slot = memory.deadSlotOf(a); slot >= 0) return describeDisposed(slot, a);
  for (char** handle : liveHandles) {
    const HandleRec& rec = handles.at(handle);
    if (holds(rec.block, a)) {
      return placeIn(a - rec.block.data, rec.block.size, nameOfHandle(handle, rec));
    }
  }
  for (uint64_t id : liveTexts) {
    const TextRec& rec = texts.at(id);
    if (holds(rec.units, a))
      return placeIn(a - rec.units.data, rec.units.size, nameOfText(id, rec));
  }
  for (const Frame::Impl* frame : frames) {
    if (std::optional<std::string> cell = frame->describe(a)) return *cell;
  }
  OldPlace place;
  if (memory.oldPlaceOf(a, place)) return describeOldPlace(place);
  return "an address the host never gave out (the plug-in's own memory, or a pointer gone wrong)";
}

}  // namespace host
