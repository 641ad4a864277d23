#include "cli/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "cli/file_pair.h"

namespace zezi {

bool writeFileAtomically(const std::string& target, std::string_view content, mode_t mode,
                         bool replace, std::string* error) {
  StagedFile file;
  return file.stage(target, content, mode, error) && file.commit(replace, error);
}

std::string existsMessage(const std::string& target) {
  return existingTargetMessage(target, kForceAdvice);
}

bool flushFolder(const std::string& folder, std::string* error) {
  const std::string name = folder.empty() ? std::string(".") : folder;
  return syncFolder(name) || failWith(error, systemError("cannot flush folder " + name));
}

bool checkWritableTarget(const std::string& target, bool replace, std::string* error) {
  if (!settleInterruptedPair(target, error)) {
    return false;
  }
  const std::string folder = folderOf(target);
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0) {
    return failWith(error, systemError("cannot write " + target));
  }
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTDIR;
    return failWith(error, systemError("cannot write " + target));
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return failWith(error, systemError("cannot write " + target));
  }
  if (lstat(target.c_str(), &info) != 0) {
    return errno == ENOENT || failWith(error, systemError("cannot write " + target));
  }
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return failWith(error, systemError("cannot write " + target));
  }
  return replace || failWith(error, existsMessage(target));
}

}  // namespace zezi
