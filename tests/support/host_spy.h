// Records the host calls the plug-in makes while a HostSpy lives, then hands each call on to the
// emulator unchanged. It shows what the emulator cannot: the fields the plug-in filled in (the
// capacity a conversion tells the host, the size a new handle asks for).
#pragma once

#include <cstdint>
#include <vector>

#include "4DPluginAPI.h"

namespace zuvtest {

// The fields of a block, copied out of its packed layout so that tests can compare them.
struct BlockFields {
  explicit BlockFields(const HostCallBlock& block)
      : param1(block.param1),
        param2(block.param2),
        param3(block.param3),
        param4(block.param4),
        pointer1(block.pointer1),
        pointer2(block.pointer2),
        handle(block.handle),
        error(block.error) {}
  int64_t param1;
  int64_t param2;
  int64_t param3;
  int64_t param4;
  void* pointer1;
  void* pointer2;
  void* handle;
  int16_t error;
};

struct RecordedCall {
  int32_t entry;
  BlockFields in;   // the block as the plug-in handed it over
  BlockFields out;  // and as the host gave it back
};

// One spy at a time; the plug-in must have been started (gCall4D set).
class HostSpy {
 public:
  HostSpy() {
    sCalls().clear();
    sReal() = gCall4D;
    gCall4D = &record;
  }
  ~HostSpy() { gCall4D = sReal(); }
  HostSpy(const HostSpy&) = delete;
  HostSpy& operator=(const HostSpy&) = delete;

  // The calls of one entry, in order; for -434 only those of the given sub-operation.
  std::vector<RecordedCall> calls(int32_t entry, int64_t subOperation = 0) const {
    std::vector<RecordedCall> found;
    for (const RecordedCall& call : sCalls()) {
      if (call.entry != entry) continue;
      if (subOperation != 0 && call.in.param1 != subOperation) continue;
      found.push_back(call);
    }
    return found;
  }
  size_t count(int32_t entry, int64_t subOperation = 0) const {
    return calls(entry, subOperation).size();
  }
  void clear() { sCalls().clear(); }

 private:
  static void record(int32_t entry, HostCallBlock* block) {
    const BlockFields in(*block);
    sReal()(entry, block);
    sCalls().push_back(RecordedCall{entry, in, BlockFields(*block)});
  }
  static std::vector<RecordedCall>& sCalls() {
    static std::vector<RecordedCall> calls;
    return calls;
  }
  static HostCallback& sReal() {
    static HostCallback real = nullptr;
    return real;
  }
};

// Sub-operations of the handle entry.
constexpr int32_t kHandleEntry = -434;
constexpr int64_t kNewHandleOp = 1;
constexpr int64_t kDisposeHandleOp = 2;
constexpr int64_t kSetHandleSizeOp = 3;

}  // namespace zuvtest
