#pragma once

#include <cstddef>
#include <cstdint>

namespace tolvane {

// Huge pages make a buffer filled front to back fault once per 2 MiB instead of once per 4 KiB,
// and later walks over it miss the TLB far less. But the kernel may have to make a huge page first
// (compact memory on a fragmented host, or, in a virtual machine that returns free memory to its
// host, have the host bring the memory back): a fault that then costs several times what 4 KiB
// pages would. So the first fault of each fresh block is timed, and one slower than 4 KiB pages
// turns huge pages off for a while: a busy machine gets 4 KiB pages, an idle one huge pages.

// Asks the kernel to back the 2 MiB-aligned part of [data, data + size) with huge pages when it is
// first touched, while they are cheap (see above).
void advise_huge_pages(void* data, std::size_t size) noexcept;

// The blocks of the bulk allocator (Feature objects and their cells): 2 MiB, aligned to their
// size, so that an allocation finds its block by masking its address.
inline constexpr std::size_t kBlockSize = std::size_t{2} << 20;

struct Block {
  void* data = nullptr;
  bool huge_pages = false;  // advised for huge pages (see above)
};

// A block, in huge pages while they are cheap, or a null one when the system refuses. Its bytes
// are unspecified: a block given back earlier may be handed out again as it was left.
Block acquire_block() noexcept;

// Gives a block back. Without an address-space limit the block is kept for the next
// acquire_block() and its pages are handed to the kernel lazily (MADV_FREE): they leave the
// process as soon as the system needs the memory, and a later call that reuses them before then
// pays no page faults. Under a limit, where the kernel lacks lazy freeing, or with 1 GiB of blocks
// kept already, the block is unmapped at once.
void release_block(Block block) noexcept;

// Bytes of the kept blocks that are still in memory: counted as used by the memory control groups,
// though the system can take them back at once and the next blocks come from them.
std::uint64_t kept_bytes_in_memory() noexcept;

}  // namespace tolvane
