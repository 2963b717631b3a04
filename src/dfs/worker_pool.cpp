#include "dfs/worker_pool.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "support/panic.hpp"
#include "support/system_limits.hpp"

namespace tolvane {

std::size_t pool_size() {
  static const std::size_t size = pool_threads_wanted();
  return size;
}

namespace {

// Workers run short loops over records they own; they need little stack. Sanitizers need more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kWorkerStack = 8 << 20;
#else
constexpr std::size_t kWorkerStack = 512 << 10;
#endif

// Counts the forks this process descends from (since the pool was first made): a loop that sees
// it change is running in a child, where none of the parent's workers exist.
std::atomic<std::uint64_t> fork_generation{0};

// One loop owns the pool at a time. A call that finds it owned, by another thread or by an outer
// call on its own thread (a signal handler calling in again), runs its loop on its own thread:
// waiting for the pool while holding the interpreter lock could deadlock.
std::atomic<bool> pool_owned{false};

}  // namespace

struct ChunkLoop {
  ChunkLoop(std::size_t count, const std::function<void(std::size_t, ChunkRun&)>& body,
            const StopProbe& stop, const std::function<void(std::size_t)>& consume)
      : count(count), body(body), stop(stop), consume(consume), done(count), failures(count) {}

  const std::size_t count;
  const std::function<void(std::size_t, ChunkRun&)>& body;
  const StopProbe& stop;
  const std::function<void(std::size_t)>& consume;
  const std::uint64_t generation = fork_generation.load();
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> next_thread{1};  // numbers for the workers that join
  // Chunks after the lowest-numbered failed one are skipped or cut short; those before it still
  // run, so the failure reported is the same whatever the timing. Interruption stops them all.
  std::atomic<std::size_t> first_failed{SIZE_MAX};
  std::atomic<bool> interrupted{false};  // set by the calling thread only
  // Per chunk: finished (run, skipped or failed), and its failure. Each is written by the one
  // thread that ran the chunk, so no lock is needed, not even in a child of fork().
  std::vector<std::atomic<bool>> done;
  std::vector<std::exception_ptr> failures;
  std::atomic<std::uint32_t> finished{0};
  // The calling thread's own: chunks handed to `consume`, and what `consume` threw.
  std::size_t consumed = 0;
  std::exception_ptr consume_failure;

  bool orphaned() const { return fork_generation.load(std::memory_order_relaxed) != generation; }
  bool cancelled() const {
    return interrupted.load(std::memory_order_relaxed) ||
           first_failed.load(std::memory_order_relaxed) != SIZE_MAX;
  }

  void run(std::size_t i, std::size_t thread) {
    ChunkRun chunk(*this, i, thread);
    if (!chunk.stopping()) {
      try {
        body(i, chunk);
      } catch (...) {
        failures[i] = std::current_exception();
        std::size_t seen = first_failed.load(std::memory_order_relaxed);
        while (i < seen &&
               !first_failed.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
        }
      }
    }
    done[i].store(true, std::memory_order_release);
    finished.fetch_add(1, std::memory_order_release);
    if (thread != 0) finished.notify_all();
  }

  // Takes the next unclaimed chunk and runs it; false when none is left.
  bool run_next(std::size_t thread) {
    std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
    if (i >= count) return false;
    run(i, thread);
    return true;
  }

  // On the calling thread: hands over the finished chunks that follow those handed over already,
  // asking the stop probe between them. False once the loop is cancelled.
  bool consume_finished() {
    while (consumed < count && done[consumed].load(std::memory_order_acquire)) {
      if (cancelled()) return false;
      if (consume) {
        consume(consumed);
        if (stop && stop()) interrupted.store(true, std::memory_order_relaxed);
      }
      ++consumed;
    }
    return !cancelled();
  }

  // In a child of fork() made while the loop ran (by a signal handler run from the stop probe),
  // the parent's workers are gone, with whatever chunks they held: the calling thread runs every
  // chunk not finished. A chunk a worker had begun is run again from the start.
  void finish_alone() {
    for (std::size_t i = 0; i < count; ++i) {
      if (!done[i].load(std::memory_order_acquire)) run(i, 0);
    }
  }

  // The calling thread's part: runs chunks and hands finished ones to `consume`, until every
  // chunk is handed over or the loop is cancelled. Returns at once when forked mid-loop.
  void take_part() {
    try {
      while (!orphaned() && consume_finished()) {
        if (run_next(0)) continue;
        if (consumed == count) return;
        std::uint32_t seen = finished.load(std::memory_order_acquire);
        if (!done[consumed].load(std::memory_order_acquire)) {
          finished.wait(seen, std::memory_order_acquire);
        }
      }
      if (orphaned()) {
        finish_alone();
        consume_finished();
      }
    } catch (...) {
      // `consume` failed: the chunks still running stop early.
      consume_failure = std::current_exception();
      interrupted.store(true, std::memory_order_relaxed);
    }
  }

  void rethrow_failure() {
    if (consume_failure) std::rethrow_exception(consume_failure);
    if (interrupted.load()) throw Interrupted();
    if (std::size_t i = first_failed.load(); i != SIZE_MAX) std::rethrow_exception(failures[i]);
  }
};

bool ChunkRun::stopping() {
  if (thread_ == 0 && !loop_.interrupted.load(std::memory_order_relaxed) && loop_.stop &&
      loop_.stop()) {
    loop_.interrupted.store(true, std::memory_order_relaxed);
  }
  return loop_.interrupted.load(std::memory_order_relaxed) ||
         index_ > loop_.first_failed.load(std::memory_order_relaxed);
}

namespace {

// The process-wide threads. Workers sleep until a loop is published, take part in it until its
// chunks are all claimed, and sleep again, until the pool is stopped.
class Pool {
 public:
  // Makes up to `threads` - 1 workers (the calling thread is the last one): as many as the
  // process may create. None at all is a pool too; its loops run on the calling thread.
  explicit Pool(std::size_t threads) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kWorkerStack);
    // Workers block every signal (they inherit the mask): a signal meant for the process must
    // reach a Python thread, whose blocking call it interrupts and whose handlers it runs.
    sigset_t all, caller;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &caller);
    threads_.reserve(threads);
    tids_.reserve(threads);  // so that no worker allocates to add its own
    for (std::size_t i = 1; i < threads; ++i) {
      pthread_t thread;
      if (pthread_create(&thread, &attr, &Pool::worker_main, this) != 0) break;
      pthread_setname_np(thread, "tolvane-worker");
      threads_.push_back(thread);
    }
    pthread_sigmask(SIG_SETMASK, &caller, nullptr);
    pthread_attr_destroy(&attr);
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // With no loop running: ends the workers and waits until they are gone, from the kernel's
  // tables too. A join returns once a thread has let go of its stack; the kernel lists the thread
  // (in /proc, and in the thread count Python reads before it warns of a fork) until it has
  // finished exiting, a moment later natively and much later under an emulator.
  ~Pool() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      ++epoch_;
    }
    wake_.notify_all();
    for (pthread_t thread : threads_) pthread_join(thread, nullptr);
    const pid_t process = getpid();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    for (pid_t tid : tids_) {
      while (syscall(SYS_tgkill, process, tid, 0) == 0 &&
             std::chrono::steady_clock::now() < deadline) {
        sched_yield();
      }
    }
  }

  std::size_t workers() const { return threads_.size(); }

  void publish(ChunkLoop& loop) {
    {
      std::lock_guard lock(mutex_);
      loop_ = &loop;
      ++epoch_;
    }
    wake_.notify_all();
  }

  // Once every chunk is finished: waits until no worker still looks at the loop.
  void retire() {
    std::unique_lock lock(mutex_);
    loop_ = nullptr;
    left_.wait(lock, [&] { return inside_ == 0; });
  }

 private:
  static void* worker_main(void* self) {
    prepare_thread_for_exceptions();
    static_cast<Pool*>(self)->serve();
    return nullptr;
  }

  void serve() {
    std::uint64_t seen = 0;
    std::unique_lock lock(mutex_);
    tids_.push_back(static_cast<pid_t>(syscall(SYS_gettid)));
    for (;;) {
      wake_.wait(lock, [&] { return epoch_ != seen; });
      if (stopping_) return;
      seen = epoch_;
      ChunkLoop* loop = loop_;
      if (!loop) continue;
      ++inside_;
      lock.unlock();
      std::size_t thread = loop->next_thread.fetch_add(1, std::memory_order_relaxed);
      while (loop->run_next(thread)) {
      }
      lock.lock();
      if (--inside_ == 0) left_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, left_;
  std::uint64_t epoch_ = 0;
  ChunkLoop* loop_ = nullptr;
  std::size_t inside_ = 0;  // workers taking part in loop_
  bool stopping_ = false;
  std::vector<pthread_t> threads_;
  std::vector<pid_t> tids_;  // the workers' kernel thread ids, each added by its worker
};

Pool* shared_pool = nullptr;  // touched only by the owner of pool_owned

// A child of fork() has none of the parent's threads: forget (leak) the parent's pool so that the
// child makes its own on first use, and tell a loop that was running that it is alone now.
void forget_pool_in_child() {
  shared_pool = nullptr;
  pool_owned.store(false);
  fork_generation.fetch_add(1);
}

// The pool for a loop of `count` chunks, owned by the caller until release_pool(); null when the
// loop is to run on the calling thread.
Pool* acquire_pool(std::size_t count) {
  if (count < 2 || pool_size() < 2) return nullptr;
  if (pool_owned.exchange(true, std::memory_order_acquire)) return nullptr;
  if (!shared_pool) {
    static const bool registered = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
    (void)registered;
    try {
      shared_pool = new Pool(pool_size());
    } catch (...) {
      pool_owned.store(false, std::memory_order_release);
      throw;
    }
  }
  if (shared_pool->workers() == 0) {
    pool_owned.store(false, std::memory_order_release);
    return nullptr;
  }
  return shared_pool;
}

}  // namespace

std::uint64_t forks_seen() { return fork_generation.load(); }

void stop_idle_workers() {
  if (pool_owned.exchange(true, std::memory_order_acquire)) return;
  delete std::exchange(shared_pool, nullptr);
  pool_owned.store(false, std::memory_order_release);
}

void run_chunks(std::size_t count, const std::function<void(std::size_t, ChunkRun&)>& body,
                const StopProbe& stop, const std::function<void(std::size_t)>& consume,
                bool alone) {
  if (count > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  ChunkLoop loop(count, body, stop, consume);
  Pool* pool = alone ? nullptr : acquire_pool(count);
  if (pool) pool->publish(loop);
  loop.take_part();
  // Forked mid-loop, nothing of the pool may be touched here: its mutex may have been held by a
  // worker that does not exist in this process, and the child's pool is a new one.
  if (pool && !loop.orphaned()) {
    for (std::uint32_t f; (f = loop.finished.load(std::memory_order_acquire)) < count;) {
      loop.finished.wait(f, std::memory_order_acquire);
    }
    pool->retire();
    pool_owned.store(false, std::memory_order_release);
  }
  loop.rethrow_failure();
}

}  // namespace tolvane
