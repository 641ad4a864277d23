#include "base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "base/failure.h"

namespace zezi {
namespace {

constexpr int kNameAttempts = 8;
constexpr std::size_t kNameSuffixSize = 6;
constexpr std::size_t kMaxPendingRemovals = kMaxStagedAtOnce;
constexpr mode_t kAllModeBits = 07777;
constexpr mode_t kGroupAndOthers = S_IRWXG | S_IRWXO;
constexpr std::size_t kProcFdPathSize = 32;
constexpr long kFuseMagic = 0x65735546;
constexpr std::string_view kTemporaryKind = ".tmp-";

// A temporary name to remove should a cleanup signal end the process. The table is read
// by the signal handler and changed only while those signals are blocked, and by one
// thread at a time.
struct PendingRemoval {
  int folder = -1;
  std::array<char, NAME_MAX + 1> name{};
};
std::array<PendingRemoval, kMaxPendingRemovals> pendingRemovals;
std::mutex pendingRemovalsLock;

void removePendingAndDie(int signal) {
  for (const PendingRemoval& pending : pendingRemovals) {
    if (pending.folder >= 0) {
      unlinkat(pending.folder, pending.name.data(), 0);
    }
  }
  // SA_RESETHAND has restored the default action, which ends the process once this
  // handler returns.
  static_cast<void>(raise(signal));
}

// Installs the handler for each cleanup signal that has its default action, leaving alone
// one the process was started ignoring or that has a handler already.
void installCleanupHandler() {
  struct sigaction action {};
  action.sa_handler = removePendingAndDie;
  action.sa_flags = static_cast<int>(SA_RESETHAND);  // an unsigned constant on ARM
  sigemptyset(&action.sa_mask);
  for (const int signal : StopSignalsHeld::kStopSignals) {
    sigaddset(&action.sa_mask, signal);
  }
  for (const int signal : StopSignalsHeld::kStopSignals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      sigaction(signal, &action, nullptr);
    }
  }
}

int addPendingRemoval(int folder, const std::string& name) {
  if (name.size() >= NAME_MAX + 1) {
    return -1;
  }
  const std::lock_guard guard(pendingRemovalsLock);
  installCleanupHandler();
  for (std::size_t slot = 0; slot < pendingRemovals.size(); ++slot) {
    if (pendingRemovals[slot].folder < 0) {
      std::memcpy(pendingRemovals[slot].name.data(), name.c_str(), name.size() + 1);
      pendingRemovals[slot].folder = folder;
      return static_cast<int>(slot);
    }
  }
  return -1;
}

void dropPendingRemoval(int slot) {
  const std::lock_guard guard(pendingRemovalsLock);
  if (slot >= 0) {
    pendingRemovals[static_cast<std::size_t>(slot)].folder = -1;
  }
}

// The temporary names of `name` start with this.
std::string temporaryPrefix(const std::string& name) {
  // Built by appending, which optimised g++ 12 does not misread as an overlapping copy.
  std::string prefix = ".";
  prefix += name;
  prefix += kTemporaryKind;
  return prefix;
}

// ".<name>.tmp-<12 random hex digits>", or empty when no random octets can be drawn.
std::string temporaryName(const std::string& name) {
  std::array<unsigned char, kNameSuffixSize> suffix{};
  if (RAND_bytes(suffix.data(), static_cast<int>(suffix.size())) != 1) {
    return {};
  }
  std::string text = temporaryPrefix(name);
  for (const unsigned char octet : suffix) {
    std::array<char, 3> digits{};
    static_cast<void>(std::snprintf(digits.data(), digits.size(), "%02x", octet));
    text += digits.data();
  }
  return text;
}

// The answers of a file system without Unix modes, or without hard links.
bool notSupportedHere(int error) {
  return error == ENOSYS || error == EPERM || error == EOPNOTSUPP;
}

std::string octalMode(mode_t mode) {
  std::array<char, 8> text{};
  static_cast<void>(std::snprintf(text.data(), text.size(), "%04o", mode & kAllModeBits));
  return text.data();
}

// Gives `fd` exactly `mode`. A private mode must hold when `mustHold`; any other is given
// up where the file system has no Unix modes, since nothing is lost there by being readable.
bool setMode(int fd, mode_t mode, bool mustHold, const std::string& target, std::string* error,
             WriteStep* step) {
  const bool isPrivate = mustHold && isPrivateMode(mode);
  if (fchmod(fd, mode) != 0) {
    if (!notSupportedHere(errno)) {
      *step = WriteStep::kWrite;
      return failWith(error, systemError("cannot write " + target));
    }
    *step = WriteStep::kUnprotected;
    return !isPrivate || failWith(error, unprotectedMessage(target, mode));
  }
  // Some file systems accept a mode they cannot keep.
  struct stat info {};
  if (isPrivate && (fstat(fd, &info) != 0 || (info.st_mode & kAllModeBits) != mode)) {
    *step = WriteStep::kUnprotected;
    return failWith(error, unprotectedMessage(target, mode));
  }
  return true;
}

// O_TMPFILE files get their name through /proc, which needs no privilege.
bool procFdAvailable() {
  static const bool available = access("/proc/self/fd", X_OK) == 0;
  return available;
}

bool existsAt(int folder, const std::string& name) {
  struct stat info {};
  return fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

// createFileAt, with a private mode given up where `mustHold` is false.
bool createAt(int folder, const std::string& name, std::string_view content, mode_t mode,
              bool mustHold, const std::string& target, std::string* error) {
  UniqueFd file(
      openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
  if (file.get() < 0) {
    const int why = errno;
    static_cast<void>(failWith(error, systemError("cannot write " + target)));
    errno = why;
    return false;
  }
  std::string message;
  WriteStep step = WriteStep::kNone;
  const bool written = setMode(file.get(), mode, mustHold, target, &message, &step) &&
                       ((writeAll(file.get(), content) && fsync(file.get()) == 0 && file.close()) ||
                        failWith(&message, systemError("cannot write " + target)));
  if (!written) {
    file.reset();
    unlinkat(folder, name.c_str(), 0);
    return failWith(error, message);
  }
  return true;
}

}  // namespace

bool isPrivateMode(mode_t mode) {
  return (mode & kGroupAndOthers) == 0;
}

std::string unprotectedMessage(const std::string& target, mode_t mode) {
  return "cannot write " + target + ": its file system cannot restrict it to its owner (mode " +
         octalMode(mode) + ")";
}

std::string existingTargetMessage(const std::string& target, std::string_view advice) {
  return advice.empty() ? target + " exists" : target + " exists (" + std::string(advice) + ")";
}

bool writesInPlace(int folder) {
  struct statfs fileSystem {};
  struct stat info {};
  if (fstatfs(folder, &fileSystem) != 0 || fileSystem.f_type != kFuseMagic ||
      fstat(folder, &info) != 0) {
    return false;
  }
  // Giving the folder the mode it has changes nothing where modes are kept.
  return fchmod(folder, info.st_mode & kAllModeBits) != 0 &&
         (errno == ENOSYS || errno == EOPNOTSUPP);
}

bool createFileAt(int folder, const std::string& name, std::string_view content, mode_t mode,
                  const std::string& target, std::string* error) {
  return createAt(folder, name, content, mode, /*mustHold=*/true, target, error);
}

void removeStagingLeftovers(int folder, const std::string& name) {
  const std::string prefix = temporaryPrefix(name);
  static_cast<void>(forEachEntry(folder, [&](const dirent& entry) {
    if (std::string_view(entry.d_name).starts_with(prefix)) {
      unlinkat(folder, entry.d_name, 0);
    }
  }));
}

AtomicFile::~AtomicFile() {
  discard();
}

bool AtomicFile::fail(WriteStep step, std::string* error, std::string_view message) {
  failedStep_ = step;
  failedErrno_ = errno;
  return failWith(error, message);
}

void AtomicFile::forgetTemporary() {
  dropPendingRemoval(removalSlot_);
  removalSlot_ = -1;
  temporary_.clear();
}

void AtomicFile::discard() {
  const int saved = errno;
  const StopSignalsHeld held;
  if (!temporary_.empty()) {
    unlinkat(folder_.get(), temporary_.c_str(), 0);
  }
  forgetTemporary();
  unnamed_.reset();
  folder_.reset();
  inPlace_ = false;
  content_.clear();
  errno = saved;
}

bool AtomicFile::createNamed(mode_t mode, UniqueFd* file, std::string* error) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string candidate = temporaryName(name_);
    if (candidate.empty()) {
      return fail(WriteStep::kDraw, error, "cannot draw a temporary file name");
    }
    file->reset(openat(folder_.get(), candidate.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (file->get() < 0 && errno == EEXIST) {
      continue;
    }
    if (file->get() < 0) {
      return fail(WriteStep::kCreate, error, systemError("cannot create a file beside " + target_));
    }
    temporary_ = candidate;
    removalSlot_ = addPendingRemoval(folder_.get(), candidate);
    return removalSlot_ >= 0 || fail(WriteStep::kCreate, error, "too many files staged at once");
  }
  return fail(WriteStep::kCreate, error, "cannot find a free temporary name beside " + target_);
}

bool AtomicFile::stage(const std::string& target, std::string_view content, mode_t mode,
                       std::string* error) {
  if (folder_.get() >= 0) {
    return fail(WriteStep::kMisuse, error, "a file is already staged");
  }
  const StopSignalsHeld held;
  failedStep_ = WriteStep::kNone;
  target_ = target;
  name_ = std::filesystem::path(target).filename().string();
  if (!openFolder(folderOf(target), &folder_)) {
    return fail(WriteStep::kCreate, error, systemError("cannot write " + target));
  }
  const bool mustHold = options_.privateModeMustHold;
  if (options_.inPlaceWithoutModes && writesInPlace(folder_.get())) {
    if (mustHold && isPrivateMode(mode)) {
      discard();
      return fail(WriteStep::kUnprotected, error, unprotectedMessage(target, mode));
    }
    inPlace_ = true;
    content_.assign(content.begin(), content.end());
    mode_ = mode;
    return true;
  }
  UniqueFd file;
  if (options_.staging == Staging::kUnnamedWherePossible && procFdAvailable()) {
    file.reset(openat(folder_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    // Other answers than these mean the folder cannot take a file of any kind.
    if (file.get() < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      const bool failed =
          fail(WriteStep::kCreate, error, systemError("cannot create a file beside " + target));
      discard();
      return failed;
    }
  }
  if (file.get() < 0 && !createNamed(mode, &file, error)) {
    discard();
    return false;
  }
  WriteStep step = WriteStep::kNone;
  if (!setMode(file.get(), mode, mustHold, target_, error, &step)) {
    const bool failed = fail(step, nullptr, {});
    discard();
    return failed;
  }
  if (!writeAll(file.get(), content) || fsync(file.get()) != 0 ||
      (!temporary_.empty() && !file.close())) {
    const bool failed = fail(WriteStep::kWrite, error, systemError("cannot write " + target_));
    discard();
    return failed;
  }
  if (temporary_.empty()) {
    unnamed_.reset(file.release());
  }
  return true;
}

bool AtomicFile::linkUnnamed(const std::string& name) const {
  std::array<char, kProcFdPathSize> path{};
  static_cast<void>(std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", unnamed_.get()));
  return linkat(AT_FDCWD, path.data(), folder_.get(), name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool AtomicFile::nameUnnamed(std::string* error) {
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    const std::string candidate = temporaryName(name_);
    if (candidate.empty()) {
      return fail(WriteStep::kDraw, error, "cannot draw a temporary file name");
    }
    if (linkUnnamed(candidate)) {
      temporary_ = candidate;
      removalSlot_ = addPendingRemoval(folder_.get(), candidate);
      unnamed_.reset();
      return true;
    }
    if (errno != EEXIST) {
      return fail(WriteStep::kName, error, systemError("cannot write " + target_));
    }
  }
  return fail(WriteStep::kName, error, "cannot find a free temporary name beside " + target_);
}

bool AtomicFile::renameWithoutReplacing(std::string* error) {
  const int folder = folder_.get();
  const char* const from = temporary_.c_str();
  const char* const to = name_.c_str();
  const std::string exists = existingTargetMessage(target_, options_.existsAdvice);
  if (renameat2(folder, from, folder, to, RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) {
    return errno == EEXIST ? fail(WriteStep::kExists, error, exists)
                           : fail(WriteStep::kPlace, error, systemError("cannot write " + target_));
  }
  // Without the no-replace rename a hard link refuses an existing name just as
  // atomically; without hard links too (FAT) only a look just before the rename is left.
  if (linkat(folder, from, folder, to, 0) == 0) {
    unlinkat(folder, from, 0);
    return true;
  }
  const int linkError = errno;
  if (linkError == EEXIST || (notSupportedHere(linkError) && existsAt(folder, name_))) {
    return fail(WriteStep::kExists, error, exists);
  }
  errno = linkError;
  return (notSupportedHere(linkError) && renameat(folder, from, folder, to) == 0) ||
         fail(WriteStep::kPlace, error, systemError("cannot write " + target_));
}

bool AtomicFile::writeInPlace(bool replace, std::string* error) {
  if (existsAt(folder_.get(), name_)) {
    if (!replace) {
      return fail(WriteStep::kExists, error, existingTargetMessage(target_, options_.existsAdvice));
    }
    if (unlinkat(folder_.get(), name_.c_str(), 0) != 0) {
      return fail(WriteStep::kPlace, error, systemError("cannot write " + target_));
    }
  }
  if (!createAt(folder_.get(), name_, content_, mode_, options_.privateModeMustHold, target_,
                error)) {
    // Created by someone else since the look above.
    return errno == EEXIST ? fail(WriteStep::kExists, error,
                                  existingTargetMessage(target_, options_.existsAdvice))
                           : fail(WriteStep::kPlace, nullptr, {});
  }
  content_.clear();
  inPlace_ = false;
  return true;
}

bool AtomicFile::place(bool replace, std::string* error) {
  if (folder_.get() < 0) {
    return fail(WriteStep::kMisuse, error, "nothing staged");
  }
  if (inPlace_) {
    return writeInPlace(replace, error);
  }
  if (unnamed_.get() >= 0 && !replace) {
    // The link refuses an existing name, atomically.
    if (!linkUnnamed(name_)) {
      return errno == EEXIST
                 ? fail(WriteStep::kExists, error,
                        existingTargetMessage(target_, options_.existsAdvice))
                 : fail(WriteStep::kPlace, error, systemError("cannot write " + target_));
    }
    unnamed_.reset();
    return true;
  }
  // Nothing replaces a name with an unnamed file, so it is named just before the rename.
  if (unnamed_.get() >= 0 && !nameUnnamed(error)) {
    return false;
  }
  if (replace) {
    if (renameat(folder_.get(), temporary_.c_str(), folder_.get(), name_.c_str()) != 0) {
      return fail(WriteStep::kPlace, error, systemError("cannot write " + target_));
    }
  } else if (!renameWithoutReplacing(error)) {
    return false;
  }
  forgetTemporary();
  return true;
}

bool AtomicFile::commit(bool replace, std::string* error, bool flush) {
  const StopSignalsHeld held;
  failedStep_ = WriteStep::kNone;
  return place(replace, error) && (!flush || fsync(folder_.get()) == 0 ||
                                   fail(WriteStep::kFlushFolder, error,
                                        systemError("cannot flush the folder of " + target_)));
}

}  // namespace zezi
