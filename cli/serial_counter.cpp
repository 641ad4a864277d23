#include "cli/serial_counter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <string_view>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "cli/atomic_file.h"
#include "cli/time_text.h"

namespace zezi {
namespace {

constexpr mode_t kCounterMode = 0644;
// Far more than any counter's digits; a larger file is not a counter.
constexpr std::size_t kMaxCounterSize = 64;

// The counter's text: digits and at most one line end.
bool parseCounter(std::string text, std::uint64_t* value) {
  if (text.empty()) {
    *value = 0;
    return true;
  }
  if (text.ends_with('\n')) {
    text.pop_back();
  }
  const std::optional<std::uint64_t> parsed = parseUnsigned(text);
  if (!parsed) {
    return false;
  }
  *value = *parsed;
  return true;
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

std::string named(const std::string& path) {
  return "the serial file " + path;
}

std::string missingMessage(const std::string& path) {
  return named(path) + " does not exist (create it with --init-serial)";
}

std::string existingMessage(const std::string& path) {
  return named(path) + " exists (leave out --init-serial)";
}

// The file the counter's name leads to, symlinks followed.
bool counterTarget(const std::string& path, std::string* target, std::string* error) {
  return followSymlinks(path, target) || failWith(error, systemError("cannot read " + named(path)));
}

// The counter's value at the locked `fd`.
bool readCounter(int fd, const std::string& path, std::uint64_t* value, std::string* error) {
  std::string text(kMaxCounterSize + 1, '\0');
  const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
  if (got < 0) {
    return failWith(error, systemError("cannot read " + named(path)));
  }
  text.resize(static_cast<std::size_t>(got));
  return parseCounter(text, value) || failWith(error, named(path) + " does not hold a serial");
}

// Reads the counter from the locked `fd`, then replaces `target` with the next value.
bool advance(int fd, const std::string& path, const std::string& target, std::uint64_t* serialOut,
             std::string* error) {
  std::uint64_t last = 0;
  if (!readCounter(fd, path, &last, error)) {
    return false;
  }
  if (last == std::numeric_limits<std::uint64_t>::max()) {
    return failWith(error, named(path) + " has no serial left");
  }
  const std::uint64_t next = last + 1;
  // Written and synced while the lock is held, before any signature carries the serial.
  if (!writeFileAtomically(target, std::to_string(next) + "\n", kCounterMode, /*replace=*/true,
                           error)) {
    return false;
  }
  *serialOut = next;
  return true;
}

// Opens and locks the counter at `target`, a name without a symlink at its end.
bool lockCounter(const std::string& path, const std::string& target, UniqueFd* counter,
                 struct stat* locked, std::string* error, int lock = LOCK_EX) {
  switch (openRegularFile(target, O_RDONLY | O_NOFOLLOW, counter)) {
    case FileOpening::kOpened:
      break;
    case FileOpening::kNotRegular:
      return failWith(error, named(path) + " is not a regular file");
    case FileOpening::kFailed:
      return failWith(error, errno == ENOENT ? missingMessage(path)
                                             : systemError("cannot read " + named(path)));
  }
  if (::flock(counter->get(), lock) != 0) {
    return failWith(error, systemError("cannot lock " + named(path)));
  }
  if (::fstat(counter->get(), locked) != 0) {
    return failWith(error, systemError("cannot read " + named(path)));
  }
  return true;
}

}  // namespace

bool checkSerialFile(const std::string& path, CounterStart start, std::string* error) {
  std::string target;
  if (!counterTarget(path, &target, error)) {
    return false;
  }
  struct stat info {};
  const bool exists = ::lstat(target.c_str(), &info) == 0;
  if (!exists && errno != ENOENT) {
    return failWith(error, systemError("cannot read " + named(path)));
  }
  if (start == CounterStart::kCreate && exists) {
    return failWith(error, existingMessage(path));
  }
  return start == CounterStart::kCreate || exists || failWith(error, missingMessage(path));
}

bool takeNextSerial(const std::string& path, CounterStart start, std::uint64_t* serialOut,
                    std::string* error) {
  std::string target;
  if (!counterTarget(path, &target, error)) {
    return false;
  }
  if (start == CounterStart::kCreate) {
    // Empty, it counts as 0 until the first serial is taken from it just below.
    const UniqueFd created(::open(target.c_str(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                  kCounterMode));
    if (created.get() < 0) {
      return failWith(error, errno == EEXIST ? existingMessage(path)
                                             : systemError("cannot create " + named(path)));
    }
  }
  // A writer replaces the file by renaming, so a lock taken on a file that has meanwhile
  // been replaced is dropped and taken again on the new one.
  for (;;) {
    UniqueFd counter;
    struct stat locked {};
    struct stat current {};
    if (!lockCounter(path, target, &counter, &locked, error)) {
      return false;
    }
    if (::lstat(target.c_str(), &current) != 0 || !sameFile(locked, current)) {
      continue;
    }
    // Replacing the file would leave the other name with the old count.
    if (locked.st_nlink > 1) {
      return failWith(error, named(path) + " has more than one hard link");
    }
    return advance(counter.get(), path, target, serialOut, error);
  }
}

bool readLastSerial(const std::string& path, std::uint64_t* serialOut, std::string* error) {
  std::string target;
  if (!counterTarget(path, &target, error)) {
    return false;
  }
  // Here nothing is to be created: the counter is the one the signer signs with.
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0 && errno == ENOENT) {
    return failWith(error, named(path) + " does not exist");
  }
  UniqueFd counter;
  struct stat locked {};
  return lockCounter(path, target, &counter, &locked, error, LOCK_SH) &&
         readCounter(counter.get(), path, serialOut, error);
}

}  // namespace zezi
