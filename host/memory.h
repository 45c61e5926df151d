// The host's memory: every block the host hands out (handle bytes, text units, parameter cells,
// result areas) comes from here.
//
// Strict mode maps every block on pages of its own, follows it with guard bytes, fills new bytes
// with 0xCD and, when the block is freed, fills it with 0xDD and makes its pages inaccessible for
// a while (a quarantine), so that an address kept past a move or a release faults at once. Blocks
// of 64 MiB and more are reserved without backing store and moved with mremap, so that tests at
// the 2 GiB limit cost address space, not memory. The realistic mode uses malloc and realloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace host {

struct Block {
  unsigned char* data = nullptr;
  size_t size = 0;
  void* map = nullptr;  // strict mode: the mapping that holds data and guard
  size_t mapSize = 0;
  explicit operator bool() const { return data != nullptr; }
};

class BlockAllocator {
 public:
  static constexpr unsigned char kNewByte = 0xCD;
  static constexpr unsigned char kFreedByte = 0xDD;
  static constexpr unsigned char kGuardByte = 0xAB;
  static constexpr size_t kGuardSize = 16;
  static constexpr size_t kLargeBlock = size_t{64} << 20;
  // New bytes of large blocks past this many stay zero pages instead of 0xCD.
  static constexpr size_t kLargeFillLimit = size_t{1} << 20;

  explicit BlockAllocator(bool strict);
  ~BlockAllocator();
  BlockAllocator(const BlockAllocator&) = delete;
  BlockAllocator& operator=(const BlockAllocator&) = delete;

  bool strict() const { return strict_; }
  // A block of size bytes, each set to fill; an empty Block when the system has no memory.
  Block allocate(size_t size, unsigned char fill);
  // A block of size bytes that starts with the n bytes given (n <= size), the rest set to fill.
  // The realistic mode writes each byte once, as a host copying a value would.
  Block allocateCopy(const void* bytes, size_t n, size_t size, unsigned char fill);
  // Frees the block and empties b.
  void release(Block& b);
  // Blocks of the given sizes, each set to fill, that live and die together (a call's parameter
  // cells). Strict mode puts each on pages of its own, followed by its guard, inside one mapping
  // that `group` holds, so that releasing them all changes the protection once instead of once
  // per block; the realistic mode allocates each. Empty blocks when the system has no memory.
  std::vector<Block> allocateGroup(const std::vector<size_t>& sizes, unsigned char fill,
                                   Block& group);
  // Frees the blocks of one allocateGroup (strict mode: fills them with 0xDD and makes the whole
  // mapping inaccessible, as release does for one block) and empties them and group.
  void releaseGroup(Block& group, const std::vector<Block*>& blocks);
  // Changes the size, keeping the bytes up to the smaller size and filling growth with fill.
  // Strict mode always moves the bytes. False (b unchanged) when the system has no memory.
  bool resize(Block& b, size_t size, unsigned char fill);
  // Strict mode: moves the bytes to a fresh address. The realistic mode leaves them.
  bool move(Block& b) { return resize(b, b.size, kNewByte); }
  bool guardIntact(const Block& b) const;
  // One page that can be neither read nor written.
  void* noAccessPage() const { return noAccess_; }

 private:
  Block mapBlock(size_t size, unsigned char fill);
  bool remapLarge(Block& b, size_t size, unsigned char fill);
  void writeGuard(Block& b);
  void quarantine(void* map, size_t mapSize);

  bool strict_;
  void* noAccess_ = nullptr;
  std::deque<std::pair<void*, size_t>> quarantine_;
};

}  // namespace host
