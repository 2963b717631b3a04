#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "feature/feature.hpp"
#include "feature/feature_file.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/feature_memory.hpp"
#include "python/objects.hpp"
#include "support/failure_texts.hpp"
#include "support/panic.hpp"

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
    {Py_tp_richcompare, reinterpret_cast<void*>(feature_richcompare)},
    {Py_tp_getattro, reinterpret_cast<void*>(feature_getattro)},
    {Py_tp_getset, getset},
    {Py_tp_methods, methods},
};

}  // namespace

PyTypeObject* feature_type() {
  static PyTypeObject* type = [] {
    interned_name = Ref::checked(PyUnicode_InternFromString("name")).release();
    // Allocation and dealloc as feature_memory.cpp keeps objects and records.
    std::vector<PyType_Slot> all(std::begin(slots), std::end(slots));
    for (const PyType_Slot& slot : feature_memory_slots()) all.push_back(slot);
    return create_class<FeatureRef>("Feature", feature_new, feature_str, all);
  }();
  return type;
}

}  // namespace tolvane::py
