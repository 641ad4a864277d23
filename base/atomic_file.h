// Files that appear whole or not at all, the one way every floor replaces a file: written
// beside the target without a name where the file system allows (O_TMPFILE), else under a
// temporary name that is removed when SIGINT, SIGTERM or SIGHUP ends the process; flushed
// to the disk, then put in place and the folder flushed, with those signals held meanwhile.
// A FAT drive through FUSE may be the exception: its driver mangles its folders when a
// file is renamed (see writesInPlace), so files there may be written under their own names.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/file_descriptor.h"

namespace zezi {

// True for a folder on a FUSE file system without Unix modes, such as a FAT drive through
// fusefat. That driver leaves broken entries behind (duplicates, stray long-name pieces,
// files that cannot be found) when a file is renamed, truncated or, sometimes, removed, and
// only creating a file works for many files in a row.
[[nodiscard]] bool writesInPlace(int folder);

// Whether `mode` keeps group and others out.
[[nodiscard]] bool isPrivateMode(mode_t mode);

// The message for a private file whose file system has no Unix modes.
[[nodiscard]] std::string unprotectedMessage(const std::string& target, mode_t mode);

// "<target> exists", with "(<advice>)" after it unless `advice` is empty.
[[nodiscard]] std::string existingTargetMessage(const std::string& target, std::string_view advice);

// Creates `name` in `folder` (refusing an existing one) with exactly `mode`, which must hold
// when it is private, writes `content` and flushes it; on failure nothing is left. Messages
// name `target`; errno tells why the creation failed.
[[nodiscard]] bool createFileAt(int folder, const std::string& name, std::string_view content,
                                mode_t mode, const std::string& target, std::string* error);

// Removes the temporary files beside `name` in `folder` that a process killed outright
// (SIGKILL, a power cut) left between naming one and renaming it. Only for a caller that
// knows no other write of `name` is under way.
void removeStagingLeftovers(int folder, const std::string& name);

// How many files may wait for their commit at once, across all threads (a batch seals with
// up to 256).
inline constexpr std::size_t kMaxStagedAtOnce = 264;

// How a staged file waits for its commit. kAlwaysNamed is what a file system without
// O_TMPFILE gets; the tests choose it to reach that way anywhere.
enum class Staging : std::uint8_t { kUnnamedWherePossible, kAlwaysNamed };

struct AtomicWriteOptions {
  Staging staging = Staging::kUnnamedWherePossible;
  // Where writesInPlace holds, the target is removed and created anew at the commit rather
  // than renamed over (the folder survives; a death in between loses the file). False for
  // a file whose loss matters more than such a folder.
  bool inPlaceWithoutModes = true;
  // A private mode the file system cannot keep refuses the file; false gives it up there,
  // as a public mode always is.
  bool privateModeMustHold = true;
  // Told after "<target> exists" when the target may not be replaced; a literal.
  std::string_view existsAdvice = {};
};

// The step at which a write failed, for a caller that words its own messages.
enum class WriteStep : std::uint8_t {
  kNone,
  kCreate,       // the folder cannot be opened or take a new file
  kDraw,         // no random octets for a temporary name
  kWrite,        // the content, its mode or its flush to the disk
  kUnprotected,  // a private mode the file system cannot keep
  kName,         // the unnamed file cannot be given a temporary name
  kExists,       // the target exists and may not be replaced
  kPlace,        // the rename or link to the target's name
  kFlushFolder,  // the folder's flush after the target was placed
  kMisuse,       // staged twice, or committed with nothing staged
};

// A file written in full in its target's folder; until commit succeeds the target is
// untouched, and whatever was staged is removed on destruction.
class AtomicFile {
 public:
  explicit AtomicFile(const AtomicWriteOptions& options = {}) : options_(options) {}
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  // Creates the file with exactly `mode` (whatever the umask), writes `content` and
  // flushes it to the disk. A mode that keeps group and others out must hold, or the file
  // is refused, unless the options say otherwise; any other mode is given up where the file
  // system has no Unix modes (FAT). Where files are written in place, the content waits in
  // memory for the commit. Messages name `target` as given.
  [[nodiscard]] bool stage(const std::string& target, std::string_view content, mode_t mode,
                           std::string* error);

  // Gives the staged file its target name and flushes the folder. Without `replace` an
  // existing target is never overwritten, not even one created while staging. Without
  // `flush` the folder is left to the caller, who flushes it once for many files.
  [[nodiscard]] bool commit(bool replace, std::string* error, bool flush = true);

  // Where the last failure happened, and errno then.
  [[nodiscard]] WriteStep failedStep() const noexcept { return failedStep_; }
  [[nodiscard]] int failedErrno() const noexcept { return failedErrno_; }

 private:
  // Notes the step and errno, then fails with `message`.
  [[nodiscard]] bool fail(WriteStep step, std::string* error, std::string_view message);
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
  void forgetTemporary();
  // Removes whatever was staged and returns to the state before stage.
  void discard();

  AtomicWriteOptions options_;
  std::string target_;     // as given, for messages
  std::string name_;       // the target's name in folder_
  UniqueFd folder_;        // open from stage on
  UniqueFd unnamed_;       // the O_TMPFILE file until it is placed
  std::string temporary_;  // the temporary name in folder_, empty when there is none
  int removalSlot_ = -1;   // where the temporary name waits to be removed on a signal
  bool inPlace_ = false;   // the content waits for the commit to be written in place
  SecretText content_;     // what is written at commit, when in place
  mode_t mode_ = 0;
  WriteStep failedStep_ = WriteStep::kNone;
  int failedErrno_ = 0;
};

}  // namespace zezi
