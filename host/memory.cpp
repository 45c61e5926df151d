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

size_t pageSize() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t mappedSize(size_t size) {
  size_t page = pageSize();
  return (size + BlockAllocator::kGuardSize + page - 1) / page * page;
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
  for (auto& [map, size] : quarantine_) munmap(map, size);
  munmap(noAccess_, pageSize());
}

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
  size_t mapSize = mappedSize(size);
  void* map = mmap(nullptr, mapSize, PROT_READ | PROT_WRITE, mapFlags(mapSize), -1, 0);
  if (map == MAP_FAILED) return Block{};
  if (mapSize >= kHugeBlock && mapSize < kLargeBlock) madvise(map, mapSize, MADV_HUGEPAGE);
  Block b{static_cast<unsigned char*>(map), size, map, mapSize};
  fillGrowth(b.data, 0, size, fill);
  writeGuard(b);
  return b;
}

void BlockAllocator::writeGuard(Block& b) {
  if (strict_) std::memset(b.data + b.size, kGuardByte, kGuardSize);
}

bool BlockAllocator::guardIntact(const Block& b) const {
  if (!strict_ || !b.data) return true;
  for (size_t i = 0; i < kGuardSize; ++i) {
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
    quarantine(b.map, b.mapSize);
  } else {
    // The block's bytes and guard: the rest of its last page was never part of it.
    std::memset(b.map, kFreedByte, std::min(b.mapSize, b.size + kGuardSize));
    mprotect(b.map, b.mapSize, PROT_NONE);
    quarantine(b.map, b.mapSize);
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
    blocks[i] = Block{static_cast<unsigned char*>(map) + offset, sizes[i], nullptr, 0};
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

void BlockAllocator::quarantine(void* map, size_t mapSize) {
  quarantine_.emplace_back(map, mapSize);
  while (quarantine_.size() > kQuarantineBlocks) {
    munmap(quarantine_.front().first, quarantine_.front().second);
    quarantine_.pop_front();
  }
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
  Block moved = mapBlock(size, fill);
  if (!moved) return false;
  std::memcpy(moved.data, b.data, std::min(b.size, size));
  release(b);
  b = moved;
  return true;
}

// Moves the pages themselves to a fresh address: no copy, whatever the size.
bool BlockAllocator::remapLarge(Block& b, size_t size, unsigned char fill) {
  size_t mapSize = mappedSize(size);
  void* target =
      mmap(nullptr, mapSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (target == MAP_FAILED) return false;
  void* moved = mremap(b.map, b.mapSize, mapSize, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (moved == MAP_FAILED) {
    munmap(target, mapSize);
    return false;
  }
  // Keep the old range reserved and inaccessible so that a kept address faults.
  mmap(b.map, b.mapSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  quarantine(b.map, b.mapSize);
  size_t old = b.size;
  b = Block{static_cast<unsigned char*>(moved), size, moved, mapSize};
  fillGrowth(b.data, old, size, fill);
  writeGuard(b);
  return true;
}

}  // namespace host
