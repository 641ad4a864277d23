#include "encoding/hex.h"

#include <stdexcept>

namespace zezi {
namespace {

// Value of one hex digit of either case, or -1.
int digitValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

}  // namespace

std::string hexEncode(const Bytes& octets) {
  std::string hex;
  hex.reserve(2 * octets.size());
  for (const std::uint8_t octet : octets) {
    hex.push_back(kHexDigits[octet >> 4]);
    hex.push_back(kHexDigits[octet & 0x0f]);
  }
  return hex;
}

Bytes hexDecode(std::string_view hex) {
  // A lenient decoder (skipping blanks, signs or a stray last digit) would turn a typo in
  // a key into a different key, so anything but whole pairs of digits is refused.
  if (hex.size() % 2 != 0) {
    throw std::invalid_argument("hex text has an odd number of digits");
  }
  Bytes octets;
  octets.reserve(hex.size() / 2);
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    const int high = digitValue(hex[i]);
    const int low = digitValue(hex[i + 1]);
    if (high < 0 || low < 0) {
      throw std::invalid_argument("hex text holds a character that is not a hex digit");
    }
    octets.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return octets;
}

bool isLowercaseHex(std::string_view text, std::size_t octetCount) {
  return text.size() == 2 * octetCount &&
         text.find_first_not_of(kHexDigits) == std::string_view::npos;
}

}  // namespace zezi
