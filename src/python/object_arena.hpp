#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane::py {

// Memory for the objects of one class, the allocator of its type: 2 MiB blocks in huge pages, cut
// into equal cells. A call that makes millions of objects then faults a page per 65,536 objects
// instead of one per 128, and a block is given back (release_block) as soon as its last object is
// freed. Objects are made and freed only with the interpreter lock held, which is all the locking
// it needs: a free-threaded build, which has no such lock, keeps the interpreter's allocator.
class ObjectArena {
 public:
  explicit ObjectArena(std::size_t cell_size);
  ObjectArena(const ObjectArena&) = delete;
  ObjectArena& operator=(const ObjectArena&) = delete;

  // Zeroed memory for one object, or null when the system refuses.
  void* allocate() noexcept {
    if (next_ == end_) return allocate_slowly();
    void* cell = next_;
    next_ += cell_size_;
    ++*live_;
    for (std::size_t w = 0; w < cell_size_ / sizeof(std::uint64_t); ++w) {
      static_cast<std::uint64_t*>(cell)[w] = 0;
    }
    return cell;
  }
  void release(void* cell) noexcept;

 private:
  struct Block;
  void* allocate_slowly() noexcept;
  void unlink(Block* b) noexcept;
  void take_over(Block* b) noexcept;

  // The current block's run of never-used cells, and its count of live cells: the fast path.
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::uint32_t* live_ = nullptr;

  std::size_t cell_size_;
  std::uint32_t cells_per_block_;
  Block* current_ = nullptr;  // cells are taken from here
  Block* partial_ = nullptr;  // other blocks with free cells
};

}  // namespace tolvane::py
