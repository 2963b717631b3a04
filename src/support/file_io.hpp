#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "support/interrupt.hpp"

namespace tolvane {

// Descriptions of failed file operations, for the messages of the callers:
// "<system message> (os error <n>)", or the text for a path holding a zero byte.
std::string os_error_description(int error_number);
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

// Both functions block as long as the file does (a FIFO whose other end is late or silent). A
// signal interrupts the wait; then `stop` is asked, as it is between the reads or writes of a long
// transfer: when it says stop, the file is closed and Interrupted thrown, otherwise the transfer
// goes on.

// Reads the whole file into `out`; on failure returns the description.
std::optional<std::string> read_whole_file(const std::string& path, std::string& out,
                                           const StopProbe& stop);

struct WriteFailure {
  bool opening;  // the file could not be opened (nothing written), else writing failed
  std::string description;
};

// Creates or truncates the file (mode 0666 less the umask) and writes `text` completely.
std::optional<WriteFailure> write_whole_file(const std::string& path, std::string_view text,
                                             const StopProbe& stop);

}  // namespace tolvane
