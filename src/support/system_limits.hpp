#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// What the system lets this process use: CPUs (affinity mask, control-group quota, the thread
// count the environment asks for) and memory (what the kernel can still give, the address-space
// limit). Read from the kernel's files each time; callers that need a value to stay put keep it.
namespace tolvane {

// The most threads a pool gets, whatever the environment asks for: more than any machine this
// runs on has CPUs, few enough that their stacks fit a modest address-space limit.
inline constexpr std::size_t kMaxPoolThreads = 1024;

// Pool sizing (at least 1, at most kMaxPoolThreads). `num_threads` and `num_cpus` are the raw
// values of RAYON_NUM_THREADS and RAYON_RS_NUM_CPUS (null when unset); `available` is the number
// of CPUs the process may use. A value that is not a decimal number counts as unset; a
// RAYON_NUM_THREADS of 0 means `available`, and RAYON_RS_NUM_CPUS is then not read.
std::size_t pool_size_from(const char* num_threads, const char* num_cpus, std::size_t available);

// CPU limit of the process's control group: quota / period rounded up, from the v1 cpu controller
// (cpu.cfs_quota_us, cpu.cfs_period_us) or else the v2 cpu.max files up the hierarchy. `root`
// prefixes every path read (tests point it at a fake tree).
std::optional<std::size_t> cgroup_cpu_limit(const std::string& root = "");

// CPUs the process may run on: its affinity mask, capped by its control group's quota.
std::size_t usable_cpus();

// pool_size_from() with this process's environment and usable_cpus().
std::size_t pool_threads_wanted();

// Whether an address-space limit (RLIMIT_AS) is set.
bool address_space_limited() noexcept;

// Bytes the process can still get: what the kernel reports as available (free memory plus what
// it can reclaim) plus free swap, the totals when /proc is not there; and no more than the
// address-space limit leaves.
std::uint64_t available_memory();

}  // namespace tolvane
