#include "opener/replay_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>

#include "base/atomic_file.h"
#include "base/failure.h"
#include "base/file_descriptor.h"
#include "base/whole_file.h"

namespace zezi {
namespace {

constexpr mode_t kStateMode = 0600;

constexpr const char* kCannotCreate = "cannot create the replay state file";
constexpr const char* kCannotWrite = "cannot write the replay state file";
constexpr const char* kCannotFollow = "cannot follow the replay state file's symlink";
constexpr const char* kHardLinked = "the replay state file has more than one hard link";

// The record's options: renamed into place on every file system, since losing it on a FAT
// drive would reopen the device to replays, and its mode given up where none is kept.
constexpr AtomicWriteOptions kRecordWrites{Staging::kUnnamedWherePossible,
                                           /*inPlaceWithoutModes=*/false,
                                           /*privateModeMustHold=*/false,
                                           {}};

// The record written beside the state and renamed over it, then the folder flushed.
bool writeRecord(const std::string& target, const Bytes& record, std::string* errorOut) {
  AtomicFile file(kRecordWrites);
  const std::string_view content(reinterpret_cast<const char*>(record.data()), record.size());
  if (!file.stage(target, content, kStateMode, nullptr)) {
    return failWith(errorOut,
                    file.failedStep() == WriteStep::kWrite ? kCannotWrite : kCannotCreate);
  }
  if (file.commit(/*replace=*/true, nullptr)) {
    return true;
  }
  switch (file.failedStep()) {
    case WriteStep::kPlace:
      return failWith(errorOut, "cannot replace the replay state file");
    case WriteStep::kFlushFolder:
      return failWith(errorOut, "cannot flush the replay state folder");
    default:
      return failWith(errorOut, kCannotWrite);
  }
}

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
  Bytes record;
  switch (readWholeFile(AT_FDCWD, target, Symlinks::kNoFollow, kReplayRecordSize, &record)) {
    case WholeFile::kRead:
      break;
    case WholeFile::kMissing:
      *stateOut = freshReplayState(trustList);
      return true;
    default:
      return false;
  }
  ReplayState state;
  if (!decodeReplayState(record, &state)) {
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
  // Under the state's lock no other commit is under way.
  UniqueFd folder;
  if (openFolder(folderOf(target), &folder)) {
    removeStagingLeftovers(folder.get(), std::filesystem::path(target).filename().string());
  }
  return writeRecord(target, record, errorOut);
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
      return failWith(errorOut,
                      systemError("cannot create the replay state lock file " + target + ".lock"));
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
