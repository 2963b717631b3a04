#include "support/huge_pages.hpp"

#include <sys/mman.h>

#include <array>
#include <atomic>
#include <cstdint>

#include "support/system_limits.hpp"

namespace tolvane {

namespace {

constexpr std::uintptr_t kHugePage = 2 << 20;
static_assert(kBlockSize % kHugePage == 0);

// Blocks kept for reuse: at most 1 GiB of address space, no memory the system cannot take back.
// Slots rather than a list threaded through the blocks, since a lazily freed page may read back
// as zeros; lock-free, so that a child forked while another thread held a lock still finds them.
constexpr std::size_t kKeptBlocks = 512;
std::array<std::atomic<void*>, kKeptBlocks> kept_blocks{};
std::atomic<std::size_t> kept_count{0};

void* map_fresh_block() noexcept {
  // Twice the size, then the unaligned ends cut off.
  void* raw =
      mmap(nullptr, 2 * kBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(raw);
  auto aligned = (start + kBlockSize - 1) & ~(std::uintptr_t{kBlockSize} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (std::uintptr_t end = start + 2 * kBlockSize; end > aligned + kBlockSize) {
    munmap(reinterpret_cast<void*>(aligned + kBlockSize), end - aligned - kBlockSize);
  }
  madvise(reinterpret_cast<void*>(aligned), kBlockSize, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

bool keep(void* block) noexcept {
  if (kept_count.load(std::memory_order_relaxed) >= kKeptBlocks || address_space_limited()) {
    return false;
  }
  if (madvise(block, kBlockSize, MADV_FREE) != 0) return false;
  for (auto& slot : kept_blocks) {
    void* empty = nullptr;
    if (slot.compare_exchange_strong(empty, block, std::memory_order_release,
                                     std::memory_order_relaxed)) {
      kept_count.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

}  // namespace

void advise_huge_pages(void* data, std::size_t size) noexcept {
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* acquire_block() noexcept {
  if (kept_count.load(std::memory_order_relaxed) > 0) {
    for (auto& slot : kept_blocks) {
      if (slot.load(std::memory_order_relaxed) == nullptr) continue;
      if (void* block = slot.exchange(nullptr, std::memory_order_acquire)) {
        kept_count.fetch_sub(1, std::memory_order_relaxed);
        return block;
      }
    }
  }
  return map_fresh_block();
}

void release_block(void* block) noexcept {
  if (!keep(block)) munmap(block, kBlockSize);
}

}  // namespace tolvane
