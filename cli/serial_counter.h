// The signer's serial counter: a file holding the last serial used, as decimal digits.
#pragma once

#include <cstdint>
#include <string>

namespace zezi {

// Whether a counter is taken from an existing file or made anew.
enum class CounterStart { kExisting, kCreate };

// Checks before any work that the counter at `path` exists (kExisting) or does not
// (kCreate), with the message that says what to do otherwise.
[[nodiscard]] bool checkSerialFile(const std::string& path, CounterStart start, std::string* error);

// Takes the next serial from the counter file at `path`. A symlink there is followed and
// the file it leads to is the counter; a counter with a second hard link is refused, since
// replacing it would part the two names. kCreate makes a new counter (counting from 0) and
// refuses one that exists; kExisting refuses a missing one. Under an exclusive lock, so
// that two processes never take the same serial, it writes the advanced counter to a new
// file, flushes it to the disk and renames it into place before returning the serial. On
// failure the counter is unchanged.
[[nodiscard]] bool takeNextSerial(const std::string& path, CounterStart start,
                                  std::uint64_t* serialOut, std::string* error);

// The last serial taken from the counter at `path`, read under a shared lock and left as
// it is: what a trust list's serial floor must reach (0 for a counter made but not used).
[[nodiscard]] bool readLastSerial(const std::string& path, std::uint64_t* serialOut,
                                  std::string* error);

}  // namespace zezi
