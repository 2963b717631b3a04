#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "feature/feature.hpp"
#include "feature/feature_file.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/object_arena.hpp"
#include "python/objects.hpp"
#include "support/failure_texts.hpp"
#include "support/panic.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tolvane::py {
namespace {

constexpr const char* kNewParameters[] = {"name", "lt", "st", "base_features",
                                          "generating_primitive"};
constexpr Signature kNew = {"Feature.__new__()", kNewParameters, 3};

PyObject* feature_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    auto [name, lt, st, bases, primitive] =
        BoundArgs(kNew, args, kwargs)
            .convert(to_text, to_text, to_text, to_optional<to_features>,
                     to_optional<to_primitive>);
    ColumnSchema schema{parse_logical_type(lt).value_or(LogicalType::Unknown),
                        parse_logical_type(st).value_or(LogicalType::Unknown)};
    if (bases.has_value() != primitive.has_value()) panic(std::string(kBasesWithoutPrimitive));
    std::vector<const Feature*> base_pointers =
        bases ? pointers(*bases) : std::vector<const Feature*>{};
    return new_object(
        type, build_feature(name, schema, primitive ? primitive->get() : nullptr, base_pointers));
  });
}

PyObject* feature_str(PyObject* self) {
  return frame([&] { return new_text(feature_text(*read_value<FeatureRef>(self))); });
}

Ref not_implemented() { return Ref::borrow(Py_NotImplemented); }

PyObject* feature_richcompare(PyObject* self, PyObject* other, int op) {
  return frame([&] {
    if (!PyObject_TypeCheck(self, feature_type())) return not_implemented();
    bool comparable = PyObject_TypeCheck(other, feature_type());
    // Both records are read in place, under both objects' guards.
    PairGuard guard(self, comparable ? other : self);
    auto* left = as_object<FeatureRef>(self);
    check_readable(left);
    if (!comparable) return not_implemented();
    auto* right = as_object<FeatureRef>(other);
    if (being_assigned_here(right)) return not_implemented();
    const Feature& a = *left->value;
    const Feature& b = *right->value;
    bool result;
    // clang-format off
    switch (op) {
      case Py_EQ: result = same_id(a, b); break;
      case Py_NE: result = !same_id(a, b); break;
      case Py_LT: result = id_less(a, b); break;
      case Py_LE: result = !id_less(b, a); break;
      case Py_GT: result = id_less(b, a); break;
      case Py_GE: result = !id_less(a, b); break;
      default: return not_implemented();
    }
    // clang-format on
    return Ref::borrow(result ? Py_True : Py_False);
  });
}

PyObject* get_name(PyObject* self, void*) {
  return frame([&] {
    // Written under the guard, without touching the record's count; most names fit the buffer.
    char buffer[256];
    std::size_t size = 0;
    std::string long_name;
    use_value<FeatureRef>(self, [&](const FeatureRef& f) {
      size = f->write_name(buffer, sizeof buffer);
      if (size > sizeof buffer) f->append_name(long_name);
    });
    return new_text(size <= sizeof buffer ? std::string_view(buffer, size) : long_name);
  });
}

// Names are read by the million (a comprehension over a result): `f.name`, whose attribute name is
// the interned "name", skips the type's lookup of its descriptor. Any other attribute, or "name"
// spelt by a string that is not the interned one, takes the usual way. Interned with the class.
PyObject* interned_name = nullptr;

PyObject* feature_getattro(PyObject* self, PyObject* attribute) {
  if (attribute == interned_name) return get_name(self, nullptr);
  return PyObject_GenericGetAttr(self, attribute);
}

int set_name(PyObject* self, PyObject* value, void*) {
  return replace_record<FeatureRef>(
      self, value, to_text,
      [](const Feature& f, const std::string& name) { return with_name(f, name); });
}

PyObject* get_base_features(PyObject* self, void*) {
  return frame([&] {
    FeatureRef f = read_value<FeatureRef>(self);
    return new_feature_list(f->base_features());
  });
}

int set_base_features(PyObject* self, PyObject* value, void*) {
  return replace_record<FeatureRef>(self, value, to_features,
                                    [](const Feature& f, const std::vector<FeatureRef>& bases) {
                                      return with_base_features(f, pointers(bases));
                                    });
}

PyObject* get_generating_primitive(PyObject* self, void*) {
  return frame([&] {
    FeatureRef f = read_value<FeatureRef>(self);
    const Primitive* p = f->generating_primitive();
    return p ? new_primitive(PrimitiveRef::share(p)) : Ref::borrow(Py_None);
  });
}

// None as a null reference.
PrimitiveRef to_primitive_or_none(PyObject* o) {
  return o == Py_None ? PrimitiveRef() : to_primitive(o);
}

int set_generating_primitive(PyObject* self, PyObject* value, void*) {
  return replace_record<FeatureRef>(self, value, to_primitive_or_none,
                                    [](const Feature& f, const PrimitiveRef& p) {
                                      return with_generating_primitive(f, p.get());
                                    });
}

constexpr const char* kSaveParameters[] = {"features", "filename"};
constexpr Signature kSave = {"Feature.save_features()", kSaveParameters, 2};

Ref save_features_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto [features, filename] = BoundArgs(kSave, args, nargsf, kwnames).convert(to_features, to_text);
  save_features(features, filename, python_signal_raised);
  return Ref::borrow(Py_None);
}

// Feature objects come by the million, so with the interpreter lock (no free-threaded build) they
// get an allocator of their own, and each new feature of generate_features is made in a cell: its
// object and its record in one allocation, which one free gives back. The record of a cell starts
// with two references, the object's (its value) and the cell's, which the object keeps whatever
// value it is given later: the cell's memory lasts until both the object and the record are gone.
// The sanitizer builds make each cell on the heap, and other objects with the interpreter's
// allocator, so that they see every one. A free-threaded interpreter reads the headers of objects
// that other threads may be freeing, which it allows only in memory of its own allocator: there,
// objects and records are apart.
#if !defined(Py_GIL_DISABLED)
#define TOLVANE_CELLS 1
#if !defined(__SANITIZE_ADDRESS__)
#define TOLVANE_OBJECT_ARENA 1
#endif
#endif

#ifdef TOLVANE_OBJECT_ARENA
// Constant-initialised and never destroyed (its destructor is trivial): it lives as long as
// objects may, and costs no guard on the paths that make and free millions of objects.
constinit ObjectArena feature_objects_arena;
ObjectArena& feature_objects() { return feature_objects_arena; }

PyObject* feature_alloc(PyTypeObject* type, Py_ssize_t) {
  void* memory = feature_objects().allocate(sizeof(FeatureObject));
  if (!memory) return PyErr_NoMemory();
  std::memset(memory, 0, sizeof(FeatureObject));
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

void feature_free(void* o) { feature_objects().release(o); }
#endif

#ifdef TOLVANE_CELLS
static_assert(sizeof(FeatureObject) % alignof(Feature) == 0);

const Feature* home_record(FeatureObject* obj) noexcept {
  return reinterpret_cast<const Feature*>(obj + 1);
}

// Cells hold records of up to a few dozen bases; larger ones are made apart.
constexpr std::size_t kMaxCell = 256;

void* allocate_cell(std::size_t size) noexcept {
#ifdef TOLVANE_OBJECT_ARENA
  static_assert(kMaxCell <= ObjectArena::kMaxCell);
  return feature_objects().allocate(size);
#else
  return ::operator new(size, std::nothrow);
#endif
}

void free_cell(FeatureObject* cell) noexcept {
#ifdef TOLVANE_OBJECT_ARENA
  feature_objects().release(cell);
#else
  ::operator delete(cell);
#endif
}

// A cell's record outlived its object, and has now gone too.
void release_cell_of(const Feature* record) noexcept {
  assert_interpreter_lock_held();
  free_cell(reinterpret_cast<FeatureObject*>(const_cast<Feature*>(record)) - 1);
}

#ifdef TOLVANE_OBJECT_ARENA
// Records made outside cells (roots above all: a million fake features is a common start) come
// from the same arena: from malloc, a million freed records land in its fast lists, which its
// next large request then sweeps one by one. Records are made and dropped with the interpreter
// lock held, as the arena needs.
void* allocate_record(std::size_t size) noexcept {
  assert_interpreter_lock_held();
  return size <= kMaxCell ? feature_objects().allocate(size) : nullptr;
}

void release_record(const Feature* record) noexcept {
  assert_interpreter_lock_held();
  feature_objects().release(const_cast<Feature*>(record));
}
#endif

// Drops of references that many records share (the inputs of a call, each held by thousands of its
// new features; their primitives), merged and applied in bulk: dropping a result of millions of
// features then costs an atomic operation per input, not three per feature. Cells whose records
// die with their objects defer their drops, and only those of records held at least kShared times,
// so that nothing but widely shared records waits here, a bounded number of them. A feature's
// drops are applied as soon as they are all that holds it, so that it is freed when its last
// holder lets go: Feature objects drop their records here too, whichever of them and the new
// features goes last. Under the interpreter lock; generate_features applies what waits before it
// starts, which is when the rest goes: a primitive's record, and a feature whose last other holder
// let go elsewhere (a record made apart from its object, an object given a new value).
class DeferredDrops {
 public:
  void drop(const Feature* f) noexcept {
    const std::size_t index = slot_of(f);
    Slot<Feature>& slot = features_[index];
    if (slot.target != f) return take(index, f);
    if (++slot.count == kMaxCount || slot.count == f->refs()) flush(slot);
  }
  void drop(std::span<const Feature* const> bases) noexcept {
    // Most records have two bases: unrolled.
    if (bases.size() == 2) {
      drop(bases[0]);
      drop(bases[1]);
    } else {
      for (const Feature* b : bases) drop(b);
    }
  }

  void drop(const Primitive* p) noexcept {
    // Runs of features share their primitive: the last one is looked at first.
    Slot<Primitive>* slot = last_primitive_;
    if (slot->target != p) return take(p);
    if (++slot->count == kMaxCount) flush(*slot);
  }

  void flush_all() noexcept {
    for (std::size_t i = 0; i < occupied_count_; ++i) flush(features_[occupied_[i]]);
    occupied_count_ = 0;
    for (auto& slot : primitives_) flush(slot);
  }

 private:
  static constexpr std::uint32_t kShared = 64;
  static constexpr std::uint32_t kMaxCount = 1u << 24;
  static constexpr int kSlotBits = 12;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
  static constexpr std::size_t kPrimitiveSlots = 16;

  template <class T>
  struct Slot {
    const T* target = nullptr;
    std::uint32_t count = 0;
  };

  static std::size_t slot_of(const void* p) noexcept {
    return static_cast<std::size_t>(
        (reinterpret_cast<std::uintptr_t>(p) >> 4) * 0x9e3779b97f4a7c15ULL >> (64 - kSlotBits));
  }

  // The slot of `f` holds another record or none: `f` is dropped now if few share it, else it
  // takes the slot over.
  [[gnu::noinline]] void take(std::size_t index, const Feature* f) noexcept {
    if (f->refs() < kShared) {
      FeatureRef::adopt(f);
      return;
    }
    Slot<Feature>& slot = features_[index];
    if (slot.target) {
      flush(slot);
    } else if (occupied_count_ < kSlots) {
      occupied_[occupied_count_++] = static_cast<std::uint16_t>(index);
    } else {
      flush_all();  // a slot emptied when it was full was taken again: forget the list
      occupied_[occupied_count_++] = static_cast<std::uint16_t>(index);
    }
    slot = {f, 1};
  }
  [[gnu::noinline]] void take(const Primitive* p) noexcept {
    Slot<Primitive>& slot = primitives_[slot_of(p) % kPrimitiveSlots];
    if (slot.target != p) {
      flush(slot);
      slot.target = p;
    }
    last_primitive_ = &slot;
    if (++slot.count == kMaxCount) flush(slot);
  }

  [[gnu::noinline]] static void flush(Slot<Feature>& slot) noexcept {
    if (slot.target && slot.target->drop_refs(slot.count)) Feature::destroy(slot.target);
    slot = {};
  }
  [[gnu::noinline]] static void flush(Slot<Primitive>& slot) noexcept {
    if (slot.target && slot.target->drop_refs(slot.count)) Primitive::destroy(slot.target);
    slot = {};
  }

  Slot<Feature> features_[kSlots];
  Slot<Primitive> primitives_[kPrimitiveSlots];
  Slot<Primitive>* last_primitive_ = &primitives_[0];
  // The slots of features_ taken since the last flush_all(), some perhaps emptied since.
  std::uint16_t occupied_[kSlots] = {};
  std::size_t occupied_count_ = 0;
};

// Like the arena: constant-initialised, never destroyed, no guard.
constinit DeferredDrops deferred;
DeferredDrops& deferred_drops() { return deferred; }

// An object apart from its record, or one whose record something else holds.
[[gnu::noinline]] void dealloc_slowly(FeatureObject* obj, PyTypeObject* type) noexcept {
  DeferredDrops& drops = deferred_drops();
  if (const Feature* value = obj->value.release()) drops.drop(value);
  if (!obj->assigners.marked()) {
    type->tp_free(obj);
  } else {
    // The record lives on while anything else holds it, and the cell with it.
    drops.drop(home_record(obj));
  }
}

void feature_dealloc(PyObject* o) noexcept {
  PyTypeObject* type = Py_TYPE(o);
  auto* obj = as_object<FeatureRef>(o);
  const Feature* home = home_record(obj);
  if (obj->assigners.marked() && obj->value.get() == home && home->refs() == 2) {
    // The object holds both of its record's references: nothing else can reach the record, which
    // goes with the cell.
    (void)obj->value.release();
    DeferredDrops& drops = deferred_drops();
    Feature::take_apart(
        home, [&](std::span<const Feature* const> bases) { drops.drop(bases); },
        [&](const Primitive* p) { drops.drop(p); });
    free_cell(obj);
  } else {
    dealloc_slowly(obj, type);
  }
  Py_DECREF(type);
}
#endif

#if !defined(TOLVANE_CELLS) && defined(__GLIBC__)
// Without cells (a free-threaded build), records come from malloc, which keeps small freed blocks
// on lists of its own and gives none of their pages back: a process that dropped a few million
// features would keep their memory, and one in a container would be killed for memory it does not
// use. Every 2^18 drops on a thread (at least 16 MiB of records), malloc gives back what it can:
// about a millisecond each time.
void feature_dealloc(PyObject* o) noexcept {
  dealloc_object<FeatureRef>(o);
  thread_local std::uint32_t drops = 0;
  if (++drops == 1u << 18) {
    drops = 0;
    malloc_trim(0);
  }
}
#define TOLVANE_TRIMMED_DEALLOC 1
#endif

PyGetSetDef getset[] = {
    {"name", get_name, set_name, nullptr, nullptr},
    {"base_features", get_base_features, set_base_features, nullptr, nullptr},
    {"generating_primitive", get_generating_primitive, set_generating_primitive, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef methods[] = {
    fastcall_method<save_features_body>("save_features", METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
#ifdef TOLVANE_OBJECT_ARENA
    {Py_tp_alloc, reinterpret_cast<void*>(feature_alloc)},
    {Py_tp_free, reinterpret_cast<void*>(feature_free)},
#endif
#if defined(TOLVANE_CELLS) || defined(TOLVANE_TRIMMED_DEALLOC)
    {Py_tp_dealloc, reinterpret_cast<void*>(feature_dealloc)},
#endif
    {Py_tp_richcompare, reinterpret_cast<void*>(feature_richcompare)},
    {Py_tp_getattro, reinterpret_cast<void*>(feature_getattro)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
};

}  // namespace

PyTypeObject* feature_type() {
  static PyTypeObject* type = [] {
#if defined(TOLVANE_OBJECT_ARENA)
    Feature::set_record_memory(release_cell_of, allocate_record, release_record);
#elif defined(TOLVANE_CELLS)
    Feature::set_record_memory(release_cell_of, nullptr, nullptr);
#endif
    interned_name = Ref::checked(PyUnicode_InternFromString("name")).release();
    return create_class<FeatureRef>("Feature", feature_new, feature_str, slots);
  }();
  return type;
}

void new_features_into(PyObject* list, Py_ssize_t at, SynthesizedBatch& batch) {
  const std::size_t n = batch.size();
#ifdef TOLVANE_CELLS
  if (const std::size_t size = sizeof(FeatureObject) + batch.record_size(); size <= kMaxCell) {
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
#endif
  for (std::size_t i = 0; i < n; ++i) {
    PyList_SET_ITEM(list, at++, new_feature(FeatureRef::adopt(batch.build_next())).release());
  }
}

void flush_deferred_drops() noexcept {
#ifdef TOLVANE_CELLS
  deferred_drops().flush_all();
#endif
}

}  // namespace tolvane::py
