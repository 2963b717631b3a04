#include "python/object_arena.hpp"

#include <cstring>
#include <new>

#include "support/huge_pages.hpp"

namespace tolvane::py {

// The first cells of each block; its other cells are either free (on its free list or past
// `carved`) or live.
struct ObjectArena::Block {
  SizeClass* owner;
  Block* prev = nullptr;
  Block* next = nullptr;
  void* free_list = nullptr;  // freed cells, each holding the next
  std::uint32_t live = 0;
  std::uint32_t carved = 0;  // cells handed out at least once
  std::uint32_t cells = 0;   // in the block
  bool in_partial = false;

  explicit Block(SizeClass& c)
      : owner(&c), cells(static_cast<std::uint32_t>((kBlockSize - header()) / c.cell_size)) {}

  static Block* of(void* cell) {
    return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(cell) & ~(kBlockSize - 1));
  }
  std::size_t header() const {
    return (sizeof(Block) + owner->cell_size - 1) / owner->cell_size * owner->cell_size;
  }
  char* first_cell() { return reinterpret_cast<char*>(this) + header(); }
};

void ObjectArena::unlink(SizeClass& c, Block* b) noexcept {
  if (b->prev) b->prev->next = b->next;
  if (b->next) b->next->prev = b->prev;
  if (c.partial == b) c.partial = b->next;
  b->prev = b->next = nullptr;
  b->in_partial = false;
}

void ObjectArena::take_over(SizeClass& c, Block* b) noexcept {
  c.current = b;
  c.live = &b->live;
  c.next = b->first_cell() + std::size_t{b->carved} * c.cell_size;
  c.end = b->first_cell() + std::size_t{b->cells} * c.cell_size;
  b->carved = b->cells;  // the run [next, end) is handed out by the fast path
}

void* ObjectArena::allocate_slowly(SizeClass& c, std::size_t size) noexcept {
  if (c.cell_size == 0) c.cell_size = (size + 15) & ~std::size_t{15};
  for (;;) {
    if (Block* b = c.current; b && b->free_list) {
      void* cell = b->free_list;
      std::memcpy(&b->free_list, cell, sizeof(void*));
      ++b->live;
      return cell;
    }
    // The current block is full: carry on in a block with free cells, or a new one.
    if (Block* b = c.partial) {
      unlink(c, b);
      take_over(c, b);
      continue;
    }
    void* region = acquire_block();
    if (!region) return nullptr;
    take_over(c, new (region) Block(c));
    return allocate(size);
  }
}

void ObjectArena::release(void* cell) noexcept {
  Block* b = Block::of(cell);
  SizeClass& c = *b->owner;
  std::memcpy(cell, &b->free_list, sizeof(void*));
  b->free_list = cell;
  --b->live;
  if (b == c.current) return;
  if (b->live == 0) {
    unlink(c, b);
    b->~Block();
    release_block(b);
  } else if (!b->in_partial) {
    b->next = c.partial;
    if (c.partial) c.partial->prev = b;
    c.partial = b;
    b->in_partial = true;
  }
}

}  // namespace tolvane::py
