#include "support/file_io.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
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
  File(File&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
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
                                           MemoryReservation& memory, const StopProbe& stop) {
  if (has_nul(path)) return std::string(kNulInPath);
  File file(retry_interrupted(stop, [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (file.fd() < 0) return os_error_description(errno);
  // Room for the whole of a regular file at once; a file of unknown size (a FIFO, a device) grows
  // by doubling, each growth held first.
  auto grow_to = [&](std::size_t size) {
    if (!memory.reserve(size)) throw std::bad_alloc();
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

// Copies what `from` holds, from its start, to `to`, in chunks.
std::optional<std::string> copy_file(int from, int to, const StopProbe& stop) {
  if (::lseek(from, 0, SEEK_SET) != 0) return os_error_description(errno);
  std::string chunk(kWriteChunk, '\0');
  for (;;) {
    ssize_t n = retry_interrupted(stop, [&] { return ::read(from, chunk.data(), chunk.size()); });
    if (n < 0) return os_error_description(errno);
    if (n == 0) return std::nullopt;
    if (auto failure = write_all(to, {chunk.data(), static_cast<std::size_t>(n)}, stop)) {
      return failure;
    }
    if (stop()) throw Interrupted{};
  }
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The directory a path names its last component in, opened, and that component. Nothing for a
// path whose last component names no file of its own ("dir/", "..").
struct Place {
  File dir;
  std::string name;
};

std::optional<Place> place_of(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  // Read access lets the directory be synced after a rename; search access is all the open of
  // the whole path would have needed.
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;  // the open of the whole path reports why
  return Place{File(fd), std::move(name)};
}

// Whether the file is mounted on its own (a container's bind-mounted file, say): nothing can be
// renamed over it. Asked of the kernel by the system call, since musl has statx() only from 1.2.5
// and its headers lack the attribute's name.
#ifndef STATX_ATTR_MOUNT_ROOT
#define STATX_ATTR_MOUNT_ROOT 0x2000
#endif
bool mount_root(int fd, const struct stat& st, const struct stat& dir) {
  struct statx x {};
  if (::syscall(SYS_statx, fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS, &x) == 0 &&
      (x.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT)) {
    return (x.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  }
  // Kernels before 5.8 tell only a mount of another file system.
  return dir.st_dev != st.st_dev;
}

// The names of a file's extended attributes (its ACLs among them), each with its value; nothing
// when they cannot all be read.
using Xattrs = std::map<std::string, std::string>;

std::optional<Xattrs> xattrs_of(int fd) {
  Xattrs out;
  std::string names;
  for (;;) {
    ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) return out;  // a file system without them
      return std::nullopt;
    }
    names.resize(static_cast<std::size_t>(size));
    size = ::flistxattr(fd, names.data(), names.size());
    if (size >= 0) {
      names.resize(static_cast<std::size_t>(size));
      break;
    }
    if (errno != ERANGE) return std::nullopt;  // ERANGE: one was added meanwhile
  }
  for (std::size_t at = 0; at < names.size();) {
    std::string name(names.c_str() + at);
    at += name.size() + 1;
    std::string value;
    for (;;) {
      ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
      if (size < 0) return std::nullopt;
      value.resize(static_cast<std::size_t>(size));
      size = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
      if (size >= 0) {
        value.resize(static_cast<std::size_t>(size));
        break;
      }
      if (errno != ERANGE) return std::nullopt;
    }
    out.emplace(std::move(name), std::move(value));
  }
  return out;
}

// The inode flags a user can set (chattr), or 0 where the file system has none.
unsigned inode_flags(int fd) {
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) return 0;
  return static_cast<unsigned>(flags) & FS_FL_USER_MODIFIABLE;
}

// Gives `to` what the file `from` (whose status is `st`) carries besides its text: owner, group,
// permission bits, extended attributes (ACLs, security labels) and inode flags. False when any of
// them cannot be given, or comes out different: then replacing the file would change more than
// its contents.
bool carry_attributes(int from, const struct stat& st, int to) {
  struct stat now {};
  if (::fstat(to, &now) != 0) return false;
  // Only a privileged process may give a file away; the members of a group may give it theirs.
  if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) &&
      ::fchown(to, now.st_uid == st.st_uid ? static_cast<uid_t>(-1) : st.st_uid,
               now.st_gid == st.st_gid ? static_cast<gid_t>(-1) : st.st_gid) != 0) {
    return false;
  }
  // After the owner, whose change can clear the set-user-ID and set-group-ID bits; before the
  // ACL, which sets the group bits to its mask.
  if (::fchmod(to, st.st_mode & 07777) != 0) return false;
  auto wanted = xattrs_of(from);
  auto has = xattrs_of(to);
  if (!wanted || !has) return false;
  // Those the new file got from its directory (a default ACL, a label) and the old one lacks.
  for (const auto& [name, value] : *has) {
    if (!wanted->contains(name) && ::fremovexattr(to, name.c_str()) != 0) return false;
  }
  for (const auto& [name, value] : *wanted) {
    auto it = has->find(name);
    if ((it == has->end() || it->second != value) &&
        ::fsetxattr(to, name.c_str(), value.data(), value.size(), 0) != 0) {
      return false;
    }
  }
  return ::fstat(to, &now) == 0 && now.st_uid == st.st_uid && now.st_gid == st.st_gid &&
         now.st_mode == st.st_mode && xattrs_of(to) == wanted &&
         inode_flags(to) == inode_flags(from);
}

// A name for a new file in the target's directory: the target's name behind a dot, and six random
// letters and digits.
std::string unique_name_beside(std::string_view target) {
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::uint64_t random = 0;
  if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
    random =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) *
            0x9e3779b97f4a7c15ULL ^
        static_cast<std::uint64_t>(::getpid());
  }
  // Short enough that the name fits the file system's limit whatever the target's.
  std::string name = '.' + std::string(target.substr(0, 200)) + '.';
  for (int i = 0; i < 6; ++i, random /= sizeof kLetters - 1) {
    name += kLetters[random % (sizeof kLetters - 1)];
  }
  return name;
}

// The file that will replace the target, in the target's directory: unnamed until it is put in
// the target's place where the file system can make such a file (so that nothing of it can
// outlive the save, whatever ends the process), else under a unique name, removed unless it took
// the target's place.
class Replacement {
 public:
  explicit Replacement(int dir) : dir_(dir) {}
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement() {
    if (!name_.empty()) ::unlinkat(dir_, name_.c_str(), 0);
  }

  // Makes the file, readable and writable by its owner alone until it is given the target's
  // attributes; false when it cannot be made.
  bool make(std::string_view target) {
    // An unnamed file is named in the end by its descriptor (a privileged process) or through
    // /proc.
    const bool nameable = ::geteuid() == 0 || ::access("/proc/self/fd", X_OK) == 0;
    int fd = nameable ? ::openat(dir_, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600) : -1;
    if (fd >= 0) {
      file_.emplace(fd);
      return true;
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = unique_name_beside(target);
      fd = ::openat(dir_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) {
        name_ = std::move(name);
        file_.emplace(fd);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  File& file() { return *file_; }

  // Renames the file over `target`; false when it cannot.
  bool take_place_of(const std::string& target) {
    if (name_.empty() && !link_unnamed(target)) return false;
    if (::renameat(dir_, name_.c_str(), dir_, target.c_str()) != 0) return false;
    name_.clear();
    return true;
  }

 private:
  // Gives the unnamed file a unique name: by its descriptor where the process may (root), else
  // through /proc.
  bool link_unnamed(const std::string& target) {
    std::string through_proc = "/proc/self/fd/" + std::to_string(file_->fd());
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = unique_name_beside(target);
      if (::linkat(file_->fd(), "", dir_, name.c_str(), AT_EMPTY_PATH) == 0 ||
          (errno != EEXIST &&
           ::linkat(AT_FDCWD, through_proc.c_str(), dir_, name.c_str(), AT_SYMLINK_FOLLOW) == 0)) {
        name_ = std::move(name);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  int dir_;
  std::string name_;
  std::optional<File> file_;
};

// A file the save itself created, removed unless the save succeeds: a failed save of a new name
// leaves nothing. Only while the name still leads to that file.
class CreatedFile {
 public:
  CreatedFile(const Place* place, const struct stat& st) : place_(place), st_(st) {}
  CreatedFile(const CreatedFile&) = delete;
  CreatedFile& operator=(const CreatedFile&) = delete;
  ~CreatedFile() {
    struct stat now {};
    if (place_ &&
        ::fstatat(place_->dir.fd(), place_->name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        same_file(now, st_)) {
      ::unlinkat(place_->dir.fd(), place_->name.c_str(), 0);
    }
  }
  void keep() { place_ = nullptr; }

 private:
  const Place* place_;
  struct stat st_;
};

WriteFailure failed_write(int error) { return WriteFailure{false, os_error_description(error)}; }

// Truncates and writes the file open at `fd` where it is, then syncs a regular file.
std::optional<WriteFailure> write_in_place(File& file, const struct stat& st,
                                           const std::function<std::optional<std::string>()>& write,
                                           const StopProbe& stop) {
  const bool regular = S_ISREG(st.st_mode);
  if (regular && ::ftruncate(file.fd(), 0) != 0) return failed_write(errno);
  if (auto failure = write()) return WriteFailure{false, *failure};
  if (regular && retry_interrupted(stop, [&] { return ::fsync(file.fd()); }) != 0) {
    return failed_write(errno);
  }
  // On Linux an interrupted close has still released the descriptor: taken as done, as the
  // interpreter's own close takes it.
  if (file.close() < 0 && errno != EINTR) return failed_write(errno);
  return std::nullopt;
}

// Whether the directory's sticky bit keeps this process from renaming over the file.
bool sticky_refuses(const struct stat& dir, const struct stat& st) {
  uid_t me = ::geteuid();
  return (dir.st_mode & S_ISVTX) && me != 0 && st.st_uid != me && dir.st_uid != me;
}

// Whether the file may be replaced: only where a new file can take its place and nothing but the
// text changes. A regular file with no other name, named in the directory itself (not through a
// link), not mounted on its own, in a directory whose sticky bit does not refuse the rename; its
// owner and attributes are checked as they are copied. Anything else is written where it is, as
// careful editors do.
bool replaceable(const Place& place, int fd, const struct stat& st) {
  struct stat named {};
  struct stat dir {};
  return S_ISREG(st.st_mode) && st.st_nlink == 1 &&
         ::fstatat(place.dir.fd(), place.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         same_file(named, st) && ::fstat(place.dir.fd(), &dir) == 0 && !mount_root(fd, st, dir) &&
         !sticky_refuses(dir, st);
}

// Writes the text into the replacement, syncs it and renames it over the file. A rename the
// directory refuses after all (a mount, a sticky bit, a security module), or an unnamed file that
// cannot be named, puts the complete text into the file where it is instead.
std::optional<WriteFailure> replace(File& file, const struct stat& st, Replacement& replacement,
                                    const Place& place, const TextSource& source,
                                    const StopProbe& stop) {
  int fd = replacement.file().fd();
  if (auto failure = write_text(fd, source, stop)) return WriteFailure{false, *failure};
  if (retry_interrupted(stop, [&] { return ::fsync(fd); }) != 0) return failed_write(errno);
  if (!replacement.take_place_of(place.name)) {
    return write_in_place(file, st, [&] { return copy_file(fd, file.fd(), stop); }, stop);
  }
  // The rename itself reaches the disk with its directory (which cannot be synced when opened for
  // search alone).
  ::fsync(place.dir.fd());
  return std::nullopt;
}

}  // namespace

std::optional<WriteFailure> write_file(const std::string& path, const TextSource& source,
                                       const StopProbe& stop) {
  if (has_nul(path)) return WriteFailure{true, std::string(kNulInPath)};
  // Opened by the kernel, with the process's rights, as open() opens it: the only lookup of the
  // path. Created if missing, not truncated: it may yet be replaced instead.
  std::optional<Place> place = place_of(path);
  constexpr int kFlags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY;
  auto open_at = [&](int flags) {
    return retry_interrupted(stop, [&] {
      return place ? ::openat(place->dir.fd(), place->name.c_str(), flags, 0666)
                   : ::open(path.c_str(), flags, 0666);
    });
  };
  int fd = open_at(kFlags | O_EXCL);
  const bool created = fd >= 0;
  if (!created && errno == EEXIST) fd = open_at(kFlags);
  if (fd < 0) return WriteFailure{true, os_error_description(errno)};
  File file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return WriteFailure{true, os_error_description(errno)};
  CreatedFile created_file(created && place ? &*place : nullptr, st);

  std::optional<Replacement> replacement;
  if (place && replaceable(*place, fd, st)) {
    replacement.emplace(place->dir.fd());
    if (!replacement->make(place->name) || !carry_attributes(fd, st, replacement->file().fd())) {
      replacement.reset();
    }
  }
  auto failure = replacement
                     ? replace(file, st, *replacement, *place, source, stop)
                     : write_in_place(file, st, [&] { return write_text(fd, source, stop); }, stop);
  if (!failure) created_file.keep();
  return failure;
}

}  // namespace tolvane
