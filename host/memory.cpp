#include "memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

namespace host {
namespace {

// Freed pages stay inaccessible for the last this many blocks; older ones are unmapped.
constexpr size_t kQuarantineBlocks = 4096;

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

BlockAllocator::BlockAllocator(bool strict) : strict_(strict) {
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
  } else if (b.mapSize >= kLargeBlock) {
    // Replacing the pages drops their contents without writing them first.
    mmap(b.map, b.mapSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1,
         0);
    quarantine(b.map, b.mapSize);
  } else {
    std::memset(b.map, kFreedByte, b.mapSize);
    mprotect(b.map, b.mapSize, PROT_NONE);
    quarantine(b.map, b.mapSize);
  }
  b = Block{};
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
