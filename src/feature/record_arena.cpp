#include "feature/record_arena.hpp"

#include <atomic>
#include <cstdint>
#include <new>

#include "support/huge_pages.hpp"

namespace tolvane {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kOwnBlocks = false;
#else
constexpr bool kOwnBlocks = true;
#endif

}  // namespace

// At the start of each block. `live` counts the block's records still alive, biased by kOpen
// while the block is being carved, so that it cannot reach zero before it is sealed.
struct alignas(64) RecordArena::Block {
  static constexpr std::uint64_t kOpen = std::uint64_t{1} << 62;
  std::atomic<std::uint64_t> live{kOpen};

  static Block* of(void* record) {
    return reinterpret_cast<Block*>(reinterpret_cast<std::uintptr_t>(record) & ~(kBlockSize - 1));
  }

  // A fresh block aligned to its size (so that a record finds its block by masking its address).
  static Block* make() {
    void* region = acquire_block();
    if (!region) throw std::bad_alloc();
    return new (region) Block();
  }

  void drop(std::uint64_t n) noexcept {
    if (live.fetch_sub(n, std::memory_order_acq_rel) == n) {
      this->~Block();
      release_block(this);
    }
  }
};

void* RecordArena::allocate_in_new_block(std::size_t bytes) {
  // Without blocks of its own, next_ and end_ stay null and every record comes here.
  if constexpr (!kOwnBlocks) {
    return ::operator new(bytes);
  }
  seal();
  block_ = Block::make();
  next_ = reinterpret_cast<char*>(block_) + sizeof(Block);
  end_ = reinterpret_cast<char*>(block_) + kBlockSize;
  return allocate(bytes);
}

void RecordArena::seal() noexcept {
  if (!block_) return;
  block_->drop(Block::kOpen - made_);
  block_ = nullptr;
  next_ = end_ = nullptr;
  made_ = 0;
}

void RecordArena::release(void* record) noexcept {
  if constexpr (!kOwnBlocks) {
    ::operator delete(record);
  } else {
    Block::of(record)->drop(1);
  }
}

}  // namespace tolvane
