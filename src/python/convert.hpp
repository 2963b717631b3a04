#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "feature/feature.hpp"
#include "input_set.hpp"
#include "memory/record_memory.hpp"
#include "primitive.hpp"
#include "python/messages.hpp"
#include "python/objects.hpp"
#include "python/ref.hpp"

namespace tolvane::py {

// Python values to records. Each raises the Python exception of the refused value.

// "'<type>' object cannot be converted to '<target>'" as a TypeError.
[[noreturn]] void refuse(PyObject* o, messages::Target target);

std::string to_text(PyObject* o);
bool to_bool(PyObject* o);
std::int32_t to_count(PyObject* o);
NamePair to_name_pair(PyObject* o);

// Null (not given) or None: absent; any other value converted by `Convert`.
template <auto Convert>
auto to_optional(PyObject* o) -> std::optional<decltype(Convert(o))> {
  if (!o || o == Py_None) return std::nullopt;
  return Convert(o);
}

inline constexpr Py_ssize_t kUntrustedReserve = 4096;

// Any object passing the interpreter's sequence check, converted item by item in iteration order.
template <class Item>
auto to_vector(PyObject* sequence,
               Item&& convert_item) -> std::vector<decltype(convert_item(sequence))> {
  if (!PySequence_Check(sequence)) refuse(sequence, messages::kSequence);
  std::vector<decltype(convert_item(sequence))> out;
  Py_ssize_t size = PySequence_Size(sequence);
  if (size < 0) {
    PyErr_Clear();
  } else {
    // The length only sizes the reservation. Lists and tuples know theirs; any other sequence's
    // __len__ is user code and may claim more than it yields (or than memory holds), so it is
    // believed only up to a modest bound and the vector grows past that as items arrive.
    if (!PyList_CheckExact(sequence) && !PyTuple_CheckExact(sequence)) {
      size = std::min<Py_ssize_t>(size, kUntrustedReserve);
    }
    out.reserve(static_cast<std::size_t>(size));
  }
#ifndef Py_GIL_DISABLED
  // A list or tuple of the exact type is read as its iterator reads it, each item held while it is
  // converted, without the iterator's calls (inputs come by the million). With the interpreter
  // lock, only Python code run by a conversion could change the list meanwhile, and the length is
  // read again for every item as the iterator does.
  if (PyList_CheckExact(sequence)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sequence); ++i) {
      Ref item = Ref::borrow(PyList_GET_ITEM(sequence, i));
      out.push_back(convert_item(item.get()));
    }
    return out;
  }
  if (PyTuple_CheckExact(sequence)) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(sequence); ++i) {
      out.push_back(convert_item(PyTuple_GET_ITEM(sequence, i)));
    }
    return out;
  }
#endif
  Ref iterator = Ref::checked(PyObject_GetIter(sequence));
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
    out.push_back(convert_item(item.get()));
  }
  if (PyErr_Occurred()) throw ErrorAlreadySet{};
  return out;
}

FeatureRef to_feature(PyObject* o);
PrimitiveRef to_primitive(PyObject* o);
std::vector<FeatureRef> to_features(PyObject* o);
std::vector<PrimitiveRef> to_primitives(PyObject* o);
std::vector<NamePair> to_name_pairs(PyObject* o);
std::vector<std::vector<NamePair>> to_name_pair_lists(PyObject* o);

// Records to new Python objects.
Ref new_text(std::string_view text);
inline Ref new_feature(FeatureRef f) { return new_object(feature_type(), std::move(f)); }
inline Ref new_primitive(PrimitiveRef p) { return new_object(primitive_type(), std::move(p)); }
// Moves the references into the new objects (no reference-count traffic); `features` is left empty.
Ref new_feature_list(std::vector<FeatureRef>&& features);
Ref new_feature_list(std::span<const Feature* const> features);
Ref new_primitive_list(std::span<const PrimitiveRef> primitives);

}  // namespace tolvane::py
