#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// Descriptions of failed file operations, for the messages of the callers:
// "<system message> (os error <n>)", or the text for a path holding a zero byte.
std::string os_error_description(int error_number);
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

// Reads the whole file into `out`; on failure returns the description.
std::optional<std::string> read_whole_file(const std::string& path, std::string& out);

struct WriteFailure {
  bool opening;  // the file could not be opened (nothing written), else writing failed
  std::string description;
};

// Creates or truncates the file (mode 0666 less the umask) and writes `text` completely.
std::optional<WriteFailure> write_whole_file(const std::string& path, std::string_view text);

}  // namespace tolvane
