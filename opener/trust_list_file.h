// The device's trust list as it ships in firmware, in one small text file that firmware
// can parse line by line (docs/format.md 9.9).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "opener/trust_list.h"

namespace zezi {

inline constexpr std::string_view kTrustListFileFirstLine = "tolvane-wifi-drive-trust/v1";
// Four signer lines and the rest, with room to spare.
inline constexpr std::size_t kMaxTrustListFileSize = 1024;

// Reads the file's text into `*settingsOut` (all but the fleet key, which the device has
// from its own private key): the first line, "version N", "serial-floor N", "time-floor N"
// with N a whole decimal number (no leading zero, a time floor above 0), then 1 to 4 lines
// "signer " and 130 lowercase hex characters of 04 || X || Y; each line ends with LF, and
// nothing else is allowed. False with one fixed message naming the first fault.
[[nodiscard]] bool parseTrustListFile(std::string_view text, TrustSettings* settingsOut,
                                      std::string* error);

}  // namespace zezi
