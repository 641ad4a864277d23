#include "opener/replay_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr mode_t kStateMode = 0600;
constexpr int kNameAttempts = 8;
constexpr std::size_t kNameSuffixSize = 6;
constexpr std::size_t kProcFdPathSize = 32;

constexpr const char* kCannotCreate = "cannot create the replay state file";
constexpr const char* kCannotWrite = "cannot write the replay state file";
constexpr const char* kCannotFollow = "cannot follow the replay state file's symlink";
constexpr const char* kHardLinked = "the replay state file has more than one hard link";

// What the C library says of errno, starting in lower case as the tool's messages do.
std::string reasonOfErrno() {
  std::string reason = std::strerror(errno);
  if (!reason.empty() && reason[0] >= 'A' && reason[0] <= 'Z') {
    reason[0] = static_cast<char>(reason[0] - 'A' + 'a');
  }
  return reason;
}

// Removes the temporary records a run killed between naming one and renaming it left beside
// the state at `target`; called under the state's lock, when no other commit is under way.
void removeLeftovers(const std::string& target) {
  UniqueFd folder;
  if (!openFolder(folderOf(target), &folder)) {
    return;
  }
  // Built by appending, which optimised g++ 12 does not misread as an overlapping copy.
  std::string prefix = ".";
  prefix += std::filesystem::path(target).filename().string();
  prefix += ".tmp-";
  static_cast<void>(forEachEntry(folder.get(), [&](const dirent& entry) {
    if (std::string_view(entry.d_name).starts_with(prefix)) {
      ::unlinkat(folder.get(), entry.d_name, 0);
    }
  }));
}

// ".<name>.tmp-<12 random hex digits>", or empty when no random octets can be drawn.
std::string temporaryName(const std::string& name) {
  Bytes suffix(kNameSuffixSize);
  if (RAND_bytes(suffix.data(), static_cast<int>(suffix.size())) != 1) {
    return {};
  }
  return "." + name + ".tmp-" + hexEncode(suffix);
}

// A file written beside the state and renamed over it. Unnamed (O_TMPFILE) until just
// before the rename where the file system and /proc allow, else named from the start; a
// name it was given is removed on destruction unless the rename took it.
class StagedRecord {
 public:
  StagedRecord() = default;
  StagedRecord(const StagedRecord&) = delete;
  StagedRecord& operator=(const StagedRecord&) = delete;
  ~StagedRecord() {
    if (!temporary_.empty()) {
      ::unlinkat(folder_.get(), temporary_.c_str(), 0);
    }
  }

  [[nodiscard]] bool stage(const std::string& target, const Bytes& record, std::string* errorOut) {
    name_ = std::filesystem::path(target).filename().string();
    if (!openFolder(folderOf(target), &folder_)) {
      return failWith(errorOut, kCannotCreate);
    }
    static const bool procFdAvailable = ::access("/proc/self/fd", X_OK) == 0;
    if (procFdAvailable) {
      file_.reset(::openat(folder_.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, kStateMode));
      // Other answers than these mean the folder cannot take a file of any kind.
      if (file_.get() < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        return failWith(errorOut, kCannotCreate);
      }
    }
    if (file_.get() < 0 && !giveName(false)) {
      return failWith(errorOut, kCannotCreate);
    }
    return (writeAll(file_.get(), record.data(), record.size()) && ::fsync(file_.get()) == 0) ||
           failWith(errorOut, kCannotWrite);
  }

  // Renames the staged file over the target, giving an unnamed one its name first.
  [[nodiscard]] bool commit(std::string* errorOut) {
    if (temporary_.empty() && !giveName(true)) {
      return failWith(errorOut, kCannotWrite);
    }
    if (!file_.close()) {
      return failWith(errorOut, kCannotWrite);
    }
    if (::renameat(folder_.get(), temporary_.c_str(), folder_.get(), name_.c_str()) != 0) {
      return failWith(errorOut, "cannot replace the replay state file");
    }
    temporary_.clear();
    return ::fsync(folder_.get()) == 0 ||
           failWith(errorOut, "cannot flush the replay state folder");
  }

 private:
  // A temporary name: linked to the unnamed file, or a new file made under it.
  [[nodiscard]] bool giveName(bool linkUnnamed) {
    std::array<char, kProcFdPathSize> procPath{};
    static_cast<void>(
        std::snprintf(procPath.data(), procPath.size(), "/proc/self/fd/%d", file_.get()));
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
      const std::string candidate = temporaryName(name_);
      if (candidate.empty()) {
        return false;
      }
      if (linkUnnamed) {
        if (::linkat(AT_FDCWD, procPath.data(), folder_.get(), candidate.c_str(),
                     AT_SYMLINK_FOLLOW) == 0) {
          temporary_ = candidate;
          return true;
        }
      } else {
        file_.reset(::openat(folder_.get(), candidate.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStateMode));
        if (file_.get() >= 0) {
          temporary_ = candidate;
          return true;
        }
      }
      if (errno != EEXIST) {
        return false;
      }
    }
    return false;
  }

  UniqueFd folder_;
  UniqueFd file_;
  std::string name_;       // the target's name in folder_
  std::string temporary_;  // the staged file's name in folder_, empty while it has none
};

// Why the state file at `target` may not be used, or null: it is missing or may be.
const char* refusalOfState(const std::string& target) {
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0) {
    return nullptr;
  }
  if (!S_ISREG(info.st_mode)) {
    return "the replay state file is not a regular file";
  }
  return info.st_nlink > 1 ? kHardLinked : nullptr;
}

}  // namespace

bool loadReplayState(const std::string& path, const TrustList& trustList, ReplayState* stateOut) {
  std::string target;
  if (stateOut == nullptr || !followSymlinks(path, &target)) {
    return false;
  }
  UniqueFd file;
  switch (openRegularFile(target, O_RDONLY | O_NOFOLLOW, &file)) {
    case FileOpening::kOpened:
      break;
    case FileOpening::kNotRegular:
      return false;
    case FileOpening::kFailed:
      if (errno != ENOENT) {
        return false;
      }
      *stateOut = freshReplayState(trustList);
      return true;
  }
  Bytes record;
  ReplayState state;
  if (readAll(file.get(), kReplayRecordSize, &record) != WholeRead::kRead ||
      !decodeReplayState(record, &state)) {
    return false;
  }
  *stateOut = state;
  return true;
}

bool commitReplayState(const std::string& path, const ReplayState& state, std::string* errorOut) {
  const Bytes record = encodeReplayState(state);
  if (record.size() != kReplayRecordSize) {
    return failWith(errorOut, "cannot encode the replay state");
  }
  std::string target;
  if (!followSymlinks(path, &target)) {
    return failWith(errorOut, kCannotFollow);
  }
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink > 1) {
    return failWith(errorOut, kHardLinked);
  }
  const StopSignalsHeld held;
  removeLeftovers(target);
  StagedRecord staged;
  return staged.stage(target, record, errorOut) && staged.commit(errorOut);
}

ReplayStateLock::~ReplayStateLock() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool ReplayStateLock::acquire(const std::string& path, std::string* errorOut) {
  if (fd_ >= 0) {
    return failWith(errorOut, "the replay state is locked already");
  }
  std::string target;
  if (!followSymlinks(path, &target)) {
    return failWith(errorOut, kCannotFollow);
  }
  // Looked at first so that no lock file is made beside what is refused.
  if (const char* refusal = refusalOfState(target)) {
    return failWith(errorOut, refusal);
  }
  UniqueFd lock;
  switch (openRegularFile(target + ".lock", O_RDONLY | O_CREAT | O_NOFOLLOW, &lock, nullptr,
                          kStateMode)) {
    case FileOpening::kOpened:
      break;
    case FileOpening::kNotRegular:
      return failWith(errorOut, "the replay state lock file is not a regular file");
    case FileOpening::kFailed:
      return failWith(errorOut, "cannot create the replay state lock file " + target +
                                    ".lock: " + reasonOfErrno());
  }
  int locked = -1;
  do {
    locked = ::flock(lock.get(), LOCK_EX);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    return failWith(errorOut, "cannot lock the replay state file");
  }
  // Looked at again under the lock, so that no other holder is replacing it meanwhile.
  if (const char* refusal = refusalOfState(target)) {
    return failWith(errorOut, refusal);
  }
  fd_ = lock.release();
  return true;
}

}  // namespace zezi
