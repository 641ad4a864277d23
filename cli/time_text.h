// Durations and dates as operators type and read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zezi {

// The longest validity the tool signs for: ten years.
inline constexpr std::uint64_t kMaxValiditySeconds = std::uint64_t{3650} * 24 * 60 * 60;

// Seconds in a duration written as a whole number and a unit: 90s, 45m, 12h, 30d, 2w.
// Nothing for any other text, for zero, and for more than kMaxValiditySeconds.
[[nodiscard]] std::optional<std::uint64_t> parseDuration(std::string_view text);

// Unix seconds as RFC 3339 in UTC ("2027-01-15T08:00:00Z"); beyond the year 9999, which
// RFC 3339 cannot write, as "@" and the number of seconds.
[[nodiscard]] std::string utcText(std::uint64_t unixSeconds);

// A moment as utcText writes it ("2027-01-15T08:00:00Z", UTC alone) or as Unix seconds;
// nothing for any other text.
[[nodiscard]] std::optional<std::uint64_t> parseMoment(std::string_view text);

// This machine's clock in Unix seconds.
[[nodiscard]] std::uint64_t currentUnixTime();

// A whole decimal number from 0 to 2^64 - 1, digits only.
[[nodiscard]] std::optional<std::uint64_t> parseUnsigned(std::string_view text);

}  // namespace zezi
