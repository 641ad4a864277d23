// Envelopes as a device reads them from a drive or its boot partition: every *.json at the
// top of a folder, each with the .sig beside it, regular files only.
#pragma once

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

// The envelope files of the folder at `folderPath` (case ignored, hidden names skipped),
// sorted by name; or, when `envelopePath` is not empty, that one file. A file that cannot
// be read is a candidate with its readError; false with a message only when the folder
// itself cannot be read.
[[nodiscard]] bool readCandidates(const std::string& folderPath, const std::string& envelopePath,
                                  std::vector<Candidate>* out, std::string* error);

}  // namespace zezi
