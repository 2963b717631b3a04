#include "dfs/worker_pool.hpp"

#include <pthread.h>
#include <pthreadpool.h>
#include <sched.h>

#include <algorithm>
#include <charconv>
#include <exception>
#include <fstream>
#include <mutex>
#include <new>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

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

std::string_view trim_newline(std::string_view s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.remove_suffix(1);
  return s;
}

struct CgroupMount {
  std::string root;         // the hierarchy path mounted there
  std::string mount_point;
};

// The mount of the v1 hierarchy carrying the cpu controller, or of the v2 hierarchy.
std::optional<CgroupMount> find_mount(std::string_view mountinfo, bool v2) {
  for (std::string_view line : split(mountinfo, '\n')) {
    auto fields = split(line, ' ');
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    std::string_view fstype = dash[1];
    if (v2 ? fstype != "cgroup2" : fstype != "cgroup") continue;
    if (!v2) {
      auto options = split(dash[3], ',');
      if (std::find(options.begin(), options.end(), "cpu") == options.end()) continue;
    }
    return CgroupMount{std::string(fields[3]), std::string(fields[4])};
  }
  return std::nullopt;
}

// The directory of `path` (a hierarchy path) under a mount, when the mount covers it.
std::optional<std::string> cgroup_dir(const CgroupMount& m, std::string_view path) {
  std::string_view root = m.root == "/" ? "" : m.root;
  if (path.substr(0, root.size()) != root) return std::nullopt;
  return m.mount_point + std::string(path.substr(root.size()));
}

}  // namespace

std::size_t pool_size_from(const char* num_threads, const char* num_cpus, std::size_t available) {
  if (auto n = num_threads ? parse_decimal(num_threads) : std::nullopt) {
    return *n > 0 ? static_cast<std::size_t>(*n) : available;
  }
  if (auto n = num_cpus ? parse_decimal(num_cpus) : std::nullopt; n && *n > 0) {
    return static_cast<std::size_t>(*n);
  }
  return available;
}

std::optional<std::size_t> cgroup_cpu_limit(const std::string& root) {
  auto cgroups = read_text(root + "/proc/self/cgroup");
  auto mountinfo = read_text(root + "/proc/self/mountinfo");
  if (!cgroups || !mountinfo) return std::nullopt;
  std::optional<std::string_view> v1_path, v2_path;
  for (std::string_view line : split(*cgroups, '\n')) {
    std::size_t a = line.find(':'), b = line.find(':', a + 1);
    if (a == std::string_view::npos || b == std::string_view::npos) continue;
    std::string_view controllers = line.substr(a + 1, b - a - 1);
    std::string_view path = line.substr(b + 1);
    if (line.substr(0, a) == "0" && controllers.empty()) v2_path = path;
    auto list = split(controllers, ',');
    if (std::find(list.begin(), list.end(), "cpu") != list.end()) v1_path = path;
  }
  if (v1_path) {
    if (auto m = find_mount(*mountinfo, false)) {
      if (auto dir = cgroup_dir(*m, *v1_path)) {
        auto quota = read_text(root + *dir + "/cpu.cfs_quota_us");
        auto period = read_text(root + *dir + "/cpu.cfs_period_us");
        if (quota && period) return quota_cpus(trim_newline(*quota), trim_newline(*period));
        return std::nullopt;
      }
    }
  }
  if (!v2_path) return std::nullopt;
  auto m = find_mount(*mountinfo, true);
  if (!m) return std::nullopt;
  auto dir = cgroup_dir(*m, *v2_path);
  if (!dir) return std::nullopt;
  // A quota anywhere above applies too: the smallest one wins.
  std::optional<std::size_t> limit;
  for (std::string d = *dir;;) {
    if (auto text = read_text(root + d + "/cpu.max")) {
      auto fields = split(trim_newline(*text), ' ');
      if (fields.size() == 2) {
        if (auto n = quota_cpus(fields[0], fields[1])) limit = limit ? std::min(*limit, *n) : *n;
      }
    }
    if (d.size() <= m->mount_point.size()) break;
    d.resize(d.rfind('/'));
  }
  return limit;
}

std::size_t pool_size() {
  static const std::size_t size = [] {
    std::size_t available = 1;
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
      available = static_cast<std::size_t>(std::max(CPU_COUNT(&set), 1));
    } else {
      available = std::max(std::thread::hardware_concurrency(), 1u);
    }
    if (auto limit = cgroup_cpu_limit(); limit && *limit < available) available = *limit;
    return pool_size_from(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                          std::max<std::size_t>(available, 1));
  }();
  return size;
}

namespace {

std::mutex pool_mutex;
pthreadpool_t shared_pool = nullptr;
bool pool_failed = false;

// A child of fork() has none of the parent's threads: forget (leak) the parent's pool so that the
// child makes its own on first use.
void forget_pool_in_child() {
  shared_pool = nullptr;
  pool_failed = false;
  new (&pool_mutex) std::mutex();
}

// Null for a pool of one thread: the loop then runs on the calling thread alone. So it does when
// the threads cannot be made (an absurd size from the environment): slower, but the answer is
// the same.
pthreadpool_t pool() {
  if (pool_size() <= 1) return nullptr;
  std::lock_guard lock(pool_mutex);
  if (!shared_pool && !pool_failed) {
    static const bool registered = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
    (void)registered;
    shared_pool = pthreadpool_create(pool_size());
    pool_failed = !shared_pool;
  }
  return shared_pool;
}

}  // namespace

struct ChunkLoop {
  ChunkLoop(const std::function<void(std::size_t, ChunkRun&)>& body, const StopProbe& stop)
      : body(body), stop(stop) {}

  const std::function<void(std::size_t, ChunkRun&)>& body;
  const StopProbe& stop;
  std::thread::id caller = std::this_thread::get_id();
  // Chunks after the lowest-numbered failed one are skipped or cut short; those before it still
  // run, so the failure reported is the same whatever the timing. Interruption stops them all.
  std::atomic<std::size_t> first_failed{SIZE_MAX};
  std::atomic<bool> interrupted{false};  // set by the calling thread only
  std::mutex failure_mutex;
  std::exception_ptr failure;
  // The pool already orders the caller's writes before the chunks and the chunks before its
  // return, but inside a library that sanitizers cannot see; these two edges state it in ours.
  std::atomic<bool> published{false};
  std::atomic<std::size_t> finished{0};

  void run(std::size_t i) {
    (void)published.load(std::memory_order_acquire);
    ChunkRun chunk(*this, i, std::this_thread::get_id() == caller);
    if (!chunk.stopping()) {
      try {
        body(i, chunk);
      } catch (...) {
        std::lock_guard lock(failure_mutex);
        if (i < first_failed.load(std::memory_order_relaxed)) {
          first_failed.store(i, std::memory_order_relaxed);
          failure = std::current_exception();
        }
      }
    }
    finished.fetch_add(1, std::memory_order_release);
  }

  static void task(void* self, std::size_t i) { static_cast<ChunkLoop*>(self)->run(i); }
};

bool ChunkRun::stopping() {
  if (on_caller_ && !loop_.interrupted.load(std::memory_order_relaxed) && loop_.stop && loop_.stop()) {
    loop_.interrupted.store(true, std::memory_order_relaxed);
  }
  return loop_.interrupted.load(std::memory_order_relaxed) ||
         index_ > loop_.first_failed.load(std::memory_order_relaxed);
}

void run_chunks(std::size_t count, const std::function<void(std::size_t, ChunkRun&)>& body,
                const StopProbe& stop) {
  // The stop probe may run Python signal handlers on this thread, and a handler may call in again
  // while the pool is busy with this loop: the nested loop then runs on this thread alone.
  thread_local bool in_loop = false;
  pthreadpool_t threads = count > 1 && !in_loop ? pool() : nullptr;
  struct Nesting {
    bool& flag;
    bool outer;
    ~Nesting() { flag = outer; }
  } nesting{in_loop, std::exchange(in_loop, true)};
  ChunkLoop loop(body, stop);
  loop.published.store(true, std::memory_order_release);
  pthreadpool_parallelize_1d(threads, &ChunkLoop::task, &loop, count, PTHREADPOOL_FLAG_YIELD_WORKERS);
  (void)loop.finished.load(std::memory_order_acquire);
  if (loop.interrupted) throw Interrupted();
  if (loop.failure) std::rethrow_exception(loop.failure);
}

}  // namespace tolvane
