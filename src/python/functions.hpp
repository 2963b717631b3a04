#pragma once

#include <span>

#include "python/ref.hpp"

namespace tolvane::py {

// The module's functions, in registration order.
std::span<PyMethodDef* const> module_functions();

}  // namespace tolvane::py
