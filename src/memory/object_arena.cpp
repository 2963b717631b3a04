#include "memory/object_arena.hpp"

#include <cstring>
#include <new>

namespace tolvane {

ObjectArena::Block::Block(SizeClass& c, bool huge_pages)
    : owner(&c),
      cells(static_cast<std::uint32_t>((kBlockSize - header()) / c.cell_size)),
      huge_pages(huge_pages) {}

std::size_t ObjectArena::Block::header() const {
  return (sizeof(Block) + owner->cell_size - 1) / owner->cell_size * owner->cell_size;
}

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
    tolvane::Block region = acquire_block();
    if (!region.data) return nullptr;
    take_over(c, new (region.data) Block(c, region.huge_pages));
    return allocate(size);
  }
}

void ObjectArena::release_elsewhere(Block* b) noexcept {
  SizeClass& c = *b->owner;
  if (b->live == 0) {
    unlink(c, b);
    const bool huge_pages = b->huge_pages;
    b->~Block();
    release_block({b, huge_pages});
  } else if (!b->in_partial) {
    b->next = c.partial;
    if (c.partial) c.partial->prev = b;
    c.partial = b;
    b->in_partial = true;
  }
}

}  // namespace tolvane
