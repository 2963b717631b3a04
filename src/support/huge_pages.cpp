#include "support/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace tolvane {

namespace {
constexpr std::uintptr_t kHugePage = 2 << 20;
}  // namespace

void advise_huge_pages(void* data, std::size_t size) noexcept {
  auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHugePage - 1) & ~(kHugePage - 1);
  auto end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void* map_aligned_region(std::size_t size) noexcept {
  // Twice the size, then the unaligned ends cut off.
  void* raw = mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  auto start = reinterpret_cast<std::uintptr_t>(raw);
  auto aligned = (start + size - 1) & ~(std::uintptr_t{size} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  if (std::uintptr_t end = start + 2 * size; end > aligned + size) {
    munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
  }
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

void unmap_region(void* region, std::size_t size) noexcept { munmap(region, size); }

}  // namespace tolvane
