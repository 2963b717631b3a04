#pragma once

#include <exception>
#include <functional>

namespace tolvane {

// Asked now and then, on the calling thread, whether to give up the operation in progress. The
// binding layer answers from pending signals, whose Python handlers run inside the probe and may
// leave an exception set. True means stop.
using StopProbe = std::function<bool()>;

// The stop probe said stop: the operation was abandoned and its partial results dropped. Whatever
// the probe's handlers raised is already set on the Python side.
struct Interrupted : std::exception {
  const char* what() const noexcept override { return "interrupted"; }
};

}  // namespace tolvane
