#include "opener/replay_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "base/failure.h"

namespace zezi {
namespace {

// Closes its descriptor when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  [[nodiscard]] int get() const noexcept { return fd_; }
  // Closes now; false when the close reports an error (a late write failure shows here).
  [[nodiscard]] bool close() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// Reads up to `limit` octets; false on a read error.
bool readUpTo(int fd, std::size_t limit, Bytes* out) {
  Bytes data(limit);
  std::size_t filled = 0;
  while (filled < limit) {
    const ssize_t got = ::read(fd, data.data() + filled, limit - filled);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return false;
    }
    if (got == 0) {
      break;
    }
    filled += static_cast<std::size_t>(got);
  }
  data.resize(filled);
  *out = std::move(data);
  return true;
}

bool writeAll(int fd, const Bytes& data) {
  std::size_t written = 0;
  while (written < data.size()) {
    const ssize_t put = ::write(fd, data.data() + written, data.size() - written);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    written += static_cast<std::size_t>(put);
  }
  return true;
}

std::string folderOf(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? std::string(".") : parent.string();
}

}  // namespace

bool loadReplayState(const std::string& path, const TrustList& trustList, ReplayState* stateOut) {
  if (stateOut == nullptr) {
    return false;
  }
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    if (errno != ENOENT) {
      return false;
    }
    *stateOut = freshReplayState(trustList);
    return true;
  }
  // One octet more than a record, so that a longer file is seen as such.
  Bytes record;
  ReplayState state;
  if (!readUpTo(file.get(), kReplayRecordSize + 1, &record) || !decodeReplayState(record, &state)) {
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
  std::string temporaryName = path + ".XXXXXX";
  std::vector<char> pattern(temporaryName.begin(), temporaryName.end());
  pattern.push_back('\0');
  // mkstemp creates the file exclusively, with mode 0600.
  Descriptor temporary(::mkstemp(pattern.data()));
  if (temporary.get() < 0) {
    return failWith(errorOut, "cannot create the replay state file");
  }
  temporaryName.assign(pattern.data());
  if (!writeAll(temporary.get(), record) || ::fsync(temporary.get()) != 0 || !temporary.close()) {
    ::unlink(temporaryName.c_str());
    return failWith(errorOut, "cannot write the replay state file");
  }
  if (::rename(temporaryName.c_str(), path.c_str()) != 0) {
    ::unlink(temporaryName.c_str());
    return failWith(errorOut, "cannot replace the replay state file");
  }
  const Descriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || ::fsync(folder.get()) != 0) {
    return failWith(errorOut, "cannot flush the replay state folder");
  }
  return true;
}

}  // namespace zezi
