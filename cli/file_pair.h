// Two files that go together, a private key with its public key or an envelope with its
// signature file, written both or neither whatever the moment the process dies.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace zezi {

struct PairFile {
  std::string target;
  std::string_view content;
  mode_t mode = 0;
};

// Writes both files; without `replace` an existing target is refused. A failure before
// both new files are staged leaves both targets as they were; a failure after, or a death
// at any moment, is finished or undone by the next settleInterruptedPair of either target.
// One run at a time may write a pair.
[[nodiscard]] bool writeFilePair(const PairFile& first, const PairFile& second, bool replace,
                                 std::string* error);

// Finishes or undoes what a run that died while writing a pair left beside `path`. True
// when there was nothing to do or it was done; where the folder cannot be opened there is
// nothing to do, and the caller's own use of `path` reports why.
[[nodiscard]] bool settleInterruptedPair(const std::string& path, std::string* error);

// Reads a file that may be one of a pair (a key of a key pair, an envelope), as readInput
// does, once settleInterruptedPair has finished or undone an interrupted writing of its pair:
// the one read that may write, which the commands that use such files call.
[[nodiscard]] bool readPairFile(const std::string& path, std::size_t maxSize, SecretText* out,
                                std::string* error, std::string_view shownAs = {});

}  // namespace zezi
