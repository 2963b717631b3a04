#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "support/interrupt.hpp"
#include "support/system_limits.hpp"

namespace tolvane {

// Descriptions of failed file operations, for the messages of the callers:
// "<system message> (os error <n>)", or the text for a path holding a zero byte.
std::string os_error_description(int error_number);
inline constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

// Both functions block as long as the file does (a FIFO whose other end is late or silent). A
// signal interrupts the wait; then `stop` is asked, as it is between the reads or writes of a long
// transfer: when it says stop, the file is closed and Interrupted thrown, otherwise the transfer
// goes on.

// Reads the whole file into `out`; on failure returns the description. The text's room is held in
// `memory` as it grows; throws std::bad_alloc, before growing `out`, when it cannot be.
std::optional<std::string> read_whole_file(const std::string& path, std::string& out,
                                           MemoryReservation& memory, const StopProbe& stop);

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
// The path is opened first, as open() opens it: by the kernel, with the process's rights,
// following links the kernel's way; it is created when missing. When that fails, nothing has
// changed (opening = true). The path is looked up that once; everything after works from the
// descriptors of the file and of the directory that names it.
//
// A regular file with no other name, named in its directory itself, is then replaced whole or not
// at all, where the new file can carry everything the old one has besides its text (owner, group,
// permission bits, extended attributes and ACLs, inode flags) and the directory allows the
// rename: the text goes to a new file in that directory (unnamed until it is complete, where the
// file system allows), synced, then renamed over the old one. A failure, or `stop`, leaves the old
// file as it was, and no new file behind; a file the save created is removed again.
//
// Anything else is written where it is, truncated first: a FIFO, a device, a descriptor's file
// (/dev/stdout, /proc/self/fd/N), a file reached through a link, a file with other names, one
// whose owner or attributes a new file could not have, one mounted on its own, or one whose
// directory refuses the rename.
std::optional<WriteFailure> write_file(const std::string& path, const TextSource& source,
                                       const StopProbe& stop);

}  // namespace tolvane
