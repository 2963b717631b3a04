#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// What the system lets this process use: CPUs (affinity mask, control-group quota, the thread
// count the environment asks for) and memory (what the kernel can still give, the address-space
// limit, the memory control groups' limits).
namespace tolvane {

// The most threads a pool gets, whatever the environment asks for: more than any machine this
// runs on has CPUs, few enough that their stacks fit a modest address-space limit.
inline constexpr std::size_t kMaxPoolThreads = 1024;

// Pool sizing (at least 1, at most kMaxPoolThreads). `num_threads` and `num_cpus` are the raw
// values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (null when unset); `available` is the number
// of CPUs the process may use. A value that is not a decimal number counts as unset; a
// RAYON_NUM_THREADS of 0 means `available`, and RAYON_RS_NUM_CPUS is then not read.
std::size_t pool_size_from(const char* num_threads, const char* num_cpus, std::size_t available);

// The directory of one of the process's control groups and the mount point of its hierarchy (the
// top of the walk up its ancestors).
struct CgroupPath {
  std::string dir;
  std::string mount_point;
};

// The process's control groups, from /proc/self/cgroup resolved against the mounts of
// /proc/self/mountinfo: the v1 hierarchies carrying the cpu and the memory controllers, and the
// v2 (unified) hierarchy. A group the process's view cannot reach (not under its mount) is
// missing. Without /proc, the roots of the memory hierarchy and of the v2 hierarchy at their usual
// mount points (/sys/fs/cgroup/memory, /sys/fs/cgroup): in a container's cgroup namespace, its
// own group. `root` prefixes every path read (tests point it at a fake tree).
struct ProcessCgroups {
  std::optional<CgroupPath> cpu_v1, memory_v1, unified;
};
ProcessCgroups find_cgroups(const std::string& root = "");

// CPU limit of the process's control group: quota / period rounded up, from the v1 cpu controller
// (cpu.cfs_quota_us, cpu.cfs_period_us) or else the v2 cpu.max files up the hierarchy.
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = "");

// Bytes the process's memory control groups still let it have: for its group and each ancestor
// that sets a limit (v1 memory.limit_in_bytes, v2 memory.max), the limit less what the group uses
// (v1 memory.usage_in_bytes, v2 memory.current), not counting the file cache the kernel can take
// back without writing anything (clean page cache, active or inactive) nor what `freed_lazily`
// returns, when given: bytes of the process's own that it freed lazily and are still in memory
// (asked only where a group sets a limit); the smallest. Nothing when no group sets a limit; a
// group directory that is missing sets none.
std::optional<std::uint64_t> cgroup_memory_headroom(const ProcessCgroups& groups,
                                                    const std::string& root = "",
                                                    std::uint64_t (*freed_lazily)() = nullptr);

// CPUs the process may run on: its affinity mask, capped by its control group's quota.
std::size_t usable_cpus();

// pool_size_from() with this process's environment and usable_cpus().
std::size_t pool_threads_wanted();

// Whether an address-space limit (RLIMIT_AS) is set.
bool address_space_limited() noexcept;

// Bytes the process can still get: what the kernel reports as available (free memory plus what
// it can reclaim) plus free swap, only the free memory and swap when /proc is not there; and no
// more than the address-space limit and the memory control groups leave, the blocks of dropped
// features kept for reuse (memory/huge_pages.hpp) counted as free. The groups are found once per
// process; the figures are read on each call.
std::uint64_t available_memory();

// Below this, a demand is taken to fit without reading anything: small calls pay nothing for the
// check, and what they could overrun is no more than any Python code allocates.
inline constexpr std::uint64_t kSmallDemand = std::uint64_t{64} << 20;

// Memory a running call has been granted: one budget for the process's concurrent calls (threads,
// signal handlers calling in), which would otherwise each see the whole of what is available. The
// bytes are held in a process-wide sum from reserve() until the reservation ends, and every check
// subtracts what the others hold. What a running call has allocated already counts twice, in the
// system's figures and in its reservation, so concurrent calls are refused early rather than late.
// A child of fork() keeps the reservations of the thread that forked only.
class MemoryReservation {
 public:
  MemoryReservation() = default;
  ~MemoryReservation() { release(); }
  MemoryReservation(const MemoryReservation&) = delete;
  MemoryReservation& operator=(const MemoryReservation&) = delete;

  // Whether `bytes` more fit what the process can still get less what other reservations hold;
  // if so they are held, in place of what this one held. Up to kSmallDemand always fits, and is
  // held without reading anything.
  bool reserve(std::uint64_t bytes);

 private:
  void release() noexcept;

  std::uint64_t bytes_ = 0;
};

// Whether `bytes` more fit, as reserve() decides, for memory that is not held apart (it is
// allocated as it is checked).
bool memory_fits(std::uint64_t bytes);

}  // namespace tolvane
