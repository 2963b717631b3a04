#include "python/convert.hpp"

#include <limits>

namespace tolvane::py {

void refuse(PyObject* o, const char* target) {
  Ref qualname = Ref::checked(PyType_GetQualName(Py_TYPE(o)));
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
  throw ErrorAlreadySet{};
}

std::string to_text(PyObject* o) {
  if (!PyUnicode_Check(o)) refuse(o, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (!data) throw ErrorAlreadySet{};
  return std::string(data, static_cast<std::size_t>(size));
}

std::optional<std::string> to_optional_text(PyObject* o) {
  if (!o || o == Py_None) return std::nullopt;
  return to_text(o);
}

bool to_bool(PyObject* o) {
  if (!PyBool_Check(o)) refuse(o, "PyBool");
  return o == Py_True;
}

std::int32_t to_count(PyObject* o) {
  Ref index = Ref::checked(PyNumber_Index(o));
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<std::int32_t>(value);
}

NamePair to_name_pair(PyObject* o) {
  if (!PyTuple_Check(o)) refuse(o, "PyTuple");
  Py_ssize_t size = PyTuple_GET_SIZE(o);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "Expected tuple of length 2, but got tuple of length %zd.", size);
    throw ErrorAlreadySet{};
  }
  std::optional<std::string> lt = to_optional_text(PyTuple_GET_ITEM(o, 0));
  return {std::move(lt), to_optional_text(PyTuple_GET_ITEM(o, 1))};
}

FeatureRef to_feature(PyObject* o) {
  if (!PyObject_TypeCheck(o, feature_type())) refuse(o, "Feature");
  return read_value<FeatureRef>(o);
}

PrimitiveRef to_primitive(PyObject* o) {
  if (!PyObject_TypeCheck(o, primitive_type())) refuse(o, "Primitive");
  return read_value<PrimitiveRef>(o);
}

std::vector<FeatureRef> to_features(PyObject* o) { return to_vector(o, to_feature); }
std::vector<PrimitiveRef> to_primitives(PyObject* o) { return to_vector(o, to_primitive); }
std::vector<NamePair> to_name_pairs(PyObject* o) { return to_vector(o, to_name_pair); }
std::vector<std::vector<NamePair>> to_name_pair_lists(PyObject* o) {
  return to_vector(o, to_name_pairs);
}

PyObject* new_text(std::string_view text) {
  return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

PyObject* new_feature(FeatureRef f) { return new_object(feature_type(), std::move(f)); }

PyObject* new_primitive(PrimitiveRef p) { return new_object(primitive_type(), std::move(p)); }

namespace {
template <class Range, class Make>
PyObject* new_list(Range& items, Make&& make) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (auto& item : items) PyList_SET_ITEM(list.get(), i++, make(item));
  return list.release();
}
}  // namespace

PyObject* new_feature_list(std::span<const FeatureRef> features) {
  return new_list(features, [](const FeatureRef& f) { return new_feature(f); });
}

PyObject* new_feature_list(std::vector<FeatureRef>&& features) {
  std::vector<FeatureRef> consumed = std::move(features);
  return new_list(consumed, [](FeatureRef& f) { return new_feature(std::move(f)); });
}

PyObject* new_feature_list(std::span<const Feature* const> features) {
  return new_list(features, [](const Feature* f) { return new_feature(FeatureRef::share(f)); });
}

PyObject* new_primitive_list(std::span<const PrimitiveRef> primitives) {
  return new_list(primitives, [](const PrimitiveRef& p) { return new_primitive(p); });
}

}  // namespace tolvane::py
