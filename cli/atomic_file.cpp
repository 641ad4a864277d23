#include "cli/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "base/failure.h"
#include "encoding/hex.h"
#include "envelope/types.h"

namespace zezi {
namespace {

constexpr int kNameAttempts = 8;

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t written = write(fd, content.data(), content.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

}  // namespace

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

bool UniqueFd::close() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd < 0 || ::close(fd) == 0;
}

std::string systemError(std::string_view what) {
  std::string text = std::strerror(errno);
  if (!text.empty()) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return std::string(what) + ": " + text;
}

std::string existsMessage(const std::string& target) {
  return target + " exists (use --force to replace it)";
}

bool flushFolder(const std::string& folder, std::string* error) {
  const std::string name = folder.empty() ? std::string(".") : folder;
  UniqueFd fd(open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0 || fsync(fd.get()) != 0) {
    return failWith(error, systemError("cannot flush folder " + name));
  }
  return true;
}

StagedFile::~StagedFile() {
  if (!temporary_.empty()) {
    unlink(temporary_.c_str());
  }
}

bool StagedFile::stage(const std::string& target, std::string_view content, mode_t mode,
                       std::string* error) {
  if (!temporary_.empty()) {
    return failWith(error, "a file is already staged");
  }
  const std::filesystem::path targetPath(target);
  for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
    Bytes suffix(6);
    if (RAND_bytes(suffix.data(), static_cast<int>(suffix.size())) != 1) {
      return failWith(error, "cannot draw a temporary file name");
    }
    const std::string candidate =
        (targetPath.parent_path() /
         ("." + targetPath.filename().string() + ".tmp-" + hexEncode(suffix)))
            .string();
    UniqueFd fd(open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (fd.get() < 0 && errno == EEXIST) {
      continue;
    }
    if (fd.get() < 0) {
      return failWith(error, systemError("cannot create a file beside " + target));
    }
    temporary_ = candidate;
    target_ = target;
    // The umask may have narrowed the mode given to open.
    if (fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), content) || fsync(fd.get()) != 0 ||
        !fd.close()) {
      const std::string message = systemError("cannot write " + target);
      unlink(temporary_.c_str());
      temporary_.clear();
      return failWith(error, message);
    }
    return true;
  }
  return failWith(error, "cannot find a free temporary name beside " + target);
}

bool StagedFile::commit(bool replace, std::string* error, bool flush) {
  if (temporary_.empty()) {
    return failWith(error, "nothing staged");
  }
  if (replace) {
    if (rename(temporary_.c_str(), target_.c_str()) != 0) {
      return failWith(error, systemError("cannot write " + target_));
    }
  } else if (renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE) !=
             0) {
    if (errno != EINVAL && errno != ENOSYS) {
      return failWith(
          error, errno == EEXIST ? existsMessage(target_) : systemError("cannot write " + target_));
    }
    // A file system without the no-replace rename: a hard link refuses an existing name
    // just as atomically.
    if (link(temporary_.c_str(), target_.c_str()) != 0) {
      return failWith(
          error, errno == EEXIST ? existsMessage(target_) : systemError("cannot write " + target_));
    }
    unlink(temporary_.c_str());
  }
  temporary_.clear();
  return !flush || flushFolder(std::filesystem::path(target_).parent_path().string(), error);
}

bool writeFileAtomically(const std::string& target, std::string_view content, mode_t mode,
                         bool replace, std::string* error) {
  StagedFile file;
  return file.stage(target, content, mode, error) && file.commit(replace, error);
}

}  // namespace zezi
