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
// rather than filled first: inaccessible, the fill could not be seen anyway. They start at a
// multiple of this size, and keep their place modulo it when they move, so that mremap moves
// whole page tables (one entry per 2 MiB) instead of one entry per page.
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
size_t memberSize(size_t size) { return roundToPages(size + BlockAllocator::kGuardSize); }

int mapFlags(size_t mapSize) {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (mapSize >= BlockAllocator::kLargeBlock) flags |= MAP_NORESERVE;
  return flags;
}

constexpr int kReserveFlags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE;

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

// The guard of every length a block can have (a page at most, a cell's kGuardSize), from its
// first byte: compared at once instead of byte by byte.
const unsigned char* guardPattern() {
  static const std::vector<unsigned char> pattern = [] {
    std::vector<unsigned char> bytes(pageSize() + BlockAllocator::kGuardSize);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = i % 2 ? 0 : BlockAllocator::kGuardByte;
    return bytes;
  }();
  return pattern.data();
}

// 0xDD for the longest stretch a cheap move leaves (a pool slot).
const unsigned char* freedPattern() {
  static const std::vector<unsigned char> pattern(BlockAllocator::kRemapMove,
                                                  BlockAllocator::kFreedByte);
  return pattern.data();
}

// Inaccessible address space of size bytes whose start is `residue` modulo kHugeBlock, when it
// is kHugeBlock or more; null when the system has none.
unsigned char* reserve(size_t size, size_t residue) {
  if (size < kHugeBlock) {
    void* map = mmap(nullptr, size, PROT_NONE, kReserveFlags, -1, 0);
    return map == MAP_FAILED ? nullptr : static_cast<unsigned char*>(map);
  }
  void* raw = mmap(nullptr, size + kHugeBlock, PROT_NONE, kReserveFlags, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  unsigned char* begin = static_cast<unsigned char*>(raw);
  const size_t skip = (residue - reinterpret_cast<uintptr_t>(begin)) % kHugeBlock;
  if (skip) munmap(begin, skip);
  if (kHugeBlock - skip) munmap(begin + skip + size, kHugeBlock - skip);
  return begin + skip;
}

}  // namespace

// By default glibc gives every block of 32 MiB and more (texts of 16 M units) fresh pages from
// the system and returns them at free, and it raises that bound only to the size of the last
// block freed: a value that grows a little at a time (a text appended to) takes fresh pages,
// a page fault per 4 KiB, at every step, which made the cost of a step grow with the value.
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
  // Both modes: what the plug-in and the host's caller (zuvhost's scripts) allocate themselves
  // is no host memory, and a long-running host keeps what it frees for reuse.
  keepFreedMemory();
  noAccess_ = mmap(nullptr, pageSize(), PROT_NONE, kReserveFlags, -1, 0);
  if (noAccess_ == MAP_FAILED) std::abort();
  if (!strict_) return;
  dead_ = mmap(nullptr, kDeadSlots * kDeadSlotSize, PROT_NONE, kReserveFlags, -1, 0);
  if (dead_ == MAP_FAILED) dead_ = nullptr;
  quarantine_.resize(kQuarantineBlocks);
}

BlockAllocator::~BlockAllocator() {
  for (size_t k = 0; k < quarantined_; ++k) {
    const Quarantined& q = quarantine_[(oldest_ + k) % quarantine_.size()];
    munmap(q.map, q.mapSize);
  }
  for (auto& [mapSize, slots] : pool_) {
    for (void* slot : slots) munmap(slot, mapSize);
  }
  munmap(noAccess_, pageSize());
  if (dead_) munmap(dead_, kDeadSlots * kDeadSlotSize);
}

void* BlockAllocator::deadSlot(size_t n) const {
  if (!dead_) return nullptr;
  return static_cast<unsigned char*>(dead_) + n % kDeadSlots * kDeadSlotSize;
}

int64_t BlockAllocator::deadSlotOf(const void* address) const {
  const auto* a = static_cast<const unsigned char*>(address);
  const auto* begin = static_cast<const unsigned char*>(dead_);
  if (!dead_ || a < begin || a >= begin + kDeadSlots * kDeadSlotSize) return -1;
  return static_cast<int64_t>(static_cast<size_t>(a - begin) / kDeadSlotSize);
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

// A mapping of mapSize bytes, all readable and writable but its last page; at a multiple of
// kHugeBlock when it holds that much.
void* BlockAllocator::mapAligned(size_t mapSize) {
  const size_t reach = mapSize - pageSize();
  unsigned char* map = reserve(mapSize, 0);
  if (!map) return nullptr;
  if (reach && mmap(map, reach, PROT_READ | PROT_WRITE, mapFlags(mapSize) | MAP_FIXED, -1, 0) ==
                   MAP_FAILED) {
    munmap(map, mapSize);
    return nullptr;
  }
  if (reach >= kHugeBlock && reach < kLargeBlock) madvise(map, reach, MADV_HUGEPAGE);
  return map;
}

// The block ends at the end of its last page, the inaccessible page right after it: its start is
// then aligned as its size allows (16 bytes for a size that is a multiple of 16).
Block BlockAllocator::mapBlock(size_t size, unsigned char fill) {
  const size_t reach = roundToPages(size);
  const size_t mapSize = reach + pageSize();
  const bool pooled = mapSize < kRemapMove;
  void* map = pooled ? takeSlot(mapSize) : mapAligned(mapSize);
  if (!map) return Block{};
  Block b{static_cast<unsigned char*>(map) + reach - size, size, map, mapSize, 0, pooled};
  fillGrowth(b.data, 0, size, fill);
  return b;
}

void BlockAllocator::writeGuard(Block& b) {
  if (strict_) std::memcpy(b.data + b.size, guardPattern(), b.guard);
}

bool BlockAllocator::guardIntact(const Block& b) const {
  if (!strict_ || !b.data || b.guard == 0) return true;
  return std::memcmp(b.data + b.size, guardPattern(), b.guard) == 0;
}

void BlockAllocator::release(Block& b) { retire(b, Left::Released); }

void BlockAllocator::retire(Block& b, Left why) {
  if (!b.data) return;
  if (!strict_) {
    std::free(b.data);
  } else if (b.mapSize >= kHugeBlock) {
    // Replacing the pages drops their contents without writing them first.
    mmap(b.map, b.mapSize, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0);
    quarantine(b, why, false);
  } else {
    // The block's bytes and guard: the rest of its pages was never part of it.
    std::memset(b.data, kFreedByte, b.size + b.guard);
    mprotect(b.map, b.mapSize, PROT_NONE);
    quarantine(b, why, false);
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
  for (size_t size : sizes) total += memberSize(size);
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
    offset += memberSize(sizes[i]);
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

void BlockAllocator::quarantine(const Block& b, Left why, bool poisoned) {
  if (quarantined_ == quarantine_.size()) evictOldest();
  Quarantined& q = quarantine_[(oldest_ + quarantined_) % quarantine_.size()];
  q = Quarantined{b.map,
                  b.mapSize,
                  b.pooled,
                  poisoned ? b.data : nullptr,
                  poisoned ? b.size + b.guard : 0,
                  b.data,
                  b.size,
                  b.tag,
                  why,
                  event_};
  ++quarantined_;
  ++unchecked_;
}

void BlockAllocator::evictOldest() {
  const Quarantined& old = quarantine_[oldest_];
  if (old.poisoned && !poisonIntact(old)) ++staleWrites_;
  if (!old.pooled) {
    munmap(old.map, old.mapSize);
  } else if (old.poisoned ||
             mprotect(old.map, old.mapSize - pageSize(), PROT_READ | PROT_WRITE) == 0) {
    returnSlot(old.map, old.mapSize);
  }
  oldest_ = (oldest_ + 1) % quarantine_.size();
  --quarantined_;
  unchecked_ = std::min(unchecked_, quarantined_);
}

bool BlockAllocator::poisonIntact(const Quarantined& q) const {
  for (size_t done = 0; done < q.length; done += kRemapMove) {
    const size_t n = std::min(kRemapMove, q.length - done);
    if (std::memcmp(q.poisoned + done, freedPattern(), n) != 0) return false;
  }
  return true;
}

size_t BlockAllocator::takeStaleWrites() {
  for (size_t k = quarantined_ - unchecked_; k < quarantined_; ++k) {
    const Quarantined& q = quarantine_[(oldest_ + k) % quarantine_.size()];
    if (q.poisoned && !poisonIntact(q)) ++staleWrites_;
  }
  unchecked_ = 0;
  size_t found = staleWrites_;
  staleWrites_ = 0;
  return found;
}

bool BlockAllocator::oldPlaceOf(const void* address, OldPlace& place) const {
  const auto* a = static_cast<const unsigned char*>(address);
  for (size_t k = quarantined_; k-- > 0;) {
    const Quarantined& q = quarantine_[(oldest_ + k) % quarantine_.size()];
    const auto* map = static_cast<const unsigned char*>(q.map);
    if (a < map || a >= map + q.mapSize) continue;
    place = OldPlace{q.tag, q.why, q.when, q.size, a - q.data};
    return true;
  }
  return false;
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
  if (b.mapSize >= kLargeBlock || roundToPages(size) >= kLargeBlock) {
    return remapLarge(b, size, fill, Left::Resized);
  }
  return copyTo(b, size, fill, Left::Resized);
}

bool BlockAllocator::move(Block& b) {
  if (!strict_) return true;
  if (b.mapSize >= kRemapMove) return remapLarge(b, b.size, kNewByte, Left::Moved);
  return copyTo(b, b.size, kNewByte, Left::Moved);
}

bool BlockAllocator::moveCheaply(Block& b) {
  if (!strict_) return true;
  if (!b.pooled) return move(b);
  Block moved = mapBlock(b.size, kNewByte);
  if (!moved) return false;
  std::memcpy(moved.data, b.data, b.size);
  moved.tag = b.tag;
  std::memset(b.data, kFreedByte, b.size + b.guard);
  quarantine(b, Left::Moved, true);
  b = moved;
  return true;
}

// Copies the bytes into a fresh block of the new size and retires the old one.
bool BlockAllocator::copyTo(Block& b, size_t size, unsigned char fill, Left why) {
  Block moved = mapBlock(size, fill);
  if (!moved) return false;
  std::memcpy(moved.data, b.data, std::min(b.size, size));
  moved.tag = b.tag;
  retire(b, why);
  b = moved;
  return true;
}

// Moves the pages themselves to a fresh address: no copy, whatever the size, and the place
// modulo kHugeBlock kept, so that whole page tables move. The block keeps its place in its
// first page; a guard runs from its end to the end of its new last page.
bool BlockAllocator::remapLarge(Block& b, size_t size, unsigned char fill, Left why) {
  const size_t page = pageSize();
  const size_t offset = static_cast<size_t>(b.data - static_cast<unsigned char*>(b.map));
  const size_t oldReach = b.mapSize - page;
  const size_t reach = std::max(roundToPages(offset + size), page);
  const size_t mapSize = reach + page;
  unsigned char* target = reserve(mapSize, reinterpret_cast<uintptr_t>(b.map) % kHugeBlock);
  if (!target) return false;
  void* moved =
      oldReach ? mremap(b.map, oldReach, reach, MREMAP_MAYMOVE | MREMAP_FIXED, target)
               : mmap(target, reach, PROT_READ | PROT_WRITE, mapFlags(mapSize) | MAP_FIXED, -1, 0);
  if (moved == MAP_FAILED) {
    munmap(target, mapSize);
    return false;
  }
  // Keep the old range reserved and inaccessible so that a kept address faults.
  mmap(b.map, b.mapSize, PROT_NONE, kReserveFlags | MAP_FIXED, -1, 0);
  quarantine(b, why, false);
  const size_t old = b.size;
  b = Block{static_cast<unsigned char*>(moved) + offset,
            size,
            moved,
            mapSize,
            reach - offset - size,
            false,
            b.tag};
  fillGrowth(b.data, old, size, fill);
  writeGuard(b);
  return true;
}

}  // namespace host
