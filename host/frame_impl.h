// A parameter frame: the cells of one call in the host's memory, the parameter array that
// points at them and the result area, with what the host needs to read them back, to see a
// write to an "in" cell, and to release everything it made or was handed.
#pragma once

#include "emulator_impl.h"

namespace host {

struct Frame::Impl {
  Impl(Emulator::Impl& emu, std::vector<ParamSpec> specs, Kind result, std::string name);
  ~Impl();

  // Builds the cells from the arguments; throws std::invalid_argument for a wrong kind and
  // ArgumentNotMade when the host has no memory for an argument's text, handle or storage.
  void build(const std::vector<Value>& args);
  // The value of parameter index (1-based) now; what the plug-in made and left there becomes
  // the host's.
  Value read(size_t index);
  Value readResult();
  // What read does to the objects of parameter index, without making its value when it is a
  // text.
  void claim(size_t index);
  // The same for the result.
  void claimResult();
  // Checks the guards and the "in" cells, takes over what the cells hold, releases it all.
  void settle();
  // Faults for every handle that the command's process locked and left locked, naming the
  // parameter whose handle it is; unlocks them.
  void checkLocksLeft(int process);
  // What a crash names: the parameter whose handle or text this is, or what of the cells an
  // address is; nothing when the frame has none of them.
  std::optional<std::string> nameOfHandle(const void* handle) const;
  std::optional<std::string> nameOfText(uint64_t id) const;
  std::optional<std::string> describe(const unsigned char* address) const;

  Emulator::Impl& emu;
  std::vector<ParamSpec> specs;
  Kind resultKind;
  std::string name;
  Block array;
  std::vector<Block> cells;
  std::vector<Bytes> snapshots;  // of the "in" cells and what they reach
  Block resultArea;
  Block resultRecord;
  Block group;  // strict mode: the one mapping that holds array, cells and result blocks
  std::vector<ObjectRef> owned;
  // The handle each BLOB cell held when it was built (null for other cells and for a BLOB
  // without handle), to see one replaced without being disposed of or handed over.
  std::vector<void*> builtHandles;
  // The handle or picture the result handed over: reading the result again is no aliasing.
  uint64_t resultTaken = 0;
  // A command's frame (Emulator::call and start), whose result the command must write; a frame
  // that a test builds by hand for the PA_ wrappers need not be given one.
  bool command = false;
  bool built = false;  // every cell made: a build that threw has nothing to read back
  bool settled = false;

 private:
  void buildCell(size_t index, const Value& value);
  void buildArray(unsigned char* cell, const ParamSpec& spec, const Value& value,
                  const std::string& where);
  // A text or handle the host makes for an argument (or the result), owned by the frame; throws
  // ArgumentNotMade naming `where` when it cannot be made.
  uint64_t argumentText(const Text& text, const std::string& where);
  char** argumentHandle(size_t size, const void* bytes, const std::string& where);
  Bytes snapshot(size_t index);
  void verify();
  TextRec* claimText(const unsigned char* record, const std::string& where);
  Text readText(const unsigned char* record, const std::string& where);
  // asResult: the value is the result, which must not be the host's own (a parameter's).
  Picture readPicture(uint64_t ref, const std::string& where, bool asResult = false);
  Blob readBlob(void* handle, const std::string& where, bool asResult = false);
  bool aliasesHostObject(bool asResult, Owner owner, uint64_t ref, const std::string& where);
  void checkReplacedHandles();
  void checkTextsInOnePlace();
  std::optional<std::string> ownerOfHandle(const void* handle) const;
  void checkResultWidth();
  void checkResultWritten();
  Value readArray(const unsigned char* cell, const std::string& where);
  void takeOver(ObjectRef ref);
  std::string where(size_t index) const;
  std::string parameterName(size_t index) const;
};

// The cell size of a parameter kind.
size_t cellSize(Kind kind);

}  // namespace host
