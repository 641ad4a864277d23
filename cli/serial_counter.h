// The signer's serial counter: a file holding the last serial used, as decimal digits.
#pragma once

#include <cstdint>
#include <string>

namespace zezi {

// Takes the next serial from the counter file at `path` (a missing file counts as 0): under
// an exclusive lock, so that two processes never take the same serial, it writes the
// advanced counter to a new file, flushes it to the disk and renames it into place before
// returning the serial. On failure the counter is unchanged.
[[nodiscard]] bool takeNextSerial(const std::string& path, std::uint64_t* serialOut,
                                  std::string* error);

}  // namespace zezi
