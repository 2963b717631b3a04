#include "memory/huge_pages.hpp"

#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

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
// A kept block of 4 KiB pages carries kSmallPagesTag in its slot.
constexpr std::size_t kKeptBlocks = 512;
constexpr std::uintptr_t kSmallPagesTag = 1;
std::array<std::atomic<void*>, kKeptBlocks> kept_blocks{};
std::atomic<std::size_t> kept_count{0};

// A huge page's first fault slower than this costs more than the 512 faults of 4 KiB pages would
// (about 1-2 us each in a virtual machine, less on bare metal); one that slow turns huge pages off
// for kHugePagesPause. Blocks of 4 KiB pages made meanwhile are kept all the same: unmapping them
// would make later calls fault their memory in again, and on a host where huge pages stay dear,
// stall on the next try. Kept while huge pages are cheap, they are advised for huge pages, which
// the kernel then makes of them in the background, off the calls' way.
constexpr std::int64_t kSlowHugeFault = 1'000'000;  // ns
constexpr std::int64_t kHugePagesPause = 1'000'000'000;
std::atomic<std::int64_t> huge_pages_off_until{0};

std::int64_t now_ns() noexcept {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

bool huge_pages_cheap() noexcept {
  return now_ns() >= huge_pages_off_until.load(std::memory_order_relaxed);
}

Block map_fresh_block() noexcept {
  // Twice the size, then the unaligned ends cut off.
  void* raw =
      mmap(nullptr, 2 * kBlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return {};
  auto start = reinterpret_cast<std::uintptr_t>(raw);
  auto aligned = (start + kBlockSize - 1) & ~(std::uintptr_t{kBlockSize} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (std::uintptr_t end = start + 2 * kBlockSize; end > aligned + kBlockSize) {
    munmap(reinterpret_cast<void*>(aligned + kBlockSize), end - aligned - kBlockSize);
  }
  auto* block = reinterpret_cast<char*>(aligned);
  if (!huge_pages_cheap() || madvise(block, kBlockSize, MADV_HUGEPAGE) != 0) return {block, false};
  // The block's first fault, timed: the whole huge page, where the kernel makes one.
  const std::int64_t before = now_ns();
  *static_cast<volatile char*>(block) = 0;
  if (const std::int64_t after = now_ns(); after - before > kSlowHugeFault) {
    huge_pages_off_until.store(after + kHugePagesPause, std::memory_order_relaxed);
  }
  return {block, true};
}

bool keep(Block block) noexcept {
  if (kept_count.load(std::memory_order_relaxed) >= kKeptBlocks || address_space_limited()) {
    return false;
  }
  if (madvise(block.data, kBlockSize, MADV_FREE) != 0) return false;
  if (!block.huge_pages && huge_pages_cheap() &&
      madvise(block.data, kBlockSize, MADV_HUGEPAGE) == 0) {
    block.huge_pages = true;
  }
  void* tagged = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(block.data) |
                                         (block.huge_pages ? 0 : kSmallPagesTag));
  for (auto& slot : kept_blocks) {
    void* empty = nullptr;
    if (slot.compare_exchange_strong(empty, tagged, std::memory_order_release,
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
  if (end > begin && huge_pages_cheap()) {
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
}

Block acquire_block() noexcept {
  if (kept_count.load(std::memory_order_relaxed) > 0) {
    for (auto& slot : kept_blocks) {
      if (slot.load(std::memory_order_relaxed) == nullptr) continue;
      if (void* tagged = slot.exchange(nullptr, std::memory_order_acquire)) {
        kept_count.fetch_sub(1, std::memory_order_relaxed);
        auto bits = reinterpret_cast<std::uintptr_t>(tagged);
        return {reinterpret_cast<void*>(bits & ~kSmallPagesTag), (bits & kSmallPagesTag) == 0};
      }
    }
  }
  return map_fresh_block();
}

void release_block(Block block) noexcept {
  if (!keep(block)) munmap(block.data, kBlockSize);
}

std::uint64_t kept_bytes_in_memory() noexcept {
  if (kept_count.load(std::memory_order_relaxed) == 0) return 0;
  static const auto page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  // A kept block is never written, so its pages still in memory are clean ones the system has not
  // taken yet. Blocks change hands under the interpreter lock, which the memory checks hold.
  std::array<unsigned char, kBlockSize / 4096> pages;
  if (kBlockSize / page_size > pages.size()) return 0;
  std::uint64_t bytes = 0;
  for (auto& slot : kept_blocks) {
    auto bits = reinterpret_cast<std::uintptr_t>(slot.load(std::memory_order_relaxed));
    if (bits == 0 ||
        mincore(reinterpret_cast<void*>(bits & ~kSmallPagesTag), kBlockSize, pages.data()) != 0) {
      continue;
    }
    for (std::size_t i = 0; i < kBlockSize / page_size; ++i) bytes += (pages[i] & 1) * page_size;
  }
  return bytes;
}

}  // namespace tolvane
