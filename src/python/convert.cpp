#include "python/convert.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace tolvane::py {

void refuse(PyObject* o, messages::Target target) {
  Ref qualname = Ref::checked(PyType_GetQualName(Py_TYPE(o)));
  PyErr_Format(PyExc_TypeError, messages::kCannotConvert, qualname.get(), target.name);
  throw ErrorAlreadySet{};
}

std::string to_text(PyObject* o) {
  if (!PyUnicode_Check(o)) refuse(o, messages::kText);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (!data) throw ErrorAlreadySet{};
  return std::string(data, static_cast<std::size_t>(size));
}

bool to_bool(PyObject* o) {
  if (!PyBool_Check(o)) refuse(o, messages::kBool);
  return o == Py_True;
}

std::int32_t to_count(PyObject* o) {
  Ref index = Ref::checked(PyNumber_Index(o));
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    raise(PyExc_OverflowError, messages::kCountOutOfRange);
  }
  return static_cast<std::int32_t>(value);
}

NamePair to_name_pair(PyObject* o) {
  if (!PyTuple_Check(o)) refuse(o, messages::kTuple);
  Py_ssize_t size = PyTuple_GET_SIZE(o);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, messages::kNotAPair, size);
    throw ErrorAlreadySet{};
  }
  std::optional<std::string> lt = to_optional<to_text>(PyTuple_GET_ITEM(o, 0));
  return {std::move(lt), to_optional<to_text>(PyTuple_GET_ITEM(o, 1))};
}

FeatureRef to_feature(PyObject* o) {
  if (!PyObject_TypeCheck(o, feature_type())) refuse(o, messages::kFeature);
  return read_value<FeatureRef>(o);
}

PrimitiveRef to_primitive(PyObject* o) {
  if (!PyObject_TypeCheck(o, primitive_type())) refuse(o, messages::kPrimitive);
  return read_value<PrimitiveRef>(o);
}

std::vector<FeatureRef> to_features(PyObject* o) { return to_vector(o, to_feature); }
std::vector<PrimitiveRef> to_primitives(PyObject* o) { return to_vector(o, to_primitive); }
std::vector<NamePair> to_name_pairs(PyObject* o) { return to_vector(o, to_name_pair); }
std::vector<std::vector<NamePair>> to_name_pair_lists(PyObject* o) {
  return to_vector(o, to_name_pairs);
}

namespace {

bool is_ascii(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  auto word = [](const char* at) {
    std::uint64_t w;
    std::memcpy(&w, at, sizeof w);
    return w;
  };
  std::uint64_t bits = 0;
  if (n >= 8) {
    // Whole words, the last one overlapping its predecessor.
    for (std::size_t i = 0; i + 8 < n; i += 8) bits |= word(p + i);
    bits |= word(p + n - 8);
  } else {
    for (std::size_t i = 0; i < n; ++i) bits |= static_cast<unsigned char>(p[i]);
  }
  return (bits & 0x8080808080808080ULL) == 0;
}

}  // namespace

Ref new_text(std::string_view text) {
  auto size = static_cast<Py_ssize_t>(text.size());
  // Most texts are ASCII (names above all): copied into the string as they are, without the
  // decoder's scan.
  if (!is_ascii(text)) return Ref::checked(PyUnicode_FromStringAndSize(text.data(), size));
  Ref out = Ref::checked(PyUnicode_New(size, 127));
  std::memcpy(PyUnicode_1BYTE_DATA(out.get()), text.data(), text.size());
  return out;
}

namespace {
template <class Range, class Make>
Ref new_list(Range& items, Make&& make) {
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (auto& item : items) set_list_item(list, i++, make(item));
  return list;
}
}  // namespace

Ref new_feature_list(std::vector<FeatureRef>&& features) {
  std::vector<FeatureRef> consumed = std::move(features);
  return new_list(consumed, [](FeatureRef& f) { return new_feature(std::move(f)); });
}

Ref new_feature_list(std::span<const Feature* const> features) {
  return new_list(features, [](const Feature* f) { return new_feature(FeatureRef::share(f)); });
}

Ref new_primitive_list(std::span<const PrimitiveRef> primitives) {
  return new_list(primitives, [](const PrimitiveRef& p) { return new_primitive(p); });
}

}  // namespace tolvane::py
