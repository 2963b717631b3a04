#include "input_set.hpp"

namespace tolvane {

InputSet build_input_set(const std::vector<NamePair>& pairs) {
  InputSet set;
  set.schemas.reserve(pairs.size());
  for (const auto& [lt, st] : pairs) set.schemas.push_back(schema_from_names(lt, st));
  return set;
}

void append_schema_list(std::string& out, const InputSet& set) {
  out += '[';
  for (std::size_t i = 0; i < set.schemas.size(); ++i) {
    if (i) out += ", ";
    append_schema_debug(out, set.schemas[i]);
  }
  out += ']';
}

void append_input_set_debug(std::string& out, const InputSet& set) {
  out += "InputSet(";
  append_schema_list(out, set);
  out += ')';
}

}  // namespace tolvane
