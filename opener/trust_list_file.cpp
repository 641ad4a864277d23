#include "opener/trust_list_file.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/failure.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr std::string_view kSignerPrefix = "signer ";
constexpr std::uint8_t kUncompressed = 0x04;

constexpr auto kFailureTexts = failureTable<TrustListFileFailure, std::string_view>(
    {
        {TrustListFileFailure::kNone, ""},
        {TrustListFileFailure::kByteOrderMark, "trust list file starts with a byte order mark"},
        {TrustListFileFailure::kCarriageReturn,
         "trust list file has CR line endings: use LF alone"},
        {TrustListFileFailure::kNoFinalLineFeed, "trust list file does not end with a line feed"},
        {TrustListFileFailure::kFirstLine,
         "trust list file does not start with tolvane-wifi-drive-trust/v1"},
        {TrustListFileFailure::kVersionLine,
         "trust list file line 2 is not \"version\" and a whole number"},
        {TrustListFileFailure::kSerialFloorLine,
         "trust list file line 3 is not \"serial-floor\" and a whole number"},
        {TrustListFileFailure::kTimeFloorLine,
         "trust list file line 4 is not \"time-floor\" and a whole number"},
        {TrustListFileFailure::kTimeFloorZero,
         "trust list file time floor is 0: set it to the firmware's build time"},
        {TrustListFileFailure::kNoSigner, "trust list file holds no signer key"},
        {TrustListFileFailure::kTooManySigners, "trust list file holds more than 4 signer keys"},
        {TrustListFileFailure::kSignerLine,
         "trust list file has a line that is not \"signer\" and 130 lowercase hex characters"},
        {TrustListFileFailure::kSignerNotUncompressed,
         "trust list file signer key is not an uncompressed point (04 ...)"},
    },
    kLastTrustListFileFailure);
static_assert(kFailureTexts.inOrder() && kFailureTexts.oneRowEach());

// The three numbered lines after the first, in their order.
struct NumberLine {
  std::string_view name;
  TrustListFileFailure fault;
  std::uint64_t TrustSettings::*field;
};
constexpr std::array<NumberLine, 3> kNumberLines = {{
    {"version ", TrustListFileFailure::kVersionLine, &TrustSettings::version},
    {"serial-floor ", TrustListFileFailure::kSerialFloorLine, &TrustSettings::serialFloor},
    {"time-floor ", TrustListFileFailure::kTimeFloorLine, &TrustSettings::timeFloor},
}};

// A whole number as firmware writes it: digits only, no leading zero, at most 2^64 - 1.
std::optional<std::uint64_t> numberOf(std::string_view text) {
  std::uint64_t value = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos ||
      (text.size() > 1 && text.front() == '0')) {
    return std::nullopt;
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::string_view trustListFileFailureText(TrustListFileFailure failure) {
  return kFailureTexts(failure);
}

TrustListFileFailure readTrustListFile(std::string_view text, TrustSettings* settingsOut) {
  if (text.starts_with("\xEF\xBB\xBF")) {
    return TrustListFileFailure::kByteOrderMark;
  }
  if (text.find('\r') != std::string_view::npos) {
    return TrustListFileFailure::kCarriageReturn;
  }
  if (text.empty() || text.back() != '\n') {
    return TrustListFileFailure::kNoFinalLineFeed;
  }
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  if (lines.front() != kTrustListFileFirstLine) {
    return TrustListFileFailure::kFirstLine;
  }
  TrustSettings settings;
  for (std::size_t i = 0; i < kNumberLines.size(); ++i) {
    const NumberLine& expected = kNumberLines.at(i);
    const std::optional<std::uint64_t> value =
        i + 1 < lines.size() && lines[i + 1].starts_with(expected.name)
            ? numberOf(lines[i + 1].substr(expected.name.size()))
            : std::nullopt;
    if (!value) {
      return expected.fault;
    }
    settings.*expected.field = *value;
  }
  if (settings.timeFloor == 0) {
    return TrustListFileFailure::kTimeFloorZero;
  }
  const std::size_t firstSigner = kNumberLines.size() + 1;
  if (lines.size() == firstSigner) {
    return TrustListFileFailure::kNoSigner;
  }
  if (lines.size() > firstSigner + kMaxTrustedSigners) {
    return TrustListFileFailure::kTooManySigners;
  }
  for (std::size_t i = firstSigner; i < lines.size(); ++i) {
    const std::string_view hex =
        lines[i].starts_with(kSignerPrefix) ? lines[i].substr(kSignerPrefix.size()) : "";
    if (!isLowercaseHex(hex, kPointSize)) {
      return TrustListFileFailure::kSignerLine;
    }
    Bytes point = hexDecode(hex);
    if (point.front() != kUncompressed) {
      return TrustListFileFailure::kSignerNotUncompressed;
    }
    settings.signerKeys.emplace_back(point.begin() + 1, point.end());
  }
  settings.fleetKey = settingsOut->fleetKey;  // the caller's, from the device's own key
  *settingsOut = std::move(settings);
  return TrustListFileFailure::kNone;
}

bool parseTrustListFile(std::string_view text, TrustSettings* settingsOut, std::string* error) {
  const TrustListFileFailure failure = readTrustListFile(text, settingsOut);
  return failure == TrustListFileFailure::kNone ||
         failWith(error, trustListFileFailureText(failure));
}

}  // namespace zezi
