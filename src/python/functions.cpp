#include "python/functions.hpp"

#include "catalogue.hpp"
#include "dfs/synthesize.hpp"
#include "feature/compare.hpp"
#include "feature/fake.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "support/huge_pages.hpp"

namespace tolvane::py {
namespace {

template <auto Body>
PyObject* fastcall(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return frame([&] { return Body(args, nargsf, kwnames); });
}

constexpr const char* kGenerateParameters[] = {"features", "primitives"};
constexpr Signature kGenerate = {"generate_features()", kGenerateParameters, 2, 2};

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
    advise_huge_pages(reinterpret_cast<PyListObject*>(list_.get())->ob_item, size * sizeof(PyObject*));
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
      PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(i), new_feature(inputs_[i]));
    }
  }

  void take(std::uint64_t first, std::span<const Feature*> features) override {
    auto at = static_cast<Py_ssize_t>(inputs_.size() + first);
    for (const Feature*& f : features) {
      PyList_SET_ITEM(list_.get(), at++, new_feature(FeatureRef::adopt(std::exchange(f, nullptr))));
    }
  }

  PyObject* finish() {
    PyObject_GC_Track(list_.get());
    return list_.release();
  }

 private:
  std::span<const FeatureRef> inputs_;
  Ref list_;
};

PyObject* generate_features_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs a = bind(kGenerate, args, nargsf, kwnames);
  auto features = convert_argument("features", [&] { return to_features(a[0]); });
  auto primitives = convert_argument("primitives", [&] { return to_primitives(a[1]); });
  FeatureListSink sink(features);
  try {
    generate_features(features, primitives, sink, python_signal_raised);
  } catch (const TooManyFeatures& e) {
    raise(PyExc_MemoryError, e.what());
  }
  return sink.finish();
}

constexpr const char* kLoadParameters[] = {"filename"};
constexpr Signature kLoad = {"load_primitives()", kLoadParameters, 1, 1};

PyObject* load_primitives_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs a = bind(kLoad, args, nargsf, kwnames);
  auto filename = convert_argument("filename", [&] { return to_text(a[0]); });
  return new_primitive_list(read_primitive_catalogue(filename, python_signal_raised));
}

constexpr const char* kFakeParameters[] = {"n_features"};
constexpr Signature kFake = {"generate_fake_features()", kFakeParameters, 1, 1};

PyObject* generate_fake_features_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs a = bind(kFake, args, nargsf, kwnames);
  auto n = convert_argument("n_features", [&] { return to_count(a[0]); });
  return new_feature_list(generate_fake_features(n));
}

constexpr const char* kCompareParameters[] = {"features1", "features2"};
constexpr Signature kCompare = {"compare_featuresets()", kCompareParameters, 2, 2};

PyObject* compare_featuresets_body(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  BoundArgs a = bind(kCompare, args, nargsf, kwnames);
  auto first = convert_argument("features1", [&] { return to_features(a[0]); });
  auto second = convert_argument("features2", [&] { return to_features(a[1]); });
  auto [only_first, only_second] = compare_featuresets(first, second);
  Ref left = Ref::steal(new_feature_list(only_first));
  Ref right = Ref::steal(new_feature_list(only_second));
  return check(PyTuple_Pack(2, left.get(), right.get()));
}

PyCFunction as_method(PyObject* (*f)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef generate_features_def = {
    "generate_features", as_method(fastcall<generate_features_body>), kFlags, ""};
PyMethodDef load_primitives_def = {
    "load_primitives", as_method(fastcall<load_primitives_body>), kFlags, ""};
PyMethodDef generate_fake_features_def = {
    "generate_fake_features", as_method(fastcall<generate_fake_features_body>), kFlags, ""};
PyMethodDef compare_featuresets_def = {
    "compare_featuresets", as_method(fastcall<compare_featuresets_body>), kFlags, ""};

PyMethodDef* const kFunctions[] = {
    &generate_features_def,
    &load_primitives_def,
    &generate_fake_features_def,
    &compare_featuresets_def,
};

}  // namespace

std::span<PyMethodDef* const> module_functions() { return kFunctions; }

}  // namespace tolvane::py
