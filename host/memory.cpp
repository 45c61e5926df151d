#include "memory.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include "emulator.h"

namespace host {
namespace {

// Freed pages stay inaccessible for the last this many blocks; older ones are unmapped.
constexpr size_t kQuarantineBlocks = 4096;
// Strict blocks of this size and more sit on huge pages when the system has them (one page
// fault per 2 MiB instead of per 4 KiB), and their pages are dropped when they are freed
// rather than filled first: inaccessible, the fill could not be seen anyway.
constexpr size_t kHugeBlock = size_t{2} << 20;
// Pool slots are made this many at a time.
constexpr size_t kSlotBatch = 32;

size_t pageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t roundToPages(size_t size) {
  size_t page = pageSize();
  return (size + page - 1) / page * page;
}

// The pages of a member of a group: its bytes and guard.
size_t mappedSize(size_t size) { return roundToPages(size + BlockAllocator::kGuardSize); }

// Where a block of size bytes starts in pages of `reach` bytes so that it ends, with at least its
// guard, at their end; 16-byte aligned, as a host's allocator answers.
size_t tailOffset(size_t reach, size_t size) {
  return (reach - BlockAllocator::kGuardSize - size) & ~size_t{15};
}

int mapFlags(size_t mapSize) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (mapSize >= BlockAllocator::kLargeBlock) flags |= MAP_NORESERVE;
  return flags;
}

// Fills [from, to) of data, but for large blocks only the first stretch: the rest stays
// untouched zero pages so that a 2 GiB handle costs nothing until it is written.
void fillGrowth(unsigned char* data, size_t from, size_t to, unsigned char fill) {
  if (to <= from) return;
  size_t end = to;
  if (to - from > BlockAllocator::kLargeFillLimit && to >= BlockAllocator::kLargeBlock) {
    end = from + BlockAllocator::kLargeFillLimit;
  }
  std::memset(data + from, fill, end - from);
}

}  // namespace

// By default glibc gives every block of 32 MiB and more (texts of 16 M units) fresh pages from
// the system and returns them at free, so that each large value costs a page fault per 4 KiB on
// every call, which grew the benchmarks' times far faster than their inputs.
void keepFreedMemory() {
  static const bool done = [] {
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
    return true;
  }();
  (void)done;
}

BlockAllocator::BlockAllocator(bool strict) : strict_(strict) {
  if (!strict_) keepFreedMemory();
  noAccess_ = mmap(nullptr, pageSize(), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (noAccess_ == MAP_FAILED) std::abort();
}

BlockAllocator::~BlockAllocator() {
  for (const Quarantined& q : quarantine_) munmap(q.map, q.mapSize);
  for (auto& [mapSize, slots] : pool_) {
    for (void* slot : slots) munmap(slot, mapSize);
  }
  munmap(noAccess_, pageSize());
}

// Small blocks come from a pool of slots made kSlotBatch at a time: a block is then made, moved
// and released without mapping pages each time.
void* BlockAllocator::takeSlot(size_t mapSize) {
  std::vector<void*>& slots = pool_[mapSize];
  if (slots.empty()) {
    void* batch = mmap(nullptr, mapSize * kSlotBatch, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (batch == MAP_FAILED) return nullptr;
    for (size_t i = kSlotBatch; i-- > 0;) {
      unsigned char* slot = static_cast<unsigned char*>(batch) + i * mapSize;
      mprotect(slot + mapSize - pageSize(), pageSize(), PROT_NONE);
      slots.push_back(slot);
    }
  }
  void* slot = slots.back();
  slots.pop_back();
  return slot;
}

void BlockAllocator::returnSlot(void* map, size_t mapSize) { pool_[mapSize].push_back(map); }

Block BlockAllocator::allocate(size_t size, unsigned char fill) {
  if (strict_) return mapBlock(size, fill);
  Block b;
  b.data = static_cast<unsigned char*>(std::malloc(std::max<size_t>(size, 1)));
  if (!b.data) return Block{};
  b.size = size;
  fillGrowth(b.data, 0, size, fill);
  return b;
}

Block BlockAllocator::allocateCopy(const void* bytes, size_t n, size_t size, unsigned char fill) {
  if (strict_) {
    Block b = mapBlock(size, fill);
    if (b && n) std::memcpy(b.data, bytes, n);
    return b;
  }
  Block b;
  b.data = static_cast<unsigned char*>(std::malloc(std::max<size_t>(size, 1)));
  if (!b.data) return Block{};
  b.size = size;
  if (n) std::memcpy(b.data, bytes, n);
  fillGrowth(b.data, n, size, fill);
  return b;
}

Block BlockAllocator::mapBlock(size_t size, unsigned char fill) {
  const size_t reach = mappedSize(size);
  const size_t mapSize = reach + pageSize();
  void* map;
  const bool pooled = mapSize < kRemapMove;
  if (pooled) {
    map = takeSlot(mapSize);
    if (!map) return Block{};
  } else {
    map = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, mapFlags(mapSize), -1, 0);
    if (map == MAP_FAILED) return Block{};
    // The page after the block: a read or write past its guard faults at once.
    if (mprotect(static_cast<unsigned char*>(map) + reach, pageSize(), PROT_NONE) != 0) {
      munmap(map, mapSize);
      return Block{};
    }
    if (mapSize >= kHugeBlock && mapSize < kLargeBlock) madvise(map, mapSize, MADV_HUGEPAGE);
  }
  const size_t offset = tailOffset(reach, size);
  Block b{
      static_cast<unsigned char*>(map) + offset, size, map, mapSize, reach - offset - size, pooled};
  fillGrowth(b.data, 0, size, fill);
  writeGuard(b);
  return b;
}

void BlockAllocator::writeGuard(Block& b) {
  if (strict_) std::memset(b.data + b.size, kGuardByte, b.guard);
}

bool BlockAllocator::guardIntact(const Block& b) const {
  if (!strict_ || !b.data) return true;
  for (size_t i = 0; i < b.guard; ++i) {
    if (b.data[b.size + i] != kGuardByte) return false;
  }
  return true;
}

void BlockAllocator::release(Block& b) {
  if (!b.data) return;
  if (!strict_) {
    std::free(b.data);
  } else if (b.mapSize >= kHugeBlock) {
    // Replacing the pages drops their contents without writing them first.
    mmap(b.map, b.mapSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
         0);
    quarantine({b.map, b.mapSize, false, nullptr, 0});
  } else {
    // The block's bytes and guard: the rest of its pages was never part of it.
    std::memset(b.data, kFreedByte, b.size + b.guard);
    mprotect(b.map, b.mapSize, PROT_NONE);
    quarantine({b.map, b.mapSize, b.pooled, nullptr, 0});
  }
  b = Block{};
}

std::vector<Block> BlockAllocator::allocateGroup(const std::vector<size_t>& sizes,
                                                 unsigned char fill, Block& group) {
  std::vector<Block> blocks(sizes.size());
  if (!strict_) {
    for (size_t i = 0; i < sizes.size(); ++i) blocks[i] = allocate(sizes[i], fill);
    return blocks;
  }
  size_t total = 0;
  for (size_t size : sizes) total += mappedSize(size);
  if (total == 0) return blocks;
  void* map = mmap(nullptr, total, PROT_READ | PROT_WRITE, mapFlags(total), -1, 0);
  if (map == MAP_FAILED) return blocks;
  group = Block{static_cast<unsigned char*>(map), total, map, total};
  size_t offset = 0;
  for (size_t i = 0; i < sizes.size(); ++i) {
    // A member block owns no mapping of its own: only the group is ever released.
    blocks[i] = Block{static_cast<unsigned char*>(map) + offset, sizes[i], nullptr, 0, kGuardSize};
    fillGrowth(blocks[i].data, 0, sizes[i], fill);
    writeGuard(blocks[i]);
    offset += mappedSize(sizes[i]);
  }
  return blocks;
}

void BlockAllocator::releaseGroup(Block& group, const std::vector<Block*>& blocks) {
  if (!strict_) {
    for (Block* b : blocks) release(*b);
  } else {
    if (group.map) release(group);
    for (Block* b : blocks) *b = Block{};
  }
  group = Block{};
}

void BlockAllocator::quarantine(const Quarantined& q) {
  quarantine_.push_back(q);
  ++unchecked_;
  while (quarantine_.size() > kQuarantineBlocks) {
    const Quarantined& old = quarantine_.front();
    if (old.poisoned && !poisonIntact(old)) ++staleWrites_;
    if (!old.pooled) {
      munmap(old.map, old.mapSize);
    } else if (old.poisoned ||
               mprotect(old.map, old.mapSize - pageSize(), PROT_READ | PROT_WRITE) == 0) {
      returnSlot(old.map, old.mapSize);
    }
    quarantine_.pop_front();
    unchecked_ = std::min(unchecked_, quarantine_.size());
  }
}

bool BlockAllocator::poisonIntact(const Quarantined& q) const {
  for (size_t i = 0; i < q.length; ++i) {
    if (q.poisoned[i] != kFreedByte) return false;
  }
  return true;
}

size_t BlockAllocator::takeStaleWrites() {
  for (size_t i = quarantine_.size() - unchecked_; i < quarantine_.size(); ++i) {
    const Quarantined& q = quarantine_[i];
    if (q.poisoned && !poisonIntact(q)) ++staleWrites_;
  }
  unchecked_ = 0;
  size_t found = staleWrites_;
  staleWrites_ = 0;
  return found;
}

bool BlockAllocator::resize(Block& b, size_t size, unsigned char fill) {
  if (!strict_) {
    void* data = std::realloc(b.data, std::max<size_t>(size, 1));
    if (!data) return false;
    size_t old = b.size;
    b.data = static_cast<unsigned char*>(data);
    b.size = size;
    fillGrowth(b.data, old, size, fill);
    return true;
  }
  if (b.mapSize >= kLargeBlock || mappedSize(size) >= kLargeBlock) return remapLarge(b, size, fill);
  return copyTo(b, size, fill);
}

bool BlockAllocator::move(Block& b) {
  if (!strict_) return true;
  if (b.mapSize >= kRemapMove) return remapLarge(b, b.size, kNewByte);
  return copyTo(b, b.size, kNewByte);
}

bool BlockAllocator::moveCheaply(Block& b) {
  if (!strict_) return true;
  if (!b.pooled) return move(b);
  Block moved = mapBlock(b.size, kNewByte);
  if (!moved) return false;
  std::memcpy(moved.data, b.data, b.size);
  std::memset(b.data, kFreedByte, b.size + b.guard);
  quarantine({b.map, b.mapSize, true, b.data, b.size + b.guard});
  b = moved;
  return true;
}

// Copies the bytes into a fresh block of the new size and releases the old one.
bool BlockAllocator::copyTo(Block& b, size_t size, unsigned char fill) {
  Block moved = mapBlock(size, fill);
  if (!moved) return false;
  std::memcpy(moved.data, b.data, std::min(b.size, size));
  release(b);
  b = moved;
  return true;
}

// Moves the pages themselves to a fresh address: no copy, whatever the size. The block keeps its
// place in its first page; its guard runs to the end of its new last page.
bool BlockAllocator::remapLarge(Block& b, size_t size, unsigned char fill) {
  const size_t page = pageSize();
  const size_t offset = static_cast<size_t>(b.data - static_cast<unsigned char*>(b.map));
  const size_t oldReach = b.mapSize - page;
  const size_t reach = roundToPages(offset + size + kGuardSize);
  const size_t mapSize = reach + page;
  void* target =
      mmap(nullptr, mapSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (target == MAP_FAILED) return false;
  void* moved = mremap(b.map, oldReach, reach, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (moved == MAP_FAILED) {
    munmap(target, mapSize);
    return false;
  }
  // Keep the old range reserved and inaccessible so that a kept address faults.
  mmap(b.map, b.mapSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  quarantine({b.map, b.mapSize, false, nullptr, 0});
  size_t old = b.size;
  unsigned char* data = static_cast<unsigned char*>(moved) + offset;
  b = Block{data, size, moved, mapSize, reach - offset - size};
  fillGrowth(b.data, old, size, fill);
  writeGuard(b);
  return true;
}

}  // namespace host
