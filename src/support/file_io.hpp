#pragma once

#include <functional>
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

// Reads the whole file into `out`; on failure returns the description. Throws std::bad_alloc,
// before growing `out`, when the text would not fit in memory.
std::optional<std::string> read_whole_file(const std::string& path, std::string& out,
                                           const StopProbe& stop);

struct WriteFailure {
  bool opening;  // the file could not be opened (nothing written), else writing failed
  std::string description;
};

// A file's text, produced a piece at a time: appends the next piece to `out` and says whether
// more follow.
using TextSource = std::function<bool(std::string& out)>;

// Writes the text of `source` to `path`, a chunk at a time as it is produced, asking `stop`
// between pieces.
//
// A regular file, or a name that does not exist yet, is replaced whole or not at all: the text
// goes to a new file in the same directory, made under a unique name (no link can stand in its
// place), synced, then renamed over the target. A failure, or `stop`, removes the new file and
// leaves the target as it was. The replaced file's permission bits are kept, and its owner where
// the process may set it; a new file gets 0666 less the umask. Symbolic links are followed: the
// file they lead to is replaced, the links stay.
//
// Anything else is written in place, created or truncated first (mode 0666 less the umask): a
// FIFO, a device, a file mounted on its own, and a file whose directory the process may not write.
std::optional<WriteFailure> write_file(const std::string& path, const TextSource& source,
                                       const StopProbe& stop);

}  // namespace tolvane
