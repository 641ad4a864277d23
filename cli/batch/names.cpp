#include "cli/batch/names.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <numeric>

namespace zezi {
namespace {

// 64-bit FNV-1a, for the fingerprints of file names.
constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ULL;
constexpr std::uint64_t kFnvPrime = 1099511628211ULL;
constexpr int kFingerprintHalf = 32;
constexpr std::size_t kNameHashDigits = 8;
// Names that Windows reserves for devices whatever follows the first dot, on a USB stick
// too. The forms with superscript digits never arise: their octets are not kept in names.
constexpr std::array<std::string_view, 24> kReservedNames = {
    "con",  "prn",  "aux",  "nul",  "com0", "com1", "com2", "com3", "com4", "com5", "com6", "com7",
    "com8", "com9", "lpt0", "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};

char lowerCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool keptInName(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '-' || c == '_';
}

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return lowerCase(c); });
  return lower;
}

std::uint64_t fingerprint(std::string_view text) {
  return std::accumulate(text.begin(), text.end(), kFnvOffsetBasis, [](std::uint64_t hash, char c) {
    return (hash ^ static_cast<unsigned char>(c)) * kFnvPrime;
  });
}

// 8 hex digits of the fingerprint of `octets`, telling apart names that lost octets.
std::string shortHash(std::string_view octets) {
  const std::uint64_t hash = fingerprint(octets);
  const auto folded = static_cast<unsigned>(hash ^ (hash >> kFingerprintHalf));
  std::array<char, kNameHashDigits + 1> digits{};
  static_cast<void>(std::snprintf(digits.data(), digits.size(), "%08x", folded));
  return {digits.data(), kNameHashDigits};
}

}  // namespace

std::string EnvelopeNames::claim(std::string_view ssid) {
  std::string base(ssid.size(), '_');
  std::transform(ssid.begin(), ssid.end(), base.begin(),
                 [](char c) { return keptInName(c) ? c : '_'; });
  bool replaced = base != ssid;
  if (base.empty()) {
    base.assign(1, '_');
  } else if (base.front() == '.') {
    base.front() = '_';  // no hidden files, and never "." or ".."
    replaced = true;
  }
  const std::size_t stemEnd = std::min(base.find('.'), base.size());
  if (std::find(kReservedNames.begin(), kReservedNames.end(),
                lowerCase(std::string_view(base).substr(0, stemEnd))) != kReservedNames.end()) {
    base.insert(stemEnd, 1, '_');
  }
  if (replaced) {
    // SSIDs that differ only in the octets replaced keep names of their own.
    base += '-';
    base += shortHash(ssid);
  }
  for (std::size_t n = 1;; ++n) {
    std::string name = n == 1 ? base : base + "-" + std::to_string(n);
    if (taken_.insert(fingerprint(lowerCase(name))).second) {
      return name + ".json";
    }
  }
}

std::string EnvelopeNames::claimIn(const std::string& folder, std::string_view ssid) {
  return (std::filesystem::path(folder) / claim(ssid)).string();
}

}  // namespace zezi
