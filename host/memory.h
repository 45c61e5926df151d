// The host's memory: every block the host hands out (handle bytes, text units, parameter cells,
// result areas) comes from here.
//
// Strict mode maps every block on pages of its own, so that it ends at the end of its last page
// and an inaccessible page follows: a read or write just past its last byte faults at once. A
// block of 64 MiB and more that was resized keeps its place in its first page, so guard bytes
// (0xAB and zeros) fill its last page after its end and are checked; so do the parameter cells of
// a call, which share one mapping. New bytes are 0xCD; a freed block is filled with 0xDD and its
// pages made inaccessible for a while (a quarantine), so that an address kept past a move or a
// release faults at once. Blocks of 64 MiB and more are reserved without backing store and
// resized with mremap, so that tests at the 2 GiB limit cost address space, not memory; blocks
// of kRemapMove and more move with mremap too, without a copy, and those of 2 MiB and more sit
// at 2 MiB boundaries, so that a move carries whole page tables instead of one entry per page.
// The realistic mode uses malloc and realloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <utility>
#include <vector>

namespace host {

struct Block {
  unsigned char* data = nullptr;
  size_t size = 0;
  void* map = nullptr;  // strict mode: the mapping that holds data, guard and the page after
  size_t mapSize = 0;
  size_t guard = 0;     // strict mode: the guard bytes after data up to the inaccessible page
  bool pooled = false;  // strict mode: the mapping is a slot of the allocator's pool
  // What the block holds, for a fault that lands in it or in its old places: the owner sets it
  // once and every move keeps it.
  uint64_t tag = 0;
  explicit operator bool() const { return data != nullptr; }
};

// Why a block's old place is in quarantine.
enum class Left { Released, Resized, Moved };

// What the allocator knows of an address in one of its old places.
struct OldPlace {
  uint64_t tag = 0;
  Left why = Left::Released;
  int64_t when = 0;      // the event number current when the block left the place
  size_t size = 0;       // the block's size there
  ptrdiff_t offset = 0;  // of the address from the block's first byte there
};

class BlockAllocator {
 public:
  static constexpr unsigned char kNewByte = 0xCD;
  static constexpr unsigned char kFreedByte = 0xDD;
  // Guard bytes alternate this byte and zero: a scan for a byte that runs past the end meets
  // neither what it looks for nor, for a zero, the end it should have stopped at.
  static constexpr unsigned char kGuardByte = 0xAB;
  static constexpr size_t kGuardSize = 16;  // after each parameter cell
  static constexpr size_t kLargeBlock = size_t{64} << 20;
  // New bytes of large blocks past this many stay zero pages instead of 0xCD.
  static constexpr size_t kLargeFillLimit = size_t{1} << 20;
  // Blocks whose mapping is this large or larger move by remapping their pages, not by a copy.
  static constexpr size_t kRemapMove = size_t{64} << 10;
  // Disposed handles' master pointers point into a reserved inaccessible region, each of the
  // last kDeadSlots at an address of its own, so that a use of one says which handle it was.
  static constexpr size_t kDeadSlots = 64;
  static constexpr size_t kDeadSlotSize = size_t{2} << 30;

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
  // The same for a block whose value lives on elsewhere (a text given fresh units): its old place
  // is remembered as left by a move.
  void releaseMoved(Block& b) { retire(b, Left::Moved); }
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
  // Strict mode: moves the bytes to a fresh address (their pages, for large blocks), so that the
  // old address faults. The realistic mode leaves them.
  bool move(Block& b);
  // Strict mode: moves the bytes to a fresh address without a system call where it can, for a
  // move at every host call: a small block is copied and its old place filled with 0xDD and
  // left accessible, so that a read through a kept address gets 0xDD and a write is seen by
  // takeStaleWrites; large blocks move as move does.
  bool moveCheaply(Block& b);
  // How many old places of blocks moved cheaply were written since the last call: writes
  // through an address kept across a move.
  size_t takeStaleWrites();
  bool guardIntact(const Block& b) const;
  // One page that can be neither read nor written.
  void* noAccessPage() const { return noAccess_; }
  // Strict mode: the inaccessible address of dead slot n (modulo kDeadSlots); else null.
  void* deadSlot(size_t n) const;
  // The dead slot an address falls in, or -1.
  int64_t deadSlotOf(const void* address) const;
  // The event number that old places record (the host counts its calls with it).
  void setEvent(int64_t event) { event_ = event; }
  // The old place in quarantine that holds address, if any.
  bool oldPlaceOf(const void* address, OldPlace& place) const;

 private:
  Block mapBlock(size_t size, unsigned char fill);
  void* mapAligned(size_t mapSize);
  bool remapLarge(Block& b, size_t size, unsigned char fill, Left why);
  bool copyTo(Block& b, size_t size, unsigned char fill, Left why);
  // Frees the block's place (strict mode: quarantines it, saying why it was left).
  void retire(Block& b, Left why);
  void writeGuard(Block& b);
  // Pool slots: pages that can hold a block, then one inaccessible page.
  void* takeSlot(size_t mapSize);
  void returnSlot(void* map, size_t mapSize);

  // A released or left mapping, inaccessible (or, left by a cheap move, holding 0xDD from data
  // for `length` bytes), until it is unmapped or returned to the pool.
  struct Quarantined {
    void* map;
    size_t mapSize;
    bool pooled;
    unsigned char* poisoned;  // null: made inaccessible
    size_t length;
    unsigned char* data;  // where the block's bytes were
    size_t size;
    uint64_t tag;
    Left why;
    int64_t when;
  };
  void quarantine(const Block& b, Left why, bool poisoned);
  void evictOldest();
  bool poisonIntact(const Quarantined& q) const;

  bool strict_;
  void* noAccess_ = nullptr;
  void* dead_ = nullptr;
  // A ring of kQuarantineBlocks entries, made once, so that a warm emulator allocates nothing
  // for it.
  std::vector<Quarantined> quarantine_;
  size_t oldest_ = 0;
  size_t quarantined_ = 0;
  size_t unchecked_ = 0;  // the newest entries, since takeStaleWrites last read them
  size_t staleWrites_ = 0;
  int64_t event_ = 0;
  std::unordered_map<size_t, std::vector<void*>> pool_;  // free slots by mapping size
};

}  // namespace host
