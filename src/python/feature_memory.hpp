#pragma once
// The memory of Feature objects and of the records they hold, as this build keeps it (see
// feature_memory.cpp): the glue between the Feature class and memory/record_memory.hpp.

#include <vector>

#include "memory/record_memory.hpp"
#include "python/ref.hpp"

namespace tolvane::py {

// Installs where records live (RecordMemory) for the process; the module's initialisation calls it
// before it makes its classes.
void install_feature_memory();

// The slots of the Feature class that this build's memory fills (allocation, freeing, dealloc).
std::vector<PyType_Slot> feature_memory_slots();

// Objects for the features of `batch`, built in order into the empty items [at, at + batch.size())
// of `list`.
void new_features_into(PyObject* list, Py_ssize_t at, SynthesizedBatch& batch);

// Applies the drops that Feature objects deferred: generate_features calls it before it starts.
void flush_deferred_drops() noexcept;

}  // namespace tolvane::py
