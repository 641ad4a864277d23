#include "encoding/base64.h"

#include <string_view>

namespace zezi {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';

char sextet(std::uint32_t group, int shift) {
  return kAlphabet[(group >> shift) & 63];
}

}  // namespace

std::string base64Encode(const Bytes& octets) {
  const std::size_t n = octets.size();
  std::string text;
  text.reserve(4 * ((n + 2) / 3));
  std::size_t i = 0;
  for (; i + 2 < n; i += 3) {
    const std::uint32_t group =
        std::uint32_t{octets[i]} << 16 | std::uint32_t{octets[i + 1]} << 8 | octets[i + 2];
    text.push_back(sextet(group, 18));
    text.push_back(sextet(group, 12));
    text.push_back(sextet(group, 6));
    text.push_back(sextet(group, 0));
  }
  const std::size_t remaining = n - i;
  if (remaining == 1) {
    const std::uint32_t group = std::uint32_t{octets[i]} << 16;
    text.push_back(sextet(group, 18));
    text.push_back(sextet(group, 12));
    text.append(2, kFill);
  } else if (remaining == 2) {
    const std::uint32_t group = std::uint32_t{octets[i]} << 16 | std::uint32_t{octets[i + 1]} << 8;
    text.push_back(sextet(group, 18));
    text.push_back(sextet(group, 12));
    text.push_back(sextet(group, 6));
    text.push_back(kFill);
  }
  return text;
}

}  // namespace zezi
