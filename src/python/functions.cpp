#include "python/functions.hpp"

#include <atomic>

#include "catalogue.hpp"
#include "dfs/synthesize.hpp"
#include "dfs/worker_pool.hpp"
#include "feature/compare.hpp"
#include "feature/fake.hpp"
#include "memory/huge_pages.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/feature_memory.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kGenerateParameters[] = {"features", "primitives"};
constexpr Signature kGenerate = {"generate_features()", kGenerateParameters, 2};

// Builds the result list while the workers still make features: the inputs' objects first, then
// each run of new features as the engine hands it over. Until it is complete the list is hidden
// from the garbage collector: the stop probe runs signal handlers, and Python code that found the
// list through gc.get_objects() would meet its empty slots.
class FeatureListSink : public FeatureSink {
 public:
  explicit FeatureListSink(std::span<const FeatureRef> inputs) : inputs_(inputs) {}

  void reserve(std::uint64_t count) override {
    auto size = static_cast<Py_ssize_t>(inputs_.size() + count);
    list_ = Ref::checked(PyList_New(size));
    PyObject_GC_UnTrack(list_.get());
    advise_huge_pages(reinterpret_cast<PyListObject*>(list_.get())->ob_item,
                      size * sizeof(PyObject*));
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
      set_list_item(list_, static_cast<Py_ssize_t>(i), new_feature(inputs_[i]));
    }
  }

  void take(std::uint64_t first, SynthesizedBatch& batch) override {
    new_features_into(list_.get(), static_cast<Py_ssize_t>(inputs_.size() + first), batch);
  }

  Ref finish() {
    PyObject_GC_Track(list_.get());
    return std::move(list_);
  }

 private:
  std::span<const FeatureRef> inputs_;
  Ref list_;
};

PyObject* stop_idle_workers_before_fork(PyObject*, PyObject*) noexcept {
  stop_idle_workers();
  Py_RETURN_NONE;
}

PyMethodDef stop_idle_workers_def = {"stop_idle_workers", stop_idle_workers_before_fork,
                                     METH_NOARGS, ""};

// A fork copies only the thread that forks: Python warns (3.12 on) when others exist, and they
// could hold locks the child needs. So forks through os.fork() (multiprocessing's fork start
// method among them) first end the pool's idle workers; the next call makes new ones. Registered
// by the first call that can start the pool; calls racing it (free-threaded builds) go on without
// waiting, since a thread blocked here could hold up the interpreter's stop-the-world pauses.
void stop_workers_before_forks() {
  static std::atomic<bool> registered{false};
  if (registered.load(std::memory_order_relaxed) || registered.exchange(true)) return;
  try {
    Ref function = Ref::checked(PyCFunction_New(&stop_idle_workers_def, nullptr));
    Ref os = Ref::checked(PyImport_ImportModule("os"));
    Ref method = Ref::checked(PyUnicode_FromString("register_at_fork"));
    Ref keywords = Ref::checked(Py_BuildValue("(s)", "before"));
    PyObject* args[] = {os.get(), function.get()};
    Ref::checked(PyObject_VectorcallMethod(method.get(), args, 1, keywords.get()));
  } catch (const ErrorAlreadySet&) {
    PyErr_Clear();  // then forks work as they always did
  }
}

// The inputs of generate_features(), and their table made in the same pass: a big call's records
// lie far apart, and a pass of its own would fetch each again.
struct GenerateInputs {
  std::vector<FeatureRef> features;
  InputTable table;
};

GenerateInputs to_generate_inputs(PyObject* o) {
  GenerateInputs in;
  if (PyList_CheckExact(o)) in.table.reserve(static_cast<std::size_t>(PyList_GET_SIZE(o)));
  if (PyTuple_CheckExact(o)) in.table.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(o)));
  in.features = to_vector(o, [&](PyObject* item) {
    FeatureRef f = to_feature(item);
    in.table.add(*f);
    return f;
  });
  return in;
}

Ref generate_features_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto [inputs, primitives] =
      BoundArgs(kGenerate, args, nargsf, kwnames).convert(to_generate_inputs, to_primitives);
  stop_workers_before_forks();
  flush_deferred_drops();
  FeatureListSink sink(inputs.features);
  generate_features(std::move(inputs.table), primitives, sink, python_signal_raised);
  return sink.finish();
}

constexpr const char* kLoadParameters[] = {"filename"};
constexpr Signature kLoad = {"load_primitives()", kLoadParameters, 1};

Ref load_primitives_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto [filename] = BoundArgs(kLoad, args, nargsf, kwnames).convert(to_text);
  return new_primitive_list(read_primitive_catalogue(filename, python_signal_raised));
}

constexpr const char* kFakeParameters[] = {"n_features"};
constexpr Signature kFake = {"generate_fake_features()", kFakeParameters, 1};

Ref generate_fake_features_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto [n] = BoundArgs(kFake, args, nargsf, kwnames).convert(to_count);
  MemoryReservation memory;
  return new_feature_list(generate_fake_features(n, memory));
}

constexpr const char* kCompareParameters[] = {"features1", "features2"};
constexpr Signature kCompare = {"compare_featuresets()", kCompareParameters, 2};

Ref compare_featuresets_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto [first, second] =
      BoundArgs(kCompare, args, nargsf, kwnames).convert(to_features, to_features);
  MemoryReservation memory;
  auto [only_first, only_second] = compare_featuresets(first, second, memory);
  Ref left = new_feature_list(only_first);
  Ref right = new_feature_list(only_second);
  return Ref::checked(PyTuple_Pack(2, left.get(), right.get()));
}

PyMethodDef generate_features_def = fastcall_method<generate_features_body>("generate_features");
PyMethodDef load_primitives_def = fastcall_method<load_primitives_body>("load_primitives");
PyMethodDef generate_fake_features_def =
    fastcall_method<generate_fake_features_body>("generate_fake_features");
PyMethodDef compare_featuresets_def =
    fastcall_method<compare_featuresets_body>("compare_featuresets");

PyMethodDef* const kFunctions[] = {
    &generate_features_def,
    &load_primitives_def,
    &generate_fake_features_def,
    &compare_featuresets_def,
};

}  // namespace

std::span<PyMethodDef* const> module_functions() { return kFunctions; }

}  // namespace tolvane::py
