// The reference store of the replay state: one record in one file, replaced atomically.
// Devices with raw flash keep the record their own way (docs/format.md shows one).
#pragma once

#include <string>

#include "base/export.h"
#include "opener/replay_state.h"
#include "opener/trust_list.h"

namespace zezi {

// Reads the record at `path`. True with the stored state, or with the fresh state of
// `trustList` when no file exists there (a new device). False, failing closed with
// `*stateOut` untouched, when the file cannot be read or does not hold a valid record.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool loadReplayState(const std::string& path,
                                                     const TrustList& trustList,
                                                     ReplayState* stateOut);

// Writes the record to a new temporary file beside `path` (mode 0600), flushes it to the
// disk, renames it over `path` and flushes the folder. On failure returns false with a
// fixed message; the previous record is then intact unless only the folder flush failed,
// and no temporary file is left.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool commitReplayState(const std::string& path,
                                                       const ReplayState& state,
                                                       std::string* errorOut);

}  // namespace zezi
