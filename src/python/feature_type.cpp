#include "feature/feature.hpp"
#include "feature/feature_file.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/object_arena.hpp"
#include "python/objects.hpp"
#include "support/panic.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kNewParameters[] = {"name", "lt", "st", "base_features",
                                          "generating_primitive"};
constexpr Signature kNew = {"Feature.__new__()", kNewParameters, 5, 3};

PyObject* feature_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    BoundArgs a = bind(kNew, args, kwargs);
    auto name = convert_argument("name", [&] { return to_text(a[0]); });
    auto lt = convert_argument("lt", [&] { return to_text(a[1]); });
    auto st = convert_argument("st", [&] { return to_text(a[2]); });
    std::optional<std::vector<FeatureRef>> bases;
    if (a[3] && a[3] != Py_None) bases = convert_argument("base_features", [&] { return to_features(a[3]); });
    PrimitiveRef primitive;
    if (a[4] && a[4] != Py_None) {
      primitive = convert_argument("generating_primitive", [&] { return to_primitive(a[4]); });
    }
    ColumnSchema schema{parse_logical_type(lt).value_or(LogicalType::Unknown),
                        parse_logical_type(st).value_or(LogicalType::Unknown)};
    if (bases.has_value() != static_cast<bool>(primitive)) {
      panic("base_features and generating_primitive must be both None or both Some");
    }
    std::vector<const Feature*> base_pointers = bases ? pointers(*bases) : std::vector<const Feature*>{};
    return new_object(type, build_feature(name, schema, primitive.get(), base_pointers));
  });
}

PyObject* feature_str(PyObject* self) {
  return frame([&] { return new_text(feature_text(*read_value<FeatureRef>(self))); });
}

PyObject* feature_richcompare(PyObject* self, PyObject* other, int op) {
  return frame([&]() -> PyObject* {
    if (!PyObject_TypeCheck(self, feature_type())) Py_RETURN_NOTIMPLEMENTED;
    auto* left = as_object<FeatureRef>(self);
    SharedBorrow borrow(left->borrow);
    if (!PyObject_TypeCheck(other, feature_type())) Py_RETURN_NOTIMPLEMENTED;
    auto* right = as_object<FeatureRef>(other);
    if (right->borrow == -1) Py_RETURN_NOTIMPLEMENTED;
    const Feature& a = *left->value;
    const Feature& b = *right->value;
    bool result;
    switch (op) {
      case Py_EQ: result = same_id(a, b); break;
      case Py_NE: result = !same_id(a, b); break;
      case Py_LT: result = id_less(a, b); break;
      case Py_LE: result = !id_less(b, a); break;
      case Py_GT: result = id_less(b, a); break;
      case Py_GE: result = !id_less(a, b); break;
      default: Py_RETURN_NOTIMPLEMENTED;
    }
    return PyBool_FromLong(result);
  });
}

// Attribute setters share the exclusive-borrow discipline: the new value is converted while
// the object is held for writing, so Python code run by that conversion cannot reach it.
template <class Replace>
int replace_record(PyObject* self, PyObject* value, Replace&& replace) {
  return setter_frame([&] {
    auto* obj = as_object<FeatureRef>(self);
    ExclusiveBorrow borrow(obj->borrow);
    if (!value) raise(PyExc_AttributeError, "can't delete attribute");
    obj->value = replace(*obj->value, value);
  });
}

PyObject* get_name(PyObject* self, void*) {
  return frame([&] { return new_text(read_value<FeatureRef>(self)->name()); });
}

int set_name(PyObject* self, PyObject* value, void*) {
  return replace_record(self, value, [](const Feature& f, PyObject* v) {
    return with_name(f, to_text(v));
  });
}

PyObject* get_base_features(PyObject* self, void*) {
  return frame([&] {
    FeatureRef f = read_value<FeatureRef>(self);
    return new_feature_list(f->base_features());
  });
}

int set_base_features(PyObject* self, PyObject* value, void*) {
  return replace_record(self, value, [](const Feature& f, PyObject* v) {
    std::vector<FeatureRef> bases = to_features(v);
    return with_base_features(f, pointers(bases));
  });
}

PyObject* get_generating_primitive(PyObject* self, void*) {
  return frame([&]() -> PyObject* {
    FeatureRef f = read_value<FeatureRef>(self);
    const Primitive* p = f->generating_primitive();
    if (!p) Py_RETURN_NONE;
    return new_primitive(PrimitiveRef::share(p));
  });
}

int set_generating_primitive(PyObject* self, PyObject* value, void*) {
  return replace_record(self, value, [](const Feature& f, PyObject* v) {
    PrimitiveRef p;
    if (v != Py_None) p = to_primitive(v);
    return with_generating_primitive(f, p.get());
  });
}

constexpr const char* kSaveParameters[] = {"features", "filename"};
constexpr Signature kSave = {"Feature.save_features()", kSaveParameters, 2, 2};

PyObject* save_features_method(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return frame([&]() -> PyObject* {
    BoundArgs a = bind(kSave, args, nargsf, kwnames);
    auto features = convert_argument("features", [&] { return to_features(a[0]); });
    auto filename = convert_argument("filename", [&] { return to_text(a[1]); });
    save_features(features, filename, python_signal_raised);
    Py_RETURN_NONE;
  });
}

#if !defined(__SANITIZE_ADDRESS__)
// Feature objects come by the million: they get an allocator of their own (the sanitizer builds
// keep the interpreter's, so that it sees every object).
ObjectArena& feature_objects() {
  static ObjectArena* arena = new ObjectArena(sizeof(FeatureObject));  // lives as long as objects may
  return *arena;
}

PyObject* feature_alloc(PyTypeObject* type, Py_ssize_t) {
  void* memory = feature_objects().allocate();
  if (!memory) return PyErr_NoMemory();
  return PyObject_Init(static_cast<PyObject*>(memory), type);
}

void feature_free(void* o) { feature_objects().release(o); }
#endif

}  // namespace

PyTypeObject* feature_type() {
  static PyTypeObject* type = [] {
    static PyGetSetDef getset[] = {
        {"name", get_name, set_name, nullptr, nullptr},
        {"base_features", get_base_features, set_base_features, nullptr, nullptr},
        {"generating_primitive", get_generating_primitive, set_generating_primitive, nullptr,
         nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyMethodDef methods[] = {
        {"save_features", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(save_features_method)),
         METH_FASTCALL | METH_KEYWORDS | METH_STATIC, ""},
        {nullptr, nullptr, 0, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(feature_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<FeatureRef>)},
#if !defined(__SANITIZE_ADDRESS__)
        {Py_tp_alloc, reinterpret_cast<void*>(feature_alloc)},
        {Py_tp_free, reinterpret_cast<void*>(feature_free)},
#endif
        {Py_tp_str, reinterpret_cast<void*>(feature_str)},
        {Py_tp_repr, reinterpret_cast<void*>(feature_str)},
        {Py_tp_richcompare, reinterpret_cast<void*>(feature_richcompare)},
        {Py_tp_getset, getset},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    return create_class("Feature", sizeof(FeatureObject), slots);
  }();
  return type;
}

}  // namespace tolvane::py
