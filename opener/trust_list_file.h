// The device's trust list as it ships in firmware, in one small text file that firmware
// can parse line by line (docs/format.md 9.9).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "opener/trust_list.h"

namespace zezi {

inline constexpr std::string_view kTrustListFileFirstLine = "tolvane-wifi-drive-trust/v1";
// Four signer lines and the rest, with room to spare.
inline constexpr std::size_t kMaxTrustListFileSize = 1024;

// Each way a text is not a trust list file, in the order the reading meets them.
enum class TrustListFileFailure : std::uint8_t {
  kNone,
  kByteOrderMark,
  kCarriageReturn,
  kNoFinalLineFeed,
  kFirstLine,
  kVersionLine,
  kSerialFloorLine,
  kTimeFloorLine,
  kTimeFloorZero,
  kNoSigner,
  kTooManySigners,
  kSignerLine,
  kSignerNotUncompressed,
};
inline constexpr TrustListFileFailure kLastTrustListFileFailure =
    TrustListFileFailure::kSignerNotUncompressed;

// The fixed message of a failure, naming the fault; empty for kNone.
[[nodiscard]] std::string_view trustListFileFailureText(TrustListFileFailure failure);

// Reads the file's text into `*settingsOut` (all but the fleet key, which the device has
// from its own private key): the first line, "version N", "serial-floor N", "time-floor N"
// with N a whole decimal number (no leading zero, a time floor above 0), then 1 to 4 lines
// "signer " and 130 lowercase hex characters of 04 || X || Y; each line ends with LF, and
// nothing else is allowed. The first fault found, and `*settingsOut` untouched, otherwise.
[[nodiscard]] TrustListFileFailure readTrustListFile(std::string_view text,
                                                     TrustSettings* settingsOut);

// readTrustListFile with the fault's message in `*error`.
[[nodiscard]] bool parseTrustListFile(std::string_view text, TrustSettings* settingsOut,
                                      std::string* error);

}  // namespace zezi
