#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "memory/huge_pages.hpp"

namespace tolvane {

// Memory for Feature objects, each alone or together with the record it was made with (a cell): 2
// MiB blocks, each cut into cells of one size, a multiple of 16. Each size hands out the cells of
// one block at a time, its current one: first the run of cells never used (the fast path, a bump
// of a pointer), then the cells freed in it, then it moves on to another block with free cells,
// and only when none has any to a new block. A freed cell goes on its block's list, so a survivor
// keeps only its own bytes busy; a block whose cells are all free is given back (release_block)
// unless it is the current one.
// Objects are made and freed only with the interpreter lock held, which is all the locking this
// needs: a free-threaded build, which has no such lock, keeps the interpreter's allocator.
class ObjectArena {
 public:
  static constexpr std::size_t kMaxCell = 256;

  ObjectArena() = default;
  ObjectArena(const ObjectArena&) = delete;
  ObjectArena& operator=(const ObjectArena&) = delete;

  // Memory for `size` bytes (at most kMaxCell), uninitialised, or null when the system refuses.
  void* allocate(std::size_t size) noexcept {
    SizeClass& c = classes_[(size + 15) / 16];
    if (c.next == c.end) return allocate_slowly(c, size);
    void* cell = c.next;
    c.next += c.cell_size;
    ++*c.live;
    return cell;
  }
  void release(void* cell) noexcept {
    Block* b = Block::of(cell);
    std::memcpy(cell, &b->free_list, sizeof(void*));
    b->free_list = cell;
    --b->live;
    if (b != b->owner->current) release_elsewhere(b);
  }

 private:
  struct SizeClass;
  // The first cells of each block; its other cells are either free (on its free list or past
  // `carved`) or live.
  struct Block {
    Block(SizeClass& c, bool huge_pages);
    static Block* of(void* cell) {
      return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(cell) & ~(kBlockSize - 1));
    }
    std::size_t header() const;
    char* first_cell() { return reinterpret_cast<char*>(this) + header(); }

    SizeClass* owner;
    Block* prev = nullptr;
    Block* next = nullptr;
    void* free_list = nullptr;  // freed cells, each holding the next
    std::uint32_t live = 0;
    std::uint32_t carved = 0;  // cells handed out at least once
    std::uint32_t cells;       // in the block
    bool in_partial = false;
    bool huge_pages;
  };
  // The cells of one size: the current block's run of never-used cells and its count of live
  // cells (the fast path), the current block and the others with free cells.
  struct SizeClass {
    char* next = nullptr;
    char* end = nullptr;
    std::uint32_t* live = nullptr;
    std::size_t cell_size = 0;
    Block* current = nullptr;
    Block* partial = nullptr;
  };

  void* allocate_slowly(SizeClass& c, std::size_t size) noexcept;
  // A cell of a block other than its class's current one was freed.
  void release_elsewhere(Block* b) noexcept;
  void unlink(SizeClass& c, Block* b) noexcept;
  void take_over(SizeClass& c, Block* b) noexcept;

  SizeClass classes_[kMaxCell / 16 + 1];
};

}  // namespace tolvane
