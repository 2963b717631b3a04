#include "input_set.hpp"

#include "support/text_forms.hpp"

namespace tolvane {

InputSet build_input_set(const std::vector<NamePair>& pairs) {
  InputSet set;
  set.schemas.reserve(pairs.size());
  for (const auto& [lt, st] : pairs) set.schemas.push_back(schema_from_names(lt, st));
  return set;
}

void append_schema_list(std::string& out, const InputSet& set) {
  append_list(out, set.schemas, ", ", append_schema_debug);
}

void append_input_set_debug(std::string& out, const InputSet& set) {
  out += "InputSet(";
  append_schema_list(out, set);
  out += ')';
}

}  // namespace tolvane
