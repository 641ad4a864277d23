// The reference store of the replay state, which the tool uses: one record in one file,
// replaced atomically. Never installed: a device keeps the record its own way, through
// encodeReplayState and decodeReplayState (docs/format.md shows one).
//
// A symlink at the state's path is followed (a state kept on a persistent partition, say):
// the file it leads to is read, locked beside and replaced. A state file with a second hard
// link is never replaced, since the other name would keep the old record.
#pragma once

#include <string>

#include "opener/open_signed_envelope.h"

namespace zezi {

// Reads the record at `path`. True with the stored state, or with the fresh state of
// `trustList` when no file exists there (a new device). False, failing closed with
// `*stateOut` untouched, when the file cannot be read, is not a regular file (a FIFO or a
// device is never waited on) or does not hold a valid record.
[[nodiscard]] bool loadReplayState(const std::string& path, const TrustList& trustList,
                                   ReplayState* stateOut);

// Writes the record to a new file beside `path` (mode 0600), without a name where the file
// system allows (O_TMPFILE), flushes it to the disk, renames it over `path` and flushes
// the folder. SIGINT, SIGTERM and SIGHUP are held back meanwhile in the calling thread, so
// that they cannot leave a temporary file behind. On failure returns false with a fixed
// message; the previous record is then intact unless only the folder flush failed, and no
// temporary file is left.
[[nodiscard]] bool commitReplayState(const std::string& path, const ReplayState& state,
                                     std::string* errorOut);

// Holds the replay state at a path from reading it to committing it, so that two openers
// never both accept on one state: an exclusive flock on "<state>.lock" beside the state
// file, made with mode 0600 when missing (so the state itself need not exist yet) and never
// removed. Other processes, and other locks in this one, wait until it is released, which
// destruction does. Use: acquire, loadReplayState, verify and open, commitReplayState.
class ReplayStateLock {
 public:
  ReplayStateLock() = default;
  ReplayStateLock(const ReplayStateLock&) = delete;
  ReplayStateLock& operator=(const ReplayStateLock&) = delete;
  ~ReplayStateLock();

  // Waits for the lock of the state at `path` and holds it. False, holding nothing, with a
  // fixed message when the lock file cannot be made or locked, when a state file exists
  // that is not a regular file or has a second hard link, or when a lock is held already.
  [[nodiscard]] bool acquire(const std::string& path, std::string* errorOut);

  [[nodiscard]] bool held() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace zezi
