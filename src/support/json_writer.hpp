#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// Appends `text` as a JSON string: '"' and '\' escaped, \b \t \n \f \r by letter, other control
// characters as \u00xx (lower-case hex), everything else as its UTF-8 bytes.
void append_json_string(std::string& out, std::string_view text);

}  // namespace tolvane
