#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane {

// Memory for records made in bulk by one thread (the synthesis engine's workers, the fake-feature
// generator): 2 MiB blocks, in huge pages where the kernel gives them, carved front to back with
// no per-record header. A record is released on its own, from any thread; a block is given back
// (release_block) once it is sealed and its last record is released.
//
// Under AddressSanitizer every record is a heap allocation of its own instead, so that the
// sanitizer still sees each record's bounds and lifetime.
class RecordArena {
 public:
  // Records larger than this are heap allocations of their own (see holds()).
  static constexpr std::size_t kMaxRecord = 64 << 10;

  RecordArena() = default;
  RecordArena(const RecordArena&) = delete;
  RecordArena& operator=(const RecordArena&) = delete;
  ~RecordArena() { seal(); }

  // Memory for one record of `bytes` (a multiple of 8, at most kMaxRecord). Throws std::bad_alloc.
  void* allocate(std::size_t bytes) {
    if (static_cast<std::size_t>(end_ - next_) < bytes) return allocate_in_new_block(bytes);
    void* p = next_;
    next_ += bytes;
    ++made_;
    return p;
  }
  // Gives up the current block: it goes once its records are all released. Allocating again
  // starts a new block.
  void seal() noexcept;

  // Releases memory that allocate() returned.
  static void release(void* record) noexcept;

 private:
  struct Block;
  void* allocate_in_new_block(std::size_t bytes);

  Block* block_ = nullptr;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::uint64_t made_ = 0;  // records carved from block_
};

}  // namespace tolvane
