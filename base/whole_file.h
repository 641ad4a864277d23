// The one way a file is read whole: a regular file only, opened without waiting on a FIFO
// or a device (O_NONBLOCK, which a regular file's reads ignore), up to a size limit, into a
// string, octets or, for a secret, a cleansing string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/bytes.h"

namespace zezi {

enum class WholeFile : std::uint8_t {
  kRead,
  kMissing,     // no such file (errno ENOENT)
  kSymlink,     // a symlink, refused with kNoFollow (errno ELOOP)
  kFolder,      // errno EISDIR
  kNotRegular,  // a FIFO, a device or a socket
  kTooLarge,    // more than the size allowed
  kFailed,      // errno tells why
};

enum class Symlinks : std::uint8_t { kFollow, kNoFollow };

// Reads the file `path`, relative to the open folder `folder` (AT_FDCWD for the current
// one), whole into `*out`, which is untouched unless the whole was read: at most `maxSize`
// octets, never waiting on what is not a regular file and refusing it.
[[nodiscard]] WholeFile readWholeFile(int folder, const std::string& path, Symlinks symlinks,
                                      std::size_t maxSize, std::string* out);
[[nodiscard]] WholeFile readWholeFile(int folder, const std::string& path, Symlinks symlinks,
                                      std::size_t maxSize, SecretText* out);
[[nodiscard]] WholeFile readWholeFile(int folder, const std::string& path, Symlinks symlinks,
                                      std::size_t maxSize, Bytes* out);

}  // namespace zezi
