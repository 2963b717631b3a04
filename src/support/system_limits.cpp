#include "support/system_limits.hpp"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>
#include <vector>

#include "memory/huge_pages.hpp"

namespace tolvane {
namespace {

// A decimal integer (an optional '+' and digits, nothing else); anything else counts as unset.
std::optional<std::uint64_t> parse_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::uint64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<std::string> read_text(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string_view> split(std::string_view text, char sep) {
  std::vector<std::string_view> parts;
  for (std::size_t start = 0;;) {
    std::size_t end = text.find(sep, start);
    parts.push_back(text.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

// ceil(quota / period), or nothing for a missing, negative or zero quota or a zero period.
std::optional<std::size_t> quota_cpus(std::string_view quota, std::string_view period) {
  auto q = parse_decimal(quota);
  auto p = parse_decimal(period);
  if (!q || !p || *q == 0 || *p == 0) return std::nullopt;
  return static_cast<std::size_t>((*q + *p - 1) / *p);
}

// Without the line break and spaces that end a file of one value.
std::string_view trim_trailing_whitespace(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
  return s;
}

struct CgroupMount {
  std::string root;  // the hierarchy path mounted there
  std::string mount_point;
};

// The mount of the v1 hierarchy carrying `controller`, or of the v2 hierarchy when it is empty.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, std::string_view controller) {
  for (std::string_view line : split(mountinfo, '\n')) {
    auto fields = split(line, ' ');
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    std::string_view fstype = dash[1];
    if (controller.empty() ? fstype != "cgroup2" : fstype != "cgroup") continue;
    if (!controller.empty()) {
      auto options = split(dash[3], ',');
      if (std::find(options.begin(), options.end(), controller) == options.end()) continue;
    }
    return CgroupMount{std::string(fields[3]), std::string(fields[4])};
  }
  return std::nullopt;
}

// Where the group `path` (a hierarchy path) is, when the mount covers it. In a container the
// mount's root is the container's own group, and the path may name levels above it.
std::optional<CgroupPath> cgroup_path(const std::optional<CgroupMount>& m,
                                      std::optional<std::string_view> path) {
  if (!m || !path) return std::nullopt;
  std::string_view root = m->root;
  if (root == "/") root = {};
  if (path->substr(0, root.size()) != root) return std::nullopt;
  if (path->size() > root.size() && (*path)[root.size()] != '/') return std::nullopt;
  std::string_view rest = path->substr(root.size());
  if (rest == "/") rest = {};
  return CgroupPath{m->mount_point + std::string(rest), m->mount_point};
}

// Calls `visit` with the group's directory and then each ancestor's, up to the mount point.
template <class Visit>
void walk_up(const CgroupPath& group, Visit&& visit) {
  for (std::string d = group.dir;;) {
    visit(d);
    if (d.size() <= group.mount_point.size()) return;
    d.resize(d.rfind('/'));
  }
}

// A v1 group without a limit reads as the largest page-aligned counter value; nothing real is
// this large.
constexpr std::uint64_t kNoMemoryLimit = std::uint64_t{1} << 62;

// What each version names the files and the memory.stat counters read (v1's "total_" ones count
// the groups below too, as its usage does).
struct MemoryFiles {
  const char* limit;
  const char* usage;
  // The file lists; the page cache (shared memory included), of it shared memory, and the pages
  // locked in memory; of the page cache, the pages dirty and under writeback.
  std::string_view active_file, inactive_file, cache, shmem, unevictable, dirty, writeback;
};
constexpr MemoryFiles kMemoryV1{"/memory.limit_in_bytes",
                                "/memory.usage_in_bytes",
                                "total_active_file",
                                "total_inactive_file",
                                "total_cache",
                                "total_shmem",
                                "total_unevictable",
                                "total_dirty",
                                "total_writeback"};
constexpr MemoryFiles kMemoryV2{"/memory.max",   "/memory.current", "active_file", "inactive_file",
                                "file",          "shmem",           "unevictable", "file_dirty",
                                "file_writeback"};

// The file cache the kernel can take back without writing anything: the clean pages of both file
// lists, as the kernel's own estimate of available memory counts them. Shared memory and locked
// pages are not on those lists; memory freed lazily (MADV_FREE) is, and stays there once it is
// written again, in use, so only as much of the lists as the page cache holds counts.
std::uint64_t reclaimable_file_cache(std::string_view stat, const MemoryFiles& files) {
  std::uint64_t lists = 0, cache = 0, not_on_lists = 0, unclean = 0;
  for (std::string_view line : split(stat, '\n')) {
    std::size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    std::string_view key = line.substr(0, space);
    std::uint64_t value = parse_decimal(line.substr(space + 1)).value_or(0);
    if (key == files.active_file || key == files.inactive_file) lists += value;
    if (key == files.cache) cache = value;
    if (key == files.shmem || key == files.unevictable) not_on_lists += value;
    if (key == files.dirty || key == files.writeback) unclean += value;
  }
  std::uint64_t clean = std::min(lists, cache > not_on_lists ? cache - not_on_lists : 0);
  return clean > unclean ? clean - unclean : 0;
}

// What one group still allows, when it sets a limit.
template <class FreedLazily>
std::optional<std::uint64_t> group_headroom(const std::string& dir, const MemoryFiles& files,
                                            FreedLazily&& freed_lazily) {
  auto limit_text = read_text(dir + files.limit);
  if (!limit_text) return std::nullopt;
  auto limit = parse_decimal(trim_trailing_whitespace(*limit_text));  // "max": none
  if (!limit || *limit >= kNoMemoryLimit) return std::nullopt;
  std::uint64_t used = 0;
  if (auto text = read_text(dir + files.usage)) {
    used = parse_decimal(trim_trailing_whitespace(*text)).value_or(0);
  }
  std::uint64_t free_in_use = freed_lazily();
  if (auto stat = read_text(dir + "/memory.stat"))
    free_in_use += reclaimable_file_cache(*stat, files);
  used = used > free_in_use ? used - free_in_use : 0;
  return *limit > used ? *limit - used : 0;
}

}  // namespace

std::size_t pool_size_from(const char* num_threads, const char* num_cpus, std::size_t available) {
  std::uint64_t n = available;
  if (auto threads = num_threads ? parse_decimal(num_threads) : std::nullopt) {
    if (*threads > 0) n = *threads;
  } else if (auto cpus = num_cpus ? parse_decimal(num_cpus) : std::nullopt; cpus && *cpus > 0) {
    n = *cpus;
  }
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(n, 1, kMaxPoolThreads));
}

ProcessCgroups find_cgroups(const std::string& root) {
  auto cgroups = read_text(root + "/proc/self/cgroup");
  auto mountinfo = read_text(root + "/proc/self/mountinfo");
  if (!cgroups || !mountinfo) {
    // Without /proc (a chroot, a sandbox that does not mount it) the process's group cannot be
    // named. A container's cgroup namespace shows its own group as the root of each hierarchy, at
    // the usual mount points; outside one, the roots set no limit.
    return {std::nullopt, CgroupPath{"/sys/fs/cgroup/memory", "/sys/fs/cgroup/memory"},
            CgroupPath{"/sys/fs/cgroup", "/sys/fs/cgroup"}};
  }
  std::optional<std::string_view> cpu_path, memory_path, unified_path;
  for (std::string_view line : split(*cgroups, '\n')) {
    std::size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string_view::npos || b == std::string_view::npos) continue;
    std::string_view controllers = line.substr(a + 1, b - a - 1);
    std::string_view path = line.substr(b + 1);
    if (line.substr(0, a) == "0" && controllers.empty()) unified_path = path;
    auto list = split(controllers, ',');
    if (std::find(list.begin(), list.end(), "cpu") != list.end()) cpu_path = path;
    if (std::find(list.begin(), list.end(), "memory") != list.end()) memory_path = path;
  }
  ProcessCgroups out;
  if (cpu_path) out.cpu_v1 = cgroup_path(find_mount(*mountinfo, "cpu"), cpu_path);
  if (memory_path) out.memory_v1 = cgroup_path(find_mount(*mountinfo, "memory"), memory_path);
  if (unified_path) out.unified = cgroup_path(find_mount(*mountinfo, ""), unified_path);
  return out;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
  ProcessCgroups groups = find_cgroups(root);
  if (groups.cpu_v1) {
    auto quota = read_text(root + groups.cpu_v1->dir + "/cpu.cfs_quota_us");
    auto period = read_text(root + groups.cpu_v1->dir + "/cpu.cfs_period_us");
    if (quota && period)
      return quota_cpus(trim_trailing_whitespace(*quota), trim_trailing_whitespace(*period));
    return std::nullopt;
  }
  if (!groups.unified) return std::nullopt;
  // A quota anywhere above applies too: the smallest one wins.
  std::optional<std::size_t> limit;
  walk_up(*groups.unified, [&](const std::string& d) {
    if (auto text = read_text(root + d + "/cpu.max")) {
      auto fields = split(trim_trailing_whitespace(*text), ' ');
      if (fields.size() == 2) {
        if (auto n = quota_cpus(fields[0], fields[1])) limit = limit ? std::min(*limit, *n) : *n;
      }
    }
  });
  return limit;
}

std::optional<std::uint64_t> cgroup_memory_headroom(const ProcessCgroups& groups,
                                                    const std::string& root,
                                                    std::uint64_t (*freed_lazily)()) {
  std::optional<std::uint64_t> headroom;
  auto take = [&](std::optional<std::uint64_t> h) {
    if (h) headroom = headroom ? std::min(*headroom, *h) : *h;
  };
  // Asked once, and only of a group that sets a limit.
  std::optional<std::uint64_t> lazily;
  auto freed = [&] {
    if (!lazily) lazily = freed_lazily ? freed_lazily() : 0;
    return *lazily;
  };
  // Usage is counted for the group and everything below it, in both versions.
  if (groups.memory_v1) {
    walk_up(*groups.memory_v1,
            [&](const std::string& d) { take(group_headroom(root + d, kMemoryV1, freed)); });
  }
  if (groups.unified) {
    walk_up(*groups.unified,
            [&](const std::string& d) { take(group_headroom(root + d, kMemoryV2, freed)); });
  }
  return headroom;
}

std::size_t usable_cpus() {
  std::size_t available = 1;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    available = static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
  } else {
    available = std::max(std::thread::hardware_concurrency(), 1u);
  }
  if (auto limit = cgroup_cpu_limit(); limit && *limit < available) available = *limit;
  return std::max<std::size_t>(available, 1);
}

std::size_t pool_threads_wanted() {
  return pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                        usable_cpus());
}

bool address_space_limited() noexcept {
  rlimit limit{};
  return getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
}

std::uint64_t available_memory() {
  static const ProcessCgroups groups = find_cgroups();
  static const auto page_size = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  std::uint64_t memory = std::numeric_limits<std::uint64_t>::max();
  std::ifstream meminfo("/proc/meminfo");
  std::uint64_t available = 0, swap_free = 0;
  bool found = false;
  for (std::string key; meminfo >> key;) {
    std::uint64_t kib = 0;
    meminfo >> kib;
    if (key == "MemAvailable:") available = kib * 1024, found = true;
    if (key == "SwapFree:") swap_free = kib * 1024;
    meminfo.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
  }
  struct sysinfo info {};
  if (found) {
    memory = available + swap_free;
  } else if (sysinfo(&info) == 0) {
    // Free memory alone: what the kernel could reclaim besides is not known here.
    memory = (static_cast<std::uint64_t>(info.freeram) + info.freeswap) * info.mem_unit;
  }
  struct rlimit limit {};
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    // What is mapped already counts against the limit; without /proc it is not known.
    std::uint64_t mapped_pages = 0;
    std::ifstream("/proc/self/statm") >> mapped_pages;
    std::uint64_t mapped = mapped_pages * page_size;
    memory = std::min<std::uint64_t>(memory, limit.rlim_cur > mapped ? limit.rlim_cur - mapped : 0);
  }
  if (auto headroom = cgroup_memory_headroom(groups, "", kept_bytes_in_memory)) {
    memory = std::min(memory, *headroom);
  }
  return memory;
}

namespace {

// What the reservations of the process hold, and of it those of this thread.
std::atomic<std::uint64_t> reserved{0};
thread_local std::uint64_t reserved_here = 0;

// A child of fork() has only the thread that forked: the others' calls are not running there.
void keep_own_reservations_in_child() { reserved.store(reserved_here, std::memory_order_relaxed); }

bool fits(std::uint64_t bytes, std::uint64_t available, std::uint64_t held) {
  return held < available && bytes <= available - held;
}

}  // namespace

bool MemoryReservation::reserve(std::uint64_t bytes) {
  static const bool registered =
      (pthread_atfork(nullptr, nullptr, keep_own_reservations_in_child), true);
  (void)registered;
  release();
  if (bytes > kSmallDemand) {
    // Read once; the sum is checked again if another reservation changes it meanwhile.
    const std::uint64_t available = available_memory();
    std::uint64_t held = reserved.load(std::memory_order_relaxed);
    do {
      if (!fits(bytes, available, held)) return false;
    } while (!reserved.compare_exchange_weak(held, held + bytes, std::memory_order_relaxed));
  } else {
    reserved.fetch_add(bytes, std::memory_order_relaxed);
  }
  reserved_here += bytes;
  bytes_ = bytes;
  return true;
}

void MemoryReservation::release() noexcept {
  if (bytes_ == 0) return;
  reserved.fetch_sub(bytes_, std::memory_order_relaxed);
  reserved_here -= bytes_;
  bytes_ = 0;
}

bool memory_fits(std::uint64_t bytes) {
  return bytes <= kSmallDemand ||
         fits(bytes, available_memory(), reserved.load(std::memory_order_relaxed));
}

}  // namespace tolvane
