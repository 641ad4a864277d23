#include "cli/serial_counter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <string_view>

#include "base/failure.h"
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

// Reads the counter from the locked `fd`, then replaces the file with the next value.
bool advance(int fd, const std::string& path, std::uint64_t* serialOut, std::string* error) {
  std::string text(kMaxCounterSize + 1, '\0');
  const ssize_t got = ::pread(fd, text.data(), text.size(), 0);
  if (got < 0) {
    return failWith(error, systemError("cannot read the serial file " + path));
  }
  text.resize(static_cast<std::size_t>(got));
  std::uint64_t last = 0;
  if (!parseCounter(text, &last)) {
    return failWith(error, "the serial file " + path + " does not hold a serial");
  }
  if (last == std::numeric_limits<std::uint64_t>::max()) {
    return failWith(error, "the serial file " + path + " has no serial left");
  }
  const std::uint64_t next = last + 1;
  // Written and synced while the lock is held, before any signature carries the serial.
  if (!writeFileAtomically(path, std::to_string(next) + "\n", kCounterMode, /*replace=*/true,
                           error)) {
    return false;
  }
  *serialOut = next;
  return true;
}

}  // namespace

bool takeNextSerial(const std::string& path, std::uint64_t* serialOut, std::string* error) {
  // A writer replaces the file by renaming, so a lock taken on a file that has meanwhile
  // been replaced is dropped and taken again on the new one.
  for (;;) {
    const UniqueFd counter(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kCounterMode));
    if (counter.get() < 0) {
      return failWith(error, systemError("cannot open the serial file " + path));
    }
    if (::flock(counter.get(), LOCK_EX) != 0) {
      return failWith(error, systemError("cannot lock the serial file " + path));
    }
    struct stat locked {};
    struct stat current {};
    if (::fstat(counter.get(), &locked) != 0) {
      return failWith(error, systemError("cannot read the serial file " + path));
    }
    if (::stat(path.c_str(), &current) == 0 && sameFile(locked, current)) {
      return advance(counter.get(), path, serialOut, error);
    }
  }
}

}  // namespace zezi
