#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "frame_impl.h"
#include "layout.h"

namespace host {

using namespace layout;

namespace {

// Undeclared parameters read past the declared ones land on an inaccessible page.
constexpr size_t kTrailingSlots = 8;

bool isArray(Kind kind) {
  return kind == Kind::IntegerArray || kind == Kind::LongintArray || kind == Kind::TextArray;
}

[[noreturn]] void wrongKind(const ParamSpec& spec) {
  throw std::invalid_argument("parameter " + spec.name + " takes a value of kind " +
                              kindName(spec.kind));
}

int64_t numberOf(const ParamSpec& spec, const Value& value) {
  if (std::holds_alternative<std::monostate>(value)) return 0;
  if (!std::holds_alternative<int64_t>(value)) wrongKind(spec);
  return std::get<int64_t>(value);
}

template <typename T>
const T& valueOf(const ParamSpec& spec, const Value& value, const T& empty) {
  if (std::holds_alternative<std::monostate>(value)) return empty;
  if (!std::holds_alternative<T>(value)) wrongKind(spec);
  return std::get<T>(value);
}

}  // namespace

size_t cellSize(Kind kind) {
  switch (kind) {
    case Kind::Integer:
      return 2;
    case Kind::Longint:
    case Kind::Time:
      return 4;
    case Kind::Date:
      return kDateSize;
    case Kind::Text:
      return kTextSize;
    case Kind::Picture:
    case Kind::Blob:
      return 8;
    case Kind::IntegerArray:
    case Kind::LongintArray:
    case Kind::TextArray:
      return kVariableSize;
    case Kind::None:
      return 0;
  }
  return 0;
}

Frame::Impl::Impl(Emulator::Impl& e, std::vector<ParamSpec> s, Kind result, std::string n)
    : emu(e), specs(std::move(s)), resultKind(result), name(std::move(n)) {}

Frame::Impl::~Impl() { settle(); }

std::string Frame::Impl::parameterName(size_t index) const {
  return "parameter " + std::to_string(index) + " (" + specs[index - 1].name + ")";
}

std::string Frame::Impl::where(size_t index) const { return name + " " + parameterName(index); }

void Frame::Impl::build(const std::vector<Value>& args) {
  if (args.size() > specs.size()) {
    throw std::invalid_argument(name + " takes " + std::to_string(specs.size()) + " parameters");
  }
  std::lock_guard<std::recursive_mutex> lock(emu.state);
  size_t slots = specs.size() + kTrailingSlots;
  // The parameter array, the cells, the result area and the result record, in this order.
  std::vector<size_t> sizes{slots * sizeof(void*)};
  for (const ParamSpec& spec : specs) sizes.push_back(cellSize(spec.kind));
  sizes.push_back(8);
  if (resultKind == Kind::Text) sizes.push_back(kTextSize);
  std::vector<Block> blocks = emu.memory.allocateGroup(sizes, 0, group);
  group.tag = kCellsTag;
  emu.frames.insert(this);
  array = blocks[0];
  cells.assign(blocks.begin() + 1, blocks.begin() + 1 + specs.size());
  resultArea = blocks[1 + specs.size()];
  if (resultKind == Kind::Text) resultRecord = blocks.back();
  snapshots.resize(specs.size());
  builtHandles.assign(specs.size(), nullptr);
  for (const Block& b : blocks) {
    if (!b) throw std::bad_alloc();  // settle() releases what was made
  }
  for (size_t i = 0; i < slots; ++i) {
    store<void*>(array.data, i * sizeof(void*), emu.memory.noAccessPage());
  }
  for (size_t i = 0; i < specs.size(); ++i) {
    buildCell(i, i < args.size() ? args[i] : Value{});
    store<void*>(array.data, i * sizeof(void*), cells[i].data);
  }
  if (resultKind == Kind::Text) {
    uint64_t id = argumentText(Text(), name + " result");
    emu.writeTextRecord(resultRecord.data, id);
    store<void*>(resultArea.data, 0, resultRecord.data);
  } else if (resultKind == Kind::Longint || resultKind == Kind::None) {
    store<uint64_t>(resultArea.data, 0, emu.options.resultSentinel);
  }
  // The realistic mode does not watch the "in" cells: a snapshot copies every text and BLOB.
  for (size_t i = 0; i < specs.size() && emu.options.strict; ++i) {
    if (specs[i].direction == Direction::In) snapshots[i] = snapshot(i + 1);
  }
  built = true;
}

// A call whose argument the host cannot make does not happen: a host without the memory for a
// parameter reports it instead of passing an empty value in its place.
uint64_t Frame::Impl::argumentText(const Text& text, const std::string& at) {
  uint64_t id =
      emu.refused(Refusal::Argument) ? 0 : emu.makeText(text.data(), text.size(), Owner::Host);
  if (id == 0) {
    throw ArgumentNotMade(at + ": the host has no memory for a text of " +
                          std::to_string(text.size()) + " units; the command was not called");
  }
  owned.push_back({ObjectRef::Type::Text, id});
  return id;
}

char** Frame::Impl::argumentHandle(size_t size, const void* bytes, const std::string& at) {
  char** handle =
      emu.refused(Refusal::Argument) ? nullptr : emu.makeHandle(size, Owner::Host, bytes);
  if (!handle) {
    throw ArgumentNotMade(at + ": the host has no memory for a handle of " + std::to_string(size) +
                          " bytes; the command was not called");
  }
  owned.push_back({ObjectRef::Type::Handle, reinterpret_cast<uint64_t>(handle)});
  return handle;
}

void Frame::Impl::buildCell(size_t i, const Value& value) {
  const ParamSpec& spec = specs[i];
  unsigned char* cell = cells[i].data;
  switch (spec.kind) {
    case Kind::Integer:
      store<int16_t>(cell, 0, static_cast<int16_t>(numberOf(spec, value)));
      break;
    case Kind::Longint:
    case Kind::Time:
      store<int32_t>(cell, 0, static_cast<int32_t>(numberOf(spec, value)));
      break;
    case Kind::Date: {
      const Date d = valueOf(spec, value, Date{});
      store<int16_t>(cell, 0, d.day);
      store<int16_t>(cell, 2, d.month);
      store<int16_t>(cell, 4, d.year);
      break;
    }
    case Kind::Text: {
      static const Text kNoText;
      uint64_t id = argumentText(valueOf(spec, value, kNoText), where(i + 1));
      emu.writeTextRecord(cell, id);
      break;
    }
    case Kind::Picture: {
      static const Picture kNoPicture{true, {}};
      const Picture& p = valueOf(spec, value, kNoPicture);
      if (p.null) break;
      uint64_t ref = emu.makePicture(p, Owner::Host);
      owned.push_back({ObjectRef::Type::Picture, ref});
      store<uint64_t>(cell, 0, ref);
      break;
    }
    case Kind::Blob: {
      static const Blob kNoBlob{false, {}};
      const Blob& b = valueOf(spec, value, kNoBlob);
      if (!b.hasHandle) break;
      char** handle = argumentHandle(b.bytes.size(), b.bytes.data(), where(i + 1));
      store<void*>(cell, 0, handle);
      builtHandles[i] = handle;
      break;
    }
    default:
      buildArray(cell, spec, value, where(i + 1));
      break;
  }
}

void Frame::Impl::buildArray(unsigned char* cell, const ParamSpec& spec, const Value& value,
                             const std::string& at) {
  int8_t kind = spec.kind == Kind::TextArray ? 34 : spec.kind == Kind::IntegerArray ? 15 : 16;
  std::vector<int64_t> numbers{0};
  std::vector<Text> texts{Text()};
  if (std::holds_alternative<IntegerArray>(value) && spec.kind != Kind::TextArray) {
    kind = 15;  // either number array may stand for the other, as 4D lets the caller choose
    const auto& e = std::get<IntegerArray>(value).elements;
    numbers.assign(e.begin(), e.end());
  } else if (std::holds_alternative<LongintArray>(value) && spec.kind != Kind::TextArray) {
    kind = 16;
    const auto& e = std::get<LongintArray>(value).elements;
    numbers.assign(e.begin(), e.end());
  } else if (std::holds_alternative<TextArray>(value) && spec.kind == Kind::TextArray) {
    texts = std::get<TextArray>(value).elements;
  } else if (!std::holds_alternative<std::monostate>(value)) {
    wrongKind(spec);
  }
  if (numbers.empty()) numbers.push_back(0);
  if (texts.empty()) texts.push_back(Text());
  size_t count = kind == 34 ? texts.size() : numbers.size();
  size_t element = kind == 34 ? kTextSize : kind == 15 ? 2 : 4;
  char** storage = argumentHandle(count * element, nullptr, at + " storage");
  unsigned char* data = reinterpret_cast<unsigned char*>(*storage);
  for (size_t i = 0; i < count; ++i) {
    if (kind == 15) {
      store<int16_t>(data, i * 2, static_cast<int16_t>(numbers[i]));
    } else if (kind == 16) {
      store<int32_t>(data, i * 4, static_cast<int32_t>(numbers[i]));
    } else {
      uint64_t id = argumentText(texts[i], at + " element " + std::to_string(i));
      emu.writeTextRecord(data + i * kTextSize, id);
    }
  }
  store<int8_t>(cell, kVariableKind, kind);
  store<int32_t>(cell, kArrayCount, static_cast<int32_t>(count - 1));
  store<void*>(cell, kArrayStorage, storage);
  store<int16_t>(cell, kArrayCurrent, 0);
}

namespace {

// A digest of bytes: their count and a 64-bit hash, read 8 bytes at a time, so that a snapshot
// of a large text or BLOB costs one pass over it and no copy.
void appendDigest(Bytes& out, const unsigned char* data, size_t size) {
  uint64_t hash = 0x9E3779B97F4A7C15ull ^ size;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t word;
    std::memcpy(&word, data + i, 8);
    hash = (hash ^ word) * 0x100000001B3ull;
    hash ^= hash >> 29;
  }
  uint64_t tail = 0;
  if (i < size) std::memcpy(&tail, data + i, size - i);
  hash = (hash ^ tail) * 0xFF51AFD7ED558CCDull;
  hash ^= hash >> 32;
  out.append(reinterpret_cast<const char*>(&size), sizeof size);
  out.append(reinterpret_cast<const char*>(&hash), sizeof hash);
}

}  // namespace

// The cell's bytes and a digest of the bytes it reaches (text units, BLOB bytes, array
// storage), read through the registries only, so that a trampled cell cannot crash the host.
Bytes Frame::Impl::snapshot(size_t index) {
  const Block& cell = cells[index - 1];
  Bytes bytes(reinterpret_cast<const char*>(cell.data), cell.size);
  Kind kind = specs[index - 1].kind;
  if (kind == Kind::Text) {
    uint64_t id = layout::load<uint32_t>(cell.data, kTextId);
    auto found = emu.texts.find(id);
    if (found != emu.texts.end() && found->second.live) {
      const TextRec& rec = found->second;
      appendDigest(bytes, rec.units.data, static_cast<size_t>(rec.length) * 2);
    }
  } else if (kind == Kind::Blob || isArray(kind)) {
    void* handle = loadPointer(cell.data, isArray(kind) ? kArrayStorage : 0);
    auto found = emu.handles.find(static_cast<char**>(handle));
    if (found != emu.handles.end() && found->second.live) {
      const Block& block = found->second.block;
      appendDigest(bytes, block.data, block.size);
    }
  }
  return bytes;
}

void Frame::Impl::verify() {
  if (!emu.memory.guardIntact(array))
    emu.fault(name + ": the parameter array's guard bytes were overwritten");
  for (size_t i = 1; i <= cells.size(); ++i) {
    if (!emu.memory.guardIntact(cells[i - 1])) {
      emu.fault(where(i) + ": a write past the end of the cell");
    }
    if (emu.options.strict && specs[i - 1].direction == Direction::In &&
        snapshot(i) != snapshots[i - 1]) {
      emu.fault(where(i) + ": an \"in\" parameter was changed");
    }
  }
  if (!emu.memory.guardIntact(resultArea) || !emu.memory.guardIntact(resultRecord)) {
    emu.fault(name + ": a write past the end of the result area");
  }
  if (resultKind == Kind::None &&
      layout::load<uint64_t>(resultArea.data, 0) != emu.options.resultSentinel) {
    emu.fault(name + ": the result area of a command without result was written");
  }
  if (emu.options.strict) {
    checkReplacedHandles();
    checkResultWidth();
    checkResultWritten();
  }
  checkTextsInOnePlace();
}

// A longint result is 8 bytes, the value sign-extended: a 4-byte write leaves half of the
// sentinel, which is no sign extension of the other half whatever the value.
void Frame::Impl::checkResultWidth() {
  if (resultKind != Kind::Longint) return;
  const int64_t value = layout::load<int64_t>(resultArea.data, 0);
  if (static_cast<uint64_t>(value) != emu.options.resultSentinel &&
      value != static_cast<int64_t>(static_cast<int32_t>(value))) {
    emu.fault(name +
              ": the longint result was not written as 8 bytes, sign-extended (only its "
              "low 4 bytes?)");
  }
}

// Every longint command answers something: one that leaves the area as the host set it gives
// 4D whatever the area held, which a test sees only where it compares the value. A sentinel that
// a longint could be (a sign-extended 32-bit value) tells nothing, so it is not looked at.
void Frame::Impl::checkResultWritten() {
  const uint64_t sentinel = emu.options.resultSentinel;
  const bool tellsNothing =
      static_cast<int64_t>(sentinel) ==
      static_cast<int64_t>(static_cast<int32_t>(static_cast<int64_t>(sentinel)));
  if (!command || resultKind != Kind::Longint || tellsNothing) return;
  if (layout::load<uint64_t>(resultArea.data, 0) == sentinel) {
    emu.fault(name +
              ": the longint result was never written (the result area still holds what "
              "the host put there)");
  }
}

// A handle stored over a BLOB cell's own handle leaves that one nowhere: the host would lose
// it. The old handle must have been handed over (left in another BLOB cell or the result).
void Frame::Impl::checkReplacedHandles() {
  for (size_t i = 0; i < specs.size(); ++i) {
    void* built = builtHandles[i];
    if (!built || loadPointer(cells[i].data, 0) == built) continue;
    bool handedOver = resultKind == Kind::Blob && loadPointer(resultArea.data, 0) == built;
    for (size_t j = 0; j < specs.size() && !handedOver; ++j) {
      handedOver = specs[j].kind == Kind::Blob && loadPointer(cells[j].data, 0) == built;
    }
    HandleRec* rec = emu.findHandle(built);
    if (!handedOver && rec && rec->live) {
      emu.fault(where(i + 1) +
                ": a new handle was stored over the cell's handle, which was neither disposed of "
                "nor handed over");
    }
  }
}

void Frame::Impl::takeOver(ObjectRef ref) { owned.push_back(ref); }

TextRec* Frame::Impl::claimText(const unsigned char* record, const std::string& at) {
  std::optional<uint64_t> id = emu.textOfRecord(record, at);
  if (!id || *id == 0) return nullptr;
  TextRec& rec = *emu.findText(*id);
  if (rec.owner == Owner::Plugin) {
    rec.owner = Owner::Host;
    takeOver({ObjectRef::Type::Text, *id});
  }
  return &rec;
}

Text Frame::Impl::readText(const unsigned char* record, const std::string& at) {
  TextRec* rec = claimText(record, at);
  return rec ? emu.textValue(*rec) : Text();
}

void Frame::Impl::claim(size_t index) {
  if (specs[index - 1].kind != Kind::Text) {
    read(index);
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(emu.state);
  claimText(cells[index - 1].data, where(index));
}

// The result is something the plug-in hands over: the host's own object there (a parameter's
// handle or picture, or one already handed over in a cell) would then have two owners.
bool Frame::Impl::aliasesHostObject(bool asResult, Owner owner, uint64_t ref,
                                    const std::string& at) {
  if (!asResult || owner != Owner::Host || ref == resultTaken) return false;
  emu.fault(at +
            ": the result is an object the host already owns (a parameter's own, or one "
            "handed over in a cell)");
  return true;
}

Picture Frame::Impl::readPicture(uint64_t ref, const std::string& at, bool asResult) {
  if (ref == 0) return Picture{true, {}};
  PictureRec* rec = emu.findPicture(ref);
  if (!rec || !rec->live) {
    emu.fault(at + ": no live picture");
    return Picture{true, {}};
  }
  aliasesHostObject(asResult, rec->owner, ref, at);
  if (asResult) resultTaken = ref;
  if (rec->owner == Owner::Plugin) {
    rec->owner = Owner::Host;
    takeOver({ObjectRef::Type::Picture, ref});
  }
  return rec->value;
}

Blob Frame::Impl::readBlob(void* handle, const std::string& at, bool asResult) {
  if (!handle) return Blob{false, {}};
  HandleRec* rec = emu.findHandle(handle);
  if (!rec || !rec->live) {
    emu.fault(at + ": no live handle");
    return Blob{true, {}};
  }
  const uint64_t ref = reinterpret_cast<uint64_t>(handle);
  aliasesHostObject(asResult, rec->owner, ref, at);
  if (asResult) resultTaken = ref;
  if (rec->owner == Owner::Plugin) {
    rec->owner = Owner::Host;
    takeOver({ObjectRef::Type::Handle, reinterpret_cast<uint64_t>(handle)});
  }
  return Blob{true, emu.handleBytes(*rec)};
}

// Every text record in the cells, the arrays' elements and the result owns its text: a text in
// two places (a parameter's record handed back as the result, one text in two elements) would
// have its units released twice by the host.
void Frame::Impl::checkTextsInOnePlace() {
  // A parameter (0: the result) and, in an array, an element: named only for a fault.
  struct Place {
    size_t parameter;
    size_t element;
    bool inArray;
  };
  auto nameOf = [&](const Place& p) {
    if (p.parameter == 0) return name + " result";
    return where(p.parameter) + (p.inArray ? " element " + std::to_string(p.element) : "");
  };
  std::unordered_map<uint32_t, Place> seen;
  auto note = [&](const unsigned char* record, Place place) {
    if (layout::load<uint32_t>(record, kTextMagic) != kTextMagicValue) return;
    auto [first, fresh] = seen.emplace(layout::load<uint32_t>(record, kTextId), place);
    if (fresh) return;
    const Place& before = first->second;
    if (place.inArray && before.inArray && place.parameter == before.parameter) {
      emu.fault(where(place.parameter) + ": elements " + std::to_string(before.element) + " and " +
                std::to_string(place.element) + " hold one text");
    } else {
      emu.fault(nameOf(before) + " and " + nameOf(place) + " hold one text");
    }
  };
  for (size_t i = 1; i <= specs.size(); ++i) {
    const unsigned char* cell = cells[i - 1].data;
    if (specs[i - 1].kind == Kind::Text) note(cell, {i, 0, false});
    if (specs[i - 1].kind != Kind::TextArray || layout::load<int8_t>(cell, kVariableKind) != 34) {
      continue;
    }
    auto storage = emu.handles.find(static_cast<char**>(loadPointer(cell, kArrayStorage)));
    int32_t count = layout::load<int32_t>(cell, kArrayCount);
    if (storage == emu.handles.end() || !storage->second.live || count < 0) continue;
    const Block& block = storage->second.block;
    size_t elements = std::min(block.size / kTextSize, static_cast<size_t>(count) + 1);
    for (size_t e = 0; e < elements; ++e) note(block.data + e * kTextSize, {i, e, true});
  }
  if (resultKind == Kind::Text && loadPointer(resultArea.data, 0) == resultRecord.data) {
    note(resultRecord.data, {0, 0, false});
  }
}

// A command ends with every handle it locked unlocked again. The BLOB cells' handles are the
// host's and go when the frame settles: this runs before, so that one left locked is seen.
void Frame::Impl::checkLocksLeft(int process) {
  std::lock_guard<std::recursive_mutex> lock(emu.state);
  for (char** handle : emu.liveHandles) {
    HandleRec& rec = emu.handles.at(handle);
    if (rec.locks == 0 || rec.lockProcess != process) continue;
    std::optional<std::string> owner = ownerOfHandle(handle);
    emu.fault(name + ": " + (owner ? *owner : "a handle (made at " + rec.origin + ")") +
              " is still locked at the end of the command");
    rec.locks = 0;
  }
}

std::optional<std::string> Frame::Impl::ownerOfHandle(const void* handle) const {
  for (size_t i = 1; i <= specs.size(); ++i) {
    const unsigned char* cell = cells[i - 1].data;
    if (specs[i - 1].kind == Kind::Blob && loadPointer(cell, 0) == handle) {
      return "the handle of " + parameterName(i);
    }
    if (isArray(specs[i - 1].kind) && loadPointer(cell, kArrayStorage) == handle) {
      return "the storage of " + parameterName(i);
    }
  }
  if (resultKind == Kind::Blob && loadPointer(resultArea.data, 0) == handle) {
    return std::string("the handle of the result");
  }
  return std::nullopt;
}

std::optional<std::string> Frame::Impl::nameOfHandle(const void* handle) const {
  std::optional<std::string> owner = ownerOfHandle(handle);
  if (owner) return *owner + " of " + name;
  return owner;
}

std::optional<std::string> Frame::Impl::nameOfText(uint64_t id) const {
  auto names = [&](const unsigned char* record) {
    return layout::load<uint32_t>(record, kTextMagic) == kTextMagicValue &&
           layout::load<uint32_t>(record, kTextId) == id;
  };
  for (size_t i = 1; i <= specs.size(); ++i) {
    if (specs[i - 1].kind == Kind::Text && names(cells[i - 1].data)) {
      return "the text of " + where(i);
    }
  }
  if (resultKind == Kind::Text && names(resultRecord.data)) return "the result text of " + name;
  return std::nullopt;
}

std::optional<std::string> Frame::Impl::describe(const unsigned char* address) const {
  const auto* begin = static_cast<const unsigned char*>(group.map);
  if (!begin || address < begin || address >= begin + group.mapSize) return std::nullopt;
  auto in = [&](const Block& b) {
    return address >= b.data && address < b.data + b.size + b.guard;
  };
  auto offset = [&](const Block& b) {
    return "offset " + std::to_string(address - b.data) + " of ";
  };
  for (size_t i = 1; i <= cells.size(); ++i) {
    if (in(cells[i - 1])) return offset(cells[i - 1]) + "the cell of " + where(i);
  }
  if (in(array)) return offset(array) + "the parameter array of " + name;
  if (in(resultArea) || in(resultRecord)) return "the result area of " + name;
  return "the parameter cells of " + name;
}

Value Frame::Impl::readArray(const unsigned char* cell, const std::string& at) {
  int8_t kind = layout::load<int8_t>(cell, kVariableKind);
  int32_t count = layout::load<int32_t>(cell, kArrayCount);
  void* storage = loadPointer(cell, kArrayStorage);
  size_t element = kind == 34 ? kTextSize : kind == 15 ? 2 : 4;
  if ((kind != 15 && kind != 16 && kind != 34) || count < 0) {
    emu.fault(at + ": no integer, longint or text array any more");
    return Value{};
  }
  HandleRec* rec = storage ? emu.findHandle(storage) : nullptr;
  if (!rec || !rec->live) {
    emu.fault(at + ": an array without live storage");
    return Value{};
  }
  size_t elements = static_cast<size_t>(count) + 1;
  if (rec->block.size < elements * element) {
    emu.fault(at + ": an array's storage holds fewer than count + 1 elements");
    elements = rec->block.size / element;
  }
  const unsigned char* data = rec->block.data;
  if (kind == 15) {
    IntegerArray a;
    a.elements.clear();
    for (size_t i = 0; i < elements; ++i) a.elements.push_back(layout::load<int16_t>(data, i * 2));
    return a;
  }
  if (kind == 16) {
    LongintArray a;
    a.elements.clear();
    for (size_t i = 0; i < elements; ++i) a.elements.push_back(layout::load<int32_t>(data, i * 4));
    return a;
  }
  TextArray a;
  a.elements.clear();
  for (size_t i = 0; i < elements; ++i) {
    a.elements.push_back(readText(data + i * kTextSize, at + " element " + std::to_string(i)));
  }
  return a;
}

Value Frame::Impl::read(size_t index) {
  if (index < 1 || index > specs.size() || settled) {
    throw std::out_of_range(name + " has no parameter " + std::to_string(index) + " to read");
  }
  std::lock_guard<std::recursive_mutex> lock(emu.state);
  const unsigned char* cell = cells[index - 1].data;
  std::string at = where(index);
  switch (specs[index - 1].kind) {
    case Kind::Integer:
      return int64_t{layout::load<int16_t>(cell, 0)};
    case Kind::Longint:
    case Kind::Time:
      return int64_t{layout::load<int32_t>(cell, 0)};
    case Kind::Date:
      return Date{layout::load<int16_t>(cell, 0), layout::load<int16_t>(cell, 2),
                  layout::load<int16_t>(cell, 4)};
    case Kind::Text:
      return readText(cell, at);
    case Kind::Picture:
      return readPicture(layout::load<uint64_t>(cell, 0), at);
    case Kind::Blob:
      return readBlob(loadPointer(cell, 0), at);
    default:
      return readArray(cell, at);
  }
}

Value Frame::Impl::readResult() {
  if (settled) throw std::out_of_range(name + ": the frame is settled");
  std::lock_guard<std::recursive_mutex> lock(emu.state);
  std::string at = name + " result";
  switch (resultKind) {
    case Kind::None:
      return Value{};
    case Kind::Text: {
      if (loadPointer(resultArea.data, 0) != resultRecord.data) {
        emu.fault(at + ": the result area no longer points at the host's text record");
        return Text();
      }
      return readText(resultRecord.data, at);
    }
    case Kind::Picture:
      return readPicture(layout::load<uint64_t>(resultArea.data, 0), at, true);
    case Kind::Blob:
      return readBlob(loadPointer(resultArea.data, 0), at, true);
    default:
      return layout::load<int64_t>(resultArea.data, 0);
  }
}

void Frame::Impl::claimResult() {
  if (resultKind != Kind::Text) {
    readResult();
    return;
  }
  std::lock_guard<std::recursive_mutex> lock(emu.state);
  std::string at = name + " result";
  if (loadPointer(resultArea.data, 0) != resultRecord.data) {
    emu.fault(at + ": the result area no longer points at the host's text record");
    return;
  }
  claimText(resultRecord.data, at);
}

void Frame::Impl::settle() {
  if (settled) return;
  std::lock_guard<std::recursive_mutex> lock(emu.state);
  if (built) {
    verify();
    for (size_t i = 1; i <= specs.size(); ++i) claim(i);
    claimResult();
  }
  settled = true;
  emu.frames.erase(this);
  for (const ObjectRef& ref : owned) emu.releaseRef(ref);
  owned.clear();
  std::vector<Block*> blocks{&array, &resultArea, &resultRecord};
  for (Block& cell : cells) blocks.push_back(&cell);
  emu.memory.releaseGroup(group, blocks);
}

// ---- Frame ----------------------------------------------------------------------------------

Frame::Frame(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Frame::~Frame() = default;
Frame::Frame(Frame&&) noexcept = default;
Frame& Frame::operator=(Frame&&) noexcept = default;
void** Frame::parameters() { return reinterpret_cast<void**>(impl_->array.data); }
void* Frame::result() { return impl_->resultArea.data; }
Value Frame::param(size_t index) const { return impl_->read(index); }
Value Frame::resultValue() const { return impl_->readResult(); }

}  // namespace host
