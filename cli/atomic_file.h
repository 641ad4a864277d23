// Output files that appear whole or not at all: written beside the target without a name
// where the file system allows (O_TMPFILE), else under a temporary name that is removed
// when SIGINT, SIGTERM or SIGHUP ends the process; flushed to the disk, then put in place.
// A FAT drive through FUSE is the exception: its driver mangles its folders when a file is
// renamed (see writesInPlace), so files there are written under their own names.
#pragma once

#include <sys/types.h>

#include <csignal>

#include <cstddef>
#include <string>
#include <string_view>

#include "base/failure.h"
#include "base/file_descriptor.h"
#include "crypto/types.h"

namespace zezi {

// True for a folder on a FUSE file system without Unix modes, such as a FAT drive through
// fusefat. That driver leaves broken entries behind (duplicates, stray long-name pieces,
// files that cannot be found) when a file is renamed, truncated or, sometimes, removed, and
// only creating a file works for many files in a row; so files there are written under
// their own names, and replacing one is removing it and creating it anew.
[[nodiscard]] bool writesInPlace(int folder);

// Whether `mode` keeps group and others out.
[[nodiscard]] bool isPrivateMode(mode_t mode);

// The message for a private file whose file system has no Unix modes.
[[nodiscard]] std::string unprotectedMessage(const std::string& target, mode_t mode);

// Creates `name` in `folder` (refusing an existing one) with `mode` as StagedFile::stage
// sets it, writes `content` and flushes it; on failure nothing is left. Messages name
// `target`; errno tells why the creation failed.
[[nodiscard]] bool createFileAt(int folder, const std::string& name, std::string_view content,
                                mode_t mode, const std::string& target, std::string* error);

// How many files may wait for their commit at once, across all threads (a batch seals with
// up to 256).
inline constexpr std::size_t kMaxStagedAtOnce = 264;

// How a staged file waits for its commit. kAlwaysNamed is what a file system without
// O_TMPFILE gets; the tests choose it to reach that way anywhere.
enum class Staging { kUnnamedWherePossible, kAlwaysNamed };

// A file written in full in its target's folder; until commit succeeds the target is
// untouched, and whatever was staged is removed on destruction.
class StagedFile {
 public:
  explicit StagedFile(Staging staging = Staging::kUnnamedWherePossible) : staging_(staging) {}
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;
  ~StagedFile();

  // Creates the file with exactly `mode` (whatever the umask), writes `content` and
  // flushes it to the disk. A mode that keeps group and others out must hold, or the file
  // is refused; any other mode is given up where the file system has no Unix modes (FAT).
  // Where files are written in place, the content waits in memory for the commit.
  [[nodiscard]] bool stage(const std::string& target, std::string_view content, mode_t mode,
                           std::string* error);

  // Gives the staged file its target name and flushes the folder. Without `replace` an
  // existing target is never overwritten, not even one created while staging. Without
  // `flush` the folder is left to the caller, who flushes it once for many files.
  [[nodiscard]] bool commit(bool replace, std::string* error, bool flush = true);

 private:
  [[nodiscard]] bool createNamed(mode_t mode, UniqueFd* file, std::string* error);
  // Links the unnamed file in as `name` in folder_.
  [[nodiscard]] bool linkUnnamed(const std::string& name) const;
  // Links the unnamed file in under a temporary name.
  [[nodiscard]] bool nameUnnamed(std::string* error);
  [[nodiscard]] bool renameWithoutReplacing(std::string* error);
  // Puts the file under the target name, without flushing the folder.
  [[nodiscard]] bool place(bool replace, std::string* error);
  // Writes the target itself, where files are written in place.
  [[nodiscard]] bool writeInPlace(bool replace, std::string* error);
  [[nodiscard]] bool syncFolder(std::string* error) const;
  void forgetTemporary();
  // Removes whatever was staged and returns to the state before stage.
  void discard();

  Staging staging_;
  std::string target_;     // as given, for messages
  std::string name_;       // the target's name in folder_
  UniqueFd folder_;        // open from stage on
  UniqueFd unnamed_;       // the O_TMPFILE file until it is placed
  std::string temporary_;  // the temporary name in folder_, empty when there is none
  int removalSlot_ = -1;   // where the temporary name waits to be removed on a signal
  bool inPlace_ = false;   // the folder is one where files are written in place
  SecretText content_;     // what is written at commit, when in place
  mode_t mode_ = 0;
};

// stage then commit.
[[nodiscard]] bool writeFileAtomically(const std::string& target, std::string_view content,
                                       mode_t mode, bool replace, std::string* error);

// Checks before any work that `target` can be written: its folder exists and may be
// written, and the target is no folder and, without `replace`, does not exist. What a run
// that died while writing a pair left there is settled first.
[[nodiscard]] bool checkWritableTarget(const std::string& target, bool replace, std::string* error);

// Flushes `folder` ("" for the current one), so that names given in it survive a power cut.
[[nodiscard]] bool flushFolder(const std::string& folder, std::string* error);

// The message for a target that exists and may not be replaced.
[[nodiscard]] std::string existsMessage(const std::string& target);

}  // namespace zezi
