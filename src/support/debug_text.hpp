#pragma once

#include <string>
#include <string_view>

namespace tolvane {

// Appends `text` in double quotes as the structured text forms show it: backslash before '"' and
// '\', \t \r \n \0 for those characters, \u{hex} for non-printable and combining characters.
void append_quoted(std::string& out, std::string_view text);

}  // namespace tolvane
