// File descriptors and their helpers, shared by the library and the tool: the owner, the
// one way to open a file that is read (never waiting on a FIFO or a device, and never
// taking anything but a regular file), whole reads and writes that survive signals, folders
// opened and flushed, and SIGINT, SIGTERM and SIGHUP held back while names change.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

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

// read(2) that retries when a signal interrupts it: the count read, 0 at the end, -1 on a
// failure (errno tells why).
[[nodiscard]] inline ssize_t readSome(int fd, void* buffer, std::size_t size) {
  ssize_t count = 0;
  do {
    count = ::read(fd, buffer, size);
  } while (count < 0 && errno == EINTR);
  return count;
}

// Writes all of the `size` octets at `data`, retrying after signals and short writes; false
// on a failure.
[[nodiscard]] inline bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* next = static_cast<const char*>(data);
  std::size_t left = size;
  while (left > 0) {
    const ssize_t written = ::write(fd, next, left);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    next += written;
    left -= static_cast<std::size_t>(written);
  }
  return true;
}

[[nodiscard]] inline bool writeAll(int fd, std::string_view content) {
  return writeAll(fd, content.data(), content.size());
}

enum class WholeRead {
  kRead,
  kFailed,    // errno tells why
  kTooLarge,  // more than the size allowed
};

// Reads `fd` to its end into `*out`, a string or a vector of octets (a cleansing one for a
// secret), which is untouched unless the whole was read. Room for `maxSize` + 1 octets is
// taken up front, so a secret is never moved while it is read, and at most that is read.
template <typename Container>
[[nodiscard]] WholeRead readAll(int fd, std::size_t maxSize, Container* out) {
  constexpr std::size_t kChunk = 4096;
  Container content;
  content.reserve(maxSize + 1);
  std::array<char, kChunk> buffer{};
  ssize_t count = 0;
  while (content.size() <= maxSize &&
         (count = readSome(fd, buffer.data(),
                           std::min(buffer.size(), maxSize + 1 - content.size()))) > 0) {
    content.insert(content.end(), buffer.data(), buffer.data() + count);
  }
  OPENSSL_cleanse(buffer.data(), buffer.size());
  if (count < 0) {
    return WholeRead::kFailed;
  }
  if (content.size() > maxSize) {
    return WholeRead::kTooLarge;
  }
  *out = std::move(content);
  return WholeRead::kRead;
}

// Calls `visit` with each entry of the open folder `folder`, listed as a stream from its
// start through a description of its own; false when the folder cannot be listed.
template <typename Visit>
[[nodiscard]] bool forEachEntry(int folder, const Visit& visit) {
  const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* entries = listed < 0 ? nullptr : ::fdopendir(listed);
  if (entries == nullptr) {
    if (listed >= 0) {
      ::close(listed);
    }
    return false;
  }
  while (const dirent* entry = ::readdir(entries)) {
    visit(*entry);
  }
  ::closedir(entries);
  return true;
}

// The folder of `path`, "." for a bare name.
[[nodiscard]] inline std::string folderOf(const std::string& path) {
  const std::string folder = std::filesystem::path(path).parent_path().string();
  return folder.empty() ? std::string(".") : folder;
}

// Opens the folder `path` to work in it or flush it; false with errno set.
[[nodiscard]] inline bool openFolder(const std::string& path, UniqueFd* out) {
  out->reset(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return out->get() >= 0;
}

// Flushes the folder `path`, so that the names given in it survive a power cut; false with
// errno set.
[[nodiscard]] inline bool syncFolder(const std::string& path) {
  UniqueFd folder;
  return openFolder(path, &folder) && ::fsync(folder.get()) == 0;
}

// Holds SIGINT, SIGTERM and SIGHUP back in the calling thread while it lives, so that a
// file's names change while nothing can end the process halfway through; one that arrives
// meanwhile is delivered when it ends.
class StopSignalsHeld {
 public:
  StopSignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kStopSignals) {
      sigaddset(&set, signal);
    }
    pthread_sigmask(SIG_BLOCK, &set, &saved_);
  }
  StopSignalsHeld(const StopSignalsHeld&) = delete;
  StopSignalsHeld& operator=(const StopSignalsHeld&) = delete;
  ~StopSignalsHeld() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

  static constexpr std::array<int, 3> kStopSignals{SIGINT, SIGTERM, SIGHUP};

 private:
  sigset_t saved_{};
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
