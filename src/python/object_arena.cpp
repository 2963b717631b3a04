#include "python/object_arena.hpp"

#include <cstring>
#include <new>

#include "support/huge_pages.hpp"

namespace tolvane::py {

// The first cells of each block; its other cells are either free (on its free list or past
// `carved`) or live.
struct ObjectArena::Block {
  Block* prev = nullptr;
  Block* next = nullptr;
  void* free_list = nullptr;  // freed cells, each holding the next
  std::uint32_t live = 0;
  std::uint32_t carved = 0;  // cells handed out at least once
  bool in_partial = false;

  static Block* of(void* cell) {
    return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(cell) & ~(kBlockSize - 1));
  }
  char* cells(std::size_t cell_size) {
    std::size_t header = (sizeof(Block) + cell_size - 1) / cell_size * cell_size;
    return reinterpret_cast<char*>(this) + header;
  }
};

ObjectArena::ObjectArena(std::size_t cell_size)
    : cell_size_((cell_size + 15) & ~std::size_t{15}),
      cells_per_block_(static_cast<std::uint32_t>(
          (kBlockSize - (sizeof(Block) + cell_size_ - 1) / cell_size_ * cell_size_) / cell_size_)) {
}

void ObjectArena::unlink(Block* b) noexcept {
  if (b->prev) b->prev->next = b->next;
  if (b->next) b->next->prev = b->prev;
  if (partial_ == b) partial_ = b->next;
  b->prev = b->next = nullptr;
  b->in_partial = false;
}

void ObjectArena::take_over(Block* b) noexcept {
  current_ = b;
  live_ = &b->live;
  next_ = b->cells(cell_size_) + std::size_t{b->carved} * cell_size_;
  end_ = b->cells(cell_size_) + std::size_t{cells_per_block_} * cell_size_;
  b->carved = cells_per_block_;  // the run [next_, end_) is handed out by the fast path
}

void* ObjectArena::allocate_slowly() noexcept {
  for (;;) {
    if (Block* b = current_; b && b->free_list) {
      void* cell = b->free_list;
      std::memcpy(&b->free_list, cell, sizeof(void*));
      ++b->live;
      std::memset(cell, 0, cell_size_);
      return cell;
    }
    // The current block is full: carry on in a block with free cells, or a new one.
    if (Block* b = partial_) {
      unlink(b);
      take_over(b);
      continue;
    }
    void* region = acquire_block();
    if (!region) return nullptr;
    take_over(new (region) Block());
    return allocate();
  }
}

void ObjectArena::release(void* cell) noexcept {
  Block* b = Block::of(cell);
  std::memcpy(cell, &b->free_list, sizeof(void*));
  b->free_list = cell;
  --b->live;
  if (b == current_) return;
  if (b->live == 0) {
    unlink(b);
    b->~Block();
    release_block(b);
  } else if (!b->in_partial) {
    b->next = partial_;
    if (partial_) partial_->prev = b;
    partial_ = b;
    b->in_partial = true;
  }
}

}  // namespace tolvane::py
