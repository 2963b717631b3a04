#include "support/file_io.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "support/failure_texts.hpp"
#include "support/system_limits.hpp"

namespace tolvane {
namespace {

bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

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
  // Room for the whole of a regular file at once; a file of unknown size (a FIFO, a device) grows
  // by doubling, each growth checked first.
  auto grow_to = [&](std::size_t size) {
    if (!memory_fits(size)) throw std::bad_alloc();
    out.reserve(size);
  };
  struct stat st {};
  if (::fstat(file.fd(), &st) == 0 && st.st_size > 0) grow_to(static_cast<std::size_t>(st.st_size));
  // On the heap: calls nest (signal handlers), and stack is scarce on small threads.
  constexpr std::size_t kReadSize = 1 << 16;
  auto buffer = std::make_unique<char[]>(kReadSize);
  for (;;) {
    ssize_t n = retry_interrupted(stop, [&] { return ::read(file.fd(), buffer.get(), kReadSize); });
    if (n < 0) return os_error_description(errno);
    if (n == 0) return std::nullopt;
    auto got = static_cast<std::size_t>(n);
    if (out.size() + got > out.capacity()) grow_to(std::max(out.capacity() * 2, out.size() + got));
    out.append(buffer.get(), got);
    // A source that never runs dry (a chatty FIFO, a device) would otherwise never be asked.
    if (stop()) throw Interrupted{};
  }
}

namespace {

// What the writes of one chunk add up to: a chunk is written once this much text is waiting.
constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

// Writes all of `text`; on failure returns the description.
std::optional<std::string> write_all(int fd, std::string_view text, const StopProbe& stop) {
  while (!text.empty()) {
    ssize_t n = retry_interrupted(stop, [&] { return ::write(fd, text.data(), text.size()); });
    if (n < 0) return os_error_description(errno);
    if (n == 0) return std::string(kWriteZeroFailure);
    text.remove_prefix(static_cast<std::size_t>(n));
    // A signal during a write that has made progress cuts it short instead of failing it.
    if (!text.empty() && stop()) throw Interrupted{};
  }
  return std::nullopt;
}

// Writes the text of `source` in chunks, asking `stop` between pieces.
std::optional<std::string> write_text(int fd, const TextSource& source, const StopProbe& stop) {
  std::string chunk;
  chunk.reserve(kWriteChunk + (kWriteChunk >> 2));
  for (;;) {
    bool more = source(chunk);
    if (chunk.size() >= kWriteChunk || !more) {
      if (auto failure = write_all(fd, chunk, stop)) return failure;
      chunk.clear();
    }
    if (!more) return std::nullopt;
    if (stop()) throw Interrupted{};
  }
}

std::string directory_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file `path` leads to through any symbolic links (the place a link that leads nowhere would
// create), or nothing when the links go round for longer than the kernel follows them.
std::optional<std::string> follow_links(std::string path) {
  constexpr int kMaxLinks = 40;  // as the kernel's own lookup
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
    ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return path;
    target.resize(static_cast<std::size_t>(n));
    path = target.front() == '/' ? target : directory_of(path) + "/" + target;
  }
  return std::nullopt;
}

// Whether the file is mounted on its own (a container's bind-mounted file, say): nothing can be
// renamed over it.
bool mount_root(const std::string& path, const struct stat& st) {
#ifdef STATX_ATTR_MOUNT_ROOT
  struct statx x {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS, &x) == 0 &&
      (x.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
    return (x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
#endif
  // Kernels before 5.8 (and older C libraries) tell only a mount from another file system.
  struct stat dir {};
  return ::stat(directory_of(path).c_str(), &dir) != 0 || dir.st_dev != st.st_dev;
}

// A name for a new file beside `target`: its name behind a dot, and six random letters and digits.
std::string unique_name_beside(const std::string& target) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::uint64_t random = 0;
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
    random =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
            0x9e3779b97f4a7c15ULL ^
        static_cast<std::uint64_t>(::getpid());
  }
  std::size_t slash = target.rfind('/');
  std::string name = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  // Short enough that the name fits the file system's limit whatever the target's.
  name += '.' + target.substr(slash + 1, 200) + '.';
  for (int i = 0; i < 6; ++i, random /= sizeof kLetters - 1) {
    name += kLetters[random % (sizeof kLetters - 1)];
  }
  return name;
}

// A new file made to replace another, removed unless it was renamed over its target.
class Replacement {
 public:
  Replacement() = default;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  // Makes the file with `mode` (less the umask); false with errno set when it cannot be made.
  bool make(const std::string& target, mode_t mode) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string path = unique_name_beside(target);
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd >= 0) {
        path_ = std::move(path);
        file_.emplace(fd);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  const std::string& path() const { return path_; }
  File& file() { return *file_; }
  // Renamed over its target: nothing left to remove.
  void keep() { path_.clear(); }

 private:
  std::string path_;
  std::optional<File> file_;
};

}  // namespace

std::optional<WriteFailure> write_file(const std::string& path, const TextSource& source,
                                       const StopProbe& stop) {
  if (has_nul(path)) return WriteFailure{true, std::string(kNulInPath)};
  auto write_in_place = [&]() -> std::optional<WriteFailure> {
    File file(retry_interrupted(stop, [&] {
      return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    }));
    if (file.fd() < 0) return WriteFailure{true, os_error_description(errno)};
    if (auto failure = write_text(file.fd(), source, stop)) return WriteFailure{false, *failure};
    // On Linux an interrupted close has still released the descriptor: taken as done, as the
    // interpreter's own close takes it.
    if (file.close() < 0 && errno != EINTR) return WriteFailure{false, os_error_description(errno)};
    return std::nullopt;
  };

  std::optional<std::string> target = follow_links(path);
  if (!target) return write_in_place();  // the open reports the loop
  std::string name = target->substr(target->rfind('/') + 1);
  if (name.empty() || name == "." || name == "..") return write_in_place();
  struct stat st {};
  const bool exists = ::stat(target->c_str(), &st) == 0;
  if (exists && (!S_ISREG(st.st_mode) || mount_root(*target, st))) return write_in_place();
  // Until its bits are set, a replacement for an existing file is readable by its owner alone.
  Replacement replacement;
  if (!replacement.make(*target, exists ? 0600 : 0666)) {
    // A directory the process may not write, holding a file it may.
    if (exists && (errno == EACCES || errno == EPERM)) return write_in_place();
    return WriteFailure{true, os_error_description(errno)};
  }
  File& file = replacement.file();
  if (exists) {
    // Only a privileged process may give a file away; the members of a group may give it theirs.
    if (::fchown(file.fd(), st.st_uid, st.st_gid) != 0 &&
        ::fchown(file.fd(), static_cast<uid_t>(-1), st.st_gid) != 0) {
      // Then it stays the process's own.
    }
    // After the owner: changing it can clear the set-user-ID and set-group-ID bits. A file system
    // without permission bits (FAT) may refuse; the file is still worth writing.
    ::fchmod(file.fd(), st.st_mode & 07777);
  }
  auto failed = [](int error) { return WriteFailure{false, os_error_description(error)}; };
  if (auto failure = write_text(file.fd(), source, stop)) return WriteFailure{false, *failure};
  if (retry_interrupted(stop, [&] { return ::fsync(file.fd()); }) != 0) return failed(errno);
  if (file.close() < 0 && errno != EINTR) return failed(errno);
  if (::rename(replacement.path().c_str(), target->c_str()) != 0) return failed(errno);
  replacement.keep();
  // The rename itself reaches the disk with its directory.
  File dir(::open(directory_of(*target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd() >= 0) ::fsync(dir.fd());
  return std::nullopt;
}

}  // namespace tolvane
