#include "base/whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "base/file_descriptor.h"

namespace zezi {
namespace {

template <typename Container>
WholeFile readWhole(int folder, const std::string& path, Symlinks symlinks, std::size_t maxSize,
                    Container* out) {
  const int noFollow = symlinks == Symlinks::kNoFollow ? O_NOFOLLOW : 0;
  const UniqueFd file(::openat(folder, path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | noFollow));
  if (file.get() < 0) {
    return errno == ENOENT                   ? WholeFile::kMissing
           : errno == ELOOP && noFollow != 0 ? WholeFile::kSymlink
                                             : WholeFile::kFailed;
  }
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    return WholeFile::kFailed;
  }
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return WholeFile::kFolder;
  }
  if (!S_ISREG(info.st_mode)) {
    return WholeFile::kNotRegular;
  }
  switch (readAll(file.get(), maxSize, out)) {
    case WholeRead::kRead:
      return WholeFile::kRead;
    case WholeRead::kTooLarge:
      return WholeFile::kTooLarge;
    case WholeRead::kFailed:
      break;
  }
  return WholeFile::kFailed;
}

}  // namespace

WholeFile readWholeFile(int folder, const std::string& path, Symlinks symlinks, std::size_t maxSize,
                        std::string* out) {
  return readWhole(folder, path, symlinks, maxSize, out);
}

WholeFile readWholeFile(int folder, const std::string& path, Symlinks symlinks, std::size_t maxSize,
                        SecretText* out) {
  return readWhole(folder, path, symlinks, maxSize, out);
}

WholeFile readWholeFile(int folder, const std::string& path, Symlinks symlinks, std::size_t maxSize,
                        Bytes* out) {
  return readWhole(folder, path, symlinks, maxSize, out);
}

}  // namespace zezi
