#include "support/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tolvane {
namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

}  // namespace

std::string os_error_description(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) + ")";
}

std::optional<std::string> read_whole_file(const std::string& path, std::string& out) {
  if (has_nul(path)) return std::string(kNulInPath);
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error_description(errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      int error = errno;
      ::close(fd);
      return os_error_description(error);
    }
  }
  ::close(fd);
  return std::nullopt;
}

std::optional<WriteFailure> write_whole_file(const std::string& path, std::string_view text) {
  if (has_nul(path)) return WriteFailure{true, std::string(kNulInPath)};
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return WriteFailure{true, os_error_description(errno)};
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      return WriteFailure{false, os_error_description(error)};
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  // A failed close can be the first report of a failed write (full device, network file systems).
  if (::close(fd) < 0) return WriteFailure{false, os_error_description(errno)};
  return std::nullopt;
}

}  // namespace tolvane
