#include "cli/time_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>
#include <string>

namespace zezi {
namespace {

struct Unit {
  char letter;
  std::uint64_t seconds;
};

constexpr std::uint64_t kMinute = 60;
constexpr std::uint64_t kHour = 60 * kMinute;
constexpr std::uint64_t kDay = 24 * kHour;
constexpr std::array<Unit, 5> kUnits = {
    {{'s', 1}, {'m', kMinute}, {'h', kHour}, {'d', kDay}, {'w', 7 * kDay}}};

// 9999-12-31T23:59:59Z, the last second RFC 3339 can write.
constexpr std::uint64_t kLastWritableSecond = 253'402'300'799;
constexpr std::size_t kUtcTextSize = sizeof "YYYY-MM-DDThh:mm:ssZ";

}  // namespace

std::optional<std::uint64_t> parseUnsigned(std::string_view text) {
  std::uint64_t value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<std::uint64_t> parseDuration(std::string_view text) {
  if (text.size() < 2) {
    return std::nullopt;
  }
  const char letter = text.back();
  const auto* unit = std::find_if(kUnits.begin(), kUnits.end(),
                                  [letter](const Unit& u) { return u.letter == letter; });
  const std::optional<std::uint64_t> count = parseUnsigned(text.substr(0, text.size() - 1));
  if (unit == kUnits.end() || !count || *count == 0 ||
      *count > kMaxValiditySeconds / unit->seconds) {
    return std::nullopt;
  }
  return *count * unit->seconds;
}

std::string utcText(std::uint64_t unixSeconds) {
  std::tm parts{};
  const auto seconds = static_cast<std::time_t>(unixSeconds);
  std::array<char, kUtcTextSize> text{};
  if (unixSeconds > kLastWritableSecond || gmtime_r(&seconds, &parts) == nullptr ||
      std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
    std::string raw = "@";
    raw += std::to_string(unixSeconds);
    return raw;
  }
  return text.data();
}

std::optional<std::uint64_t> parseMoment(std::string_view text) {
  if (std::optional<std::uint64_t> seconds = parseUnsigned(text)) {
    return seconds;
  }
  // Parsed, then written again: any text that does not come back the same is refused, so
  // that a 31st of February or an hour 24 never moves silently to another day.
  std::tm parts{};
  const std::string copy(text);
  if (text.size() + 1 != kUtcTextSize || !text.ends_with('Z')) {
    return std::nullopt;
  }
  const char* end = strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
  if (end == nullptr || *end != '\0') {
    return std::nullopt;
  }
  const std::time_t seconds = timegm(&parts);
  if (seconds < 0 || utcText(static_cast<std::uint64_t>(seconds)) != text) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(seconds);
}

std::uint64_t currentUnixTime() {
  const std::time_t now = std::time(nullptr);
  return now < 0 ? 0 : static_cast<std::uint64_t>(now);
}

}  // namespace zezi
