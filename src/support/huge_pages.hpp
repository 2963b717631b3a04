#pragma once

#include <cstddef>

namespace tolvane {

// Asks the kernel to back the 2 MiB-aligned part of [data, data + size) with huge pages when it is
// first touched: one fault per 2 MiB instead of one per 4 KiB, for buffers filled front to back.
void advise_huge_pages(void* data, std::size_t size) noexcept;

// The blocks of the bulk allocators (records, Python objects): 2 MiB, aligned to their size, so
// that an allocation finds its block by masking its address.
inline constexpr std::size_t kBlockSize = std::size_t{2} << 20;

// A block in huge pages where the kernel gives them, or null when the system refuses. Its bytes
// are unspecified: a block given back earlier may be handed out again as it was left.
void* acquire_block() noexcept;

// Gives a block back. Without an address-space limit the block is kept for the next
// acquire_block() and its pages are handed to the kernel lazily (MADV_FREE): they leave the
// process as soon as the system needs the memory, and a later call that reuses them before then
// pays no page faults. Under a limit, or where the kernel lacks lazy freeing, the block is unmapped
// at once.
void release_block(void* block) noexcept;

}  // namespace tolvane
