#include "input_set.hpp"
#include "python/call.hpp"
#include "python/convert.hpp"
#include "python/objects.hpp"

namespace tolvane::py {
namespace {

constexpr const char* kParameters[] = {"inputs"};
constexpr Signature kNew = {"InputSet.__new__()", kParameters, 1};

PyObject* input_set_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return frame([&] {
    auto [pairs] = BoundArgs(kNew, args, kwargs).convert(to_name_pairs);
    return new_object(type, build_input_set(pairs));
  });
}

PyObject* input_set_str(PyObject* self) {
  return frame([&] {
    std::string text;
    use_value<InputSet>(self, [&](const InputSet& inputs) { append_schema_list(text, inputs); });
    return new_text(text);
  });
}

}  // namespace

PyTypeObject* input_set_type() {
  static PyTypeObject* type = create_class<InputSet>("InputSet", input_set_new, input_set_str);
  return type;
}

}  // namespace tolvane::py
