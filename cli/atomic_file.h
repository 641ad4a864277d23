// Output files that appear whole or not at all: written to a temporary file beside the
// target, flushed to the disk, then renamed into place.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace zezi {

// Owns one open file descriptor and closes it when it goes out of scope.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();
  [[nodiscard]] int get() const noexcept { return fd_; }
  // Closes now, reporting whether the close succeeded (a late write error shows here).
  [[nodiscard]] bool close() noexcept;

 private:
  int fd_;
};

// "<what>: <the C library's text for errno>", starting in lower case.
[[nodiscard]] std::string systemError(std::string_view what);

// A file written in full under a temporary name in its target's folder; until commit
// succeeds the target is untouched, and the temporary file is removed on destruction.
class StagedFile {
 public:
  StagedFile() = default;
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  // Creates the temporary file exclusively with exactly `mode` (whatever the umask),
  // writes `content` and flushes it to the disk.
  [[nodiscard]] bool stage(const std::string& target, std::string_view content, mode_t mode,
                           std::string* error);

  // Moves the staged file to its target name and flushes the folder. Without `replace`
  // an existing target is never overwritten, not even one created while staging. Without
  // `flush` the folder is left to the caller, who flushes it once for many files.
  [[nodiscard]] bool commit(bool replace, std::string* error, bool flush = true);

 private:
  std::string target_;
  std::string temporary_;  // empty when nothing is staged
};

// stage then commit.
[[nodiscard]] bool writeFileAtomically(const std::string& target, std::string_view content,
                                       mode_t mode, bool replace, std::string* error);

// Flushes `folder` ("" for the current one), so that renames into it survive a power cut.
[[nodiscard]] bool flushFolder(const std::string& folder, std::string* error);

// The message for a target that exists and may not be replaced.
[[nodiscard]] std::string existsMessage(const std::string& target);

}  // namespace zezi
