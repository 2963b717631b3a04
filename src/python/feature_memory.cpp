#include "python/feature_memory.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <utility>

#include "memory/object_arena.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"

// What malloc can give back: only glibc's can be asked to.
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tolvane::py {
namespace {

// The build's choice, one decision for everything below.
// - Feature objects come by the million, so with the interpreter lock they get an allocator of
//   their own (the object arena), and each new feature of generate_features is made in a cell: its
//   object and its record in one allocation, which one free gives back (rule 4 of
//   memory/record_memory.hpp). The record of a cell starts with two references, the object's (its
//   value) and the cell's, which the object keeps whatever value it is given later: the cell's
//   memory lasts until both the object and the record are gone.
// - A free-threaded interpreter reads the headers of objects that other threads may be freeing,
//   which it allows only in memory of its own allocator: there, objects and records are apart, and
//   records come from malloc, which is asked now and then to give freed pages back.
// - The sanitizer builds make each cell on the heap, and other objects with the interpreter's
//   allocator, so that they see every one.
#if defined(Py_GIL_DISABLED)
constexpr bool kFreeThreaded = true;
#else
constexpr bool kFreeThreaded = false;
#endif
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr bool kCells = !kFreeThreaded;
constexpr bool kObjectArena = kCells && !kSanitized;
#if defined(__GLIBC__)
constexpr bool kTrimmedDealloc = kFreeThreaded;
void give_freed_pages_back() noexcept { malloc_trim(0); }
#else
constexpr bool kTrimmedDealloc = false;
void give_freed_pages_back() noexcept {}
#endif

// Constant-initialised and never destroyed (their destructors are trivial): they live as long as
// objects may, and cost no guard on the paths that make and free millions of objects. Used with
// the interpreter lock held only.
constinit ObjectArena arena;
constinit DeferredDrops deferred;

static_assert(sizeof(FeatureObject) % alignof(Feature) == 0);
// Cells hold records of up to a few dozen bases; larger ones are made apart.
constexpr std::size_t kMaxCell = 256;
static_assert(kMaxCell <= ObjectArena::kMaxCell);

const Feature* home_record(FeatureObject* obj) noexcept {
  return reinterpret_cast<const Feature*>(obj + 1);
}

void* allocate_cell(std::size_t size) noexcept {
  if constexpr (kObjectArena) return arena.allocate(size);
  return ::operator new(size, std::nothrow);
}

void free_cell(FeatureObject* cell) noexcept {
  if constexpr (kObjectArena) {
    arena.release(cell);
  } else {
    ::operator delete(cell);
  }
}

// A cell's record outlived its object, and has now gone too.
void release_cell_of(const Feature* record) noexcept {
  assert_interpreter_lock_held();
  free_cell(reinterpret_cast<FeatureObject*>(const_cast<Feature*>(record)) - 1);
}

// Records made outside cells (roots above all: a million fake features is a common start) come
// from the arena too: from malloc, a million freed records land in its fast lists, which its next
// large request then sweeps one by one. Records are made and dropped with the interpreter lock
// held, as the arena needs.
void* allocate_record(std::size_t size) noexcept {
  assert_interpreter_lock_held();
  return size <= kMaxCell ? arena.allocate(size) : nullptr;
}

void release_record(const Feature* record) noexcept {
  assert_interpreter_lock_held();
  arena.release(const_cast<Feature*>(record));
}

PyObject* feature_alloc(PyTypeObject* type, Py_ssize_t) {
  void* memory = arena.allocate(sizeof(FeatureObject));
  if (!memory) return PyErr_NoMemory();
  std::memset(memory, 0, sizeof(FeatureObject));
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

void feature_free(void* o) { arena.release(o); }

// An object apart from its record, or one whose record something else holds. Its record is dropped
// through the deferred drops, so that a widely shared one goes as soon as nothing else holds it.
[[gnu::noinline]] void dealloc_slowly(FeatureObject* obj, PyTypeObject* type) noexcept {
  if (const Feature* value = obj->value.release()) deferred.drop(value);
  if (!obj->assigners.marked()) {
    type->tp_free(obj);
  } else {
    // The record lives on while anything else holds it, and the cell with it.
    deferred.drop(home_record(obj));
  }
}

// With cells: an object made with its record (marked), and holding it still with nothing else
// holding it, goes with its cell, its record's references on bases and primitive deferred.
void cell_dealloc(PyObject* o) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  auto* obj = as_object<FeatureRef>(o);
  const Feature* home = home_record(obj);
  if (obj->assigners.marked() && obj->value.get() == home && home->refs() == 2) {
    (void)obj->value.release();
    Feature::take_apart(
        home, [&](std::span<const Feature* const> bases) { deferred.drop(bases); },
        [&](const Primitive* p) { deferred.drop(p); });
    free_cell(obj);
  } else {
    dealloc_slowly(obj, type);
  }
  Py_DECREF(type);
}

// Without cells, records come from malloc, which keeps small freed blocks on lists of its own and
// gives none of their pages back: a process that dropped a few million features would keep their
// memory, and one in a container would be killed for memory it does not use. Every 2^18 drops on a
// thread (at least 16 MiB of records), malloc gives back what it can: about a millisecond each
// time.
void trimmed_dealloc(PyObject* o) noexcept {
  dealloc_object<FeatureRef>(o);
  thread_local std::uint32_t drops = 0;
  if (++drops == 1u << 18) {
    drops = 0;
    give_freed_pages_back();
  }
}

}  // namespace

void install_feature_memory() {
  install_record_memory(kCells ? RecordMemory{release_cell_of,
                                              kObjectArena ? allocate_record : nullptr,
                                              kObjectArena ? release_record : nullptr}
                               : RecordMemory{});
}

std::vector<PyType_Slot> feature_memory_slots() {
  // Every candidate named, each with whether this build has it (so that none goes unused).
  const std::pair<bool, PyType_Slot> candidates[] = {
      {kObjectArena, {Py_tp_alloc, reinterpret_cast<void*>(feature_alloc)}},
      {kObjectArena, {Py_tp_free, reinterpret_cast<void*>(feature_free)}},
      {kCells, {Py_tp_dealloc, reinterpret_cast<void*>(cell_dealloc)}},
      {kTrimmedDealloc, {Py_tp_dealloc, reinterpret_cast<void*>(trimmed_dealloc)}},
  };
  std::vector<PyType_Slot> slots;
  for (const auto& [in_build, slot] : candidates) {
    if (in_build) slots.push_back(slot);
  }
  return slots;
}

void new_features_into(PyObject* list, Py_ssize_t at, SynthesizedBatch& batch) {
  const std::size_t n = batch.size();
  if (const std::size_t size = sizeof(FeatureObject) + batch.record_size();
      kCells && size <= kMaxCell) {
    PyTypeObject* type = feature_type();
    for (std::size_t i = 0; i < n; ++i) {
      auto* obj = static_cast<FeatureObject*>(allocate_cell(size));
      if (!obj) throw std::bad_alloc();
      const Feature* record = batch.build_next_in_cell(obj + 1);
      PyObject_Init(&obj->ob_base, type);
      obj->assigners = {};
      obj->assigners.mark();
      new (&obj->value) FeatureRef(FeatureRef::adopt(record));
      PyList_SET_ITEM(list, at++, &obj->ob_base);
    }
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list, at++, new_feature(FeatureRef::adopt(batch.build_next())).release());
  }
}

void flush_deferred_drops() noexcept {
  if constexpr (kCells) deferred.flush_all();
}

}  // namespace tolvane::py
