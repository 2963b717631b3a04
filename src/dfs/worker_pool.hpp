#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/interrupt.hpp"
#include "support/system_limits.hpp"

namespace tolvane {

// Threads of the process-wide pool (see pool_threads_wanted), worked out once.
std::size_t pool_size();

struct ChunkLoop;

// Handed to each chunk: long chunks call stopping() now and then and return early when it says so.
class ChunkRun {
 public:
  bool stopping();
  // Which of the loop's threads runs the chunk: 0 for the calling thread, then 1, 2, ... for the
  // workers that take part, always below pool_size(). Two chunks that run at the same time have
  // different numbers.
  std::size_t thread() const { return thread_; }

 private:
  friend struct ChunkLoop;
  ChunkRun(ChunkLoop& loop, std::size_t index, std::size_t thread)
      : loop_(loop), index_(index), thread_(thread) {}
  ChunkLoop& loop_;
  std::size_t index_;
  std::size_t thread_;
};

// Runs body(i) for every chunk i in [0, count) on the process-wide pool, the calling thread taking
// part. On the calling thread, `consume(i)` is called for each chunk in order as soon as it and
// every chunk before it have finished (the caller goes on running chunks while none is ready), and
// `stop` is consulted between chunks. A failure in a chunk cancels the chunks after it; after the
// loop the failure of `consume`, or Interrupted if `stop` fired, or the failure of the
// lowest-numbered failing chunk is rethrown here. Chunks at or after a failure are not consumed.
//
// The loop runs on the calling thread alone when the caller asks (`alone`: too little work to
// share), when the pool is owned by another loop (of any thread), when the pool has no workers
// (none could be created), and in a child of fork() made
// while it ran, which runs again any chunk a vanished worker had begun: `body` must be able to
// run a chunk again from the start, leaving nothing of the abandoned run behind that it relies on.
void run_chunks(std::size_t count, const std::function<void(std::size_t, ChunkRun&)>& body,
                const StopProbe& stop, const std::function<void(std::size_t)>& consume = {},
                bool alone = false);

// Ends the pool's workers when no loop is running, waiting until they are gone, so that a fork
// copies a process without threads of ours (the next loop makes new ones). While a loop runs (a
// fork from a signal handler in the middle of a call) it does nothing: the loop's child goes on
// alone, as run_chunks says.
void stop_idle_workers();

// How many forks this process descends from, as seen by the pool: a call that finds it changed
// after its loop was forked mid-loop, and only its calling thread went on in the child.
std::uint64_t forks_seen();

}  // namespace tolvane
