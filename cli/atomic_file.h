// The tool's output files: written whole or not at all by base/'s AtomicFile, refusing an
// existing target with the tool's advice, and the checks made before any work.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "base/atomic_file.h"

namespace zezi {

// What the tool tells of an existing target it may not replace.
inline constexpr std::string_view kForceAdvice = "use --force to replace it";

// An AtomicFile as the tool writes it: in place on a FAT drive, a private mode held or
// refused, an existing target refused with kForceAdvice.
class StagedFile : public AtomicFile {
 public:
  explicit StagedFile(Staging staging = Staging::kUnnamedWherePossible)
      : AtomicFile(
            {staging, /*inPlaceWithoutModes=*/true, /*privateModeMustHold=*/true, kForceAdvice}) {}
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
