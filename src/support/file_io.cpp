#include "support/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace tolvane {
namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// What a write() that returns 0 is reported as: retried, it would spin for ever.
constexpr std::string_view kWriteZero =
    "Error { kind: WriteZero, message: \"failed to write whole buffer\" }";

// An open file descriptor, closed on every way out.
class File {
 public:
  explicit File(int fd) noexcept : fd_(fd) {}
  ~File() {
    if (fd_ >= 0) ::close(fd_);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  int fd() const noexcept { return fd_; }
  // The result of close(), which can be the first report of a failed write (full device,
  // network file systems).
  int close() noexcept { return ::close(std::exchange(fd_, -1)); }

 private:
  int fd_;
};

// Runs a system call (-1 and errno on failure) again after each signal that interrupts it. The
// interpreter installs its handlers without SA_RESTART, so that a blocked call returns and the
// handlers can run: `stop` runs them and may end the operation.
template <class Call>
auto retry_interrupted(const StopProbe& stop, Call&& call) {
  for (;;) {
    auto result = call();
    if (result >= 0 || errno != EINTR) return result;
    if (stop()) throw Interrupted{};
  }
}

}  // namespace

std::string os_error_description(int error_number) {
  return std::string(std::strerror(error_number)) + " (os error " + std::to_string(error_number) +
         ")";
}

std::optional<std::string> read_whole_file(const std::string& path, std::string& out,
                                           const StopProbe& stop) {
  if (has_nul(path)) return std::string(kNulInPath);
  File file(retry_interrupted(stop, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (file.fd() < 0) return os_error_description(errno);
  struct stat st {};
  if (::fstat(file.fd(), &st) == 0 && st.st_size > 0) {
    out.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buffer[1 << 16];
  for (;;) {
    ssize_t n = retry_interrupted(stop, [&] { return ::read(file.fd(), buffer, sizeof buffer); });
    if (n < 0) return os_error_description(errno);
    if (n == 0) return std::nullopt;
    out.append(buffer, static_cast<std::size_t>(n));
    // A source that never runs dry (a chatty FIFO, a device) would otherwise never be asked.
    if (stop()) throw Interrupted{};
  }
}

std::optional<WriteFailure> write_whole_file(const std::string& path, std::string_view text,
                                             const StopProbe& stop) {
  if (has_nul(path)) return WriteFailure{true, std::string(kNulInPath)};
  File file(retry_interrupted(
      stop, [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }));
  if (file.fd() < 0) return WriteFailure{true, os_error_description(errno)};
  while (!text.empty()) {
    ssize_t n =
        retry_interrupted(stop, [&] { return ::write(file.fd(), text.data(), text.size()); });
    if (n < 0) return WriteFailure{false, os_error_description(errno)};
    if (n == 0) return WriteFailure{false, std::string(kWriteZero)};
    text.remove_prefix(static_cast<std::size_t>(n));
    // A signal during a write that has made progress cuts it short instead of failing it.
    if (!text.empty() && stop()) throw Interrupted{};
  }
  // On Linux an interrupted close has still released the descriptor: taken as done, as the
  // interpreter's own close takes it.
  if (file.close() < 0 && errno != EINTR) return WriteFailure{false, os_error_description(errno)};
  return std::nullopt;
}

}  // namespace tolvane
