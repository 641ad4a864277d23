// Envelopes as a device reads them from a drive or its boot partition: every *.json at the
// top of a folder, each with the .sig beside it, regular files only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace zezi {

// An envelope file and the signature file beside it, as read from the source.
struct Candidate {
  std::string name;  // as the folder gives it
  SecretText envelope;
  std::optional<std::string> signatureFile;
  std::string readError;  // why it cannot be applied, when it could not be read
};

// The most envelopes one source is read for: a set holds at most 16, and a drive may carry
// older sets too; any more is a mistake or a hostile drive, never read.
inline constexpr std::size_t kMaxEnvelopesPerSource = 64;

// What a source holds, as read.
struct SourceListing {
  std::vector<Candidate> candidates;  // by name
  std::size_t notRead = 0;            // *.json files beyond the first kMaxEnvelopesPerSource
  // When the top holds no envelope: the first few subfolders that hold some (a batch
  // sealed into its own folder, say), which the device does not look into.
  std::vector<std::string> foldersWithEnvelopes;
};

// The envelope files of the folder at `folderPath` (case ignored, hidden names skipped),
// the first kMaxEnvelopesPerSource by name, listed as a stream so that memory does not
// grow with the folder; or, when `envelopePath` is not empty, that one file. A file that
// cannot be read is a candidate with its readError; false with a message only when the
// folder itself cannot be read.
[[nodiscard]] bool readSource(const std::string& folderPath, const std::string& envelopePath,
                              SourceListing* out, std::string* error);

}  // namespace zezi
