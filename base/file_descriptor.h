// File descriptors, and the one way the library and the tool open a file they read: never
// waiting on a FIFO or a device, and never taking anything but a regular file.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>

namespace zezi {

// Owns one open file descriptor and closes it when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  [[nodiscard]] int get() const noexcept { return fd_; }
  // Closes what is held, ignoring the outcome, and takes `fd` in its place.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  // Gives up ownership without closing.
  [[nodiscard]] int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes now, reporting whether the close succeeded (a late write error shows here).
  [[nodiscard]] bool close() noexcept {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

enum class FileOpening {
  kOpened,
  kFailed,      // errno tells why: ENOENT for a missing file, EISDIR for a folder, ...
  kNotRegular,  // a FIFO, a device or a socket
};

// Opens `path` with `flags` (O_CREAT takes `mode`), without blocking on a FIFO or a device
// (O_NONBLOCK, which a regular file's reads and writes ignore), and checks that it is a
// regular file. `*info` gets its status when given.
[[nodiscard]] inline FileOpening openRegularFile(const std::string& path, int flags, UniqueFd* out,
                                                 struct stat* info = nullptr, mode_t mode = 0600) {
  UniqueFd file(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, mode));
  struct stat status {};
  if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
    return FileOpening::kFailed;
  }
  if (S_ISDIR(status.st_mode)) {
    errno = EISDIR;
    return FileOpening::kFailed;
  }
  if (!S_ISREG(status.st_mode)) {
    return FileOpening::kNotRegular;
  }
  if (info != nullptr) {
    *info = status;
  }
  out->reset(file.release());
  return FileOpening::kOpened;
}

// The path that `path` leads to once the symlinks at its end are followed, as the kernel
// follows them (a relative target from the link's folder), whether or not the last target
// exists. False, with errno set, for a loop or a link that cannot be read.
[[nodiscard]] inline bool followSymlinks(const std::string& path, std::string* resolved) {
  constexpr int kMaxLinks = 40;  // as the kernel's own limit
  std::filesystem::path current = path;
  for (int hop = 0; hop < kMaxLinks; ++hop) {
    struct stat info {};
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      *resolved = current.string();
      return true;
    }
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(current.c_str(), target.data(), target.size());
    if (length < 0 || static_cast<std::size_t>(length) >= target.size()) {
      errno = length < 0 ? errno : ENAMETOOLONG;
      return false;
    }
    const std::filesystem::path next(std::string(target.data(), static_cast<std::size_t>(length)));
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  errno = ELOOP;
  return false;
}

}  // namespace zezi
