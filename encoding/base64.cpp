#include "encoding/base64.h"

#include <optional>
#include <string_view>
#include <utility>

namespace zezi {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kFill = '=';

char sextet(std::uint32_t group, int shift) {
  return kAlphabet[(group >> shift) & 63];
}

// The six-bit value of an alphabet character, or nothing for any other character.
std::optional<std::uint32_t> sextetValue(char c) {
  const std::size_t index = kAlphabet.find(c);
  if (index == std::string_view::npos) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(index);
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

bool base64Decode(std::string_view text, Bytes* octetsOut) {
  if (octetsOut == nullptr || text.size() % 4 != 0) {
    return false;
  }
  Bytes octets;
  octets.reserve(text.size() / 4 * 3);
  for (std::size_t start = 0; start < text.size(); start += 4) {
    const std::string_view quad = text.substr(start, 4);
    // Fill may end the last group only: "xx==" stands for one octet, "xxx=" for two.
    const bool last = start + 4 == text.size();
    const std::size_t fill = !last ? 0 : quad.ends_with("==") ? 2 : quad.ends_with('=') ? 1 : 0;
    std::uint32_t group = 0;
    for (std::size_t i = 0; i < 4 - fill; ++i) {
      const std::optional<std::uint32_t> value = sextetValue(quad[i]);
      if (!value) {
        return false;
      }
      group = group << 6 | *value;
    }
    group <<= 6 * fill;
    // Bits below the last whole octet must be zero, or two texts would give the same octets.
    if (fill > 0 && (group & ((1U << (8 * fill)) - 1)) != 0) {
      return false;
    }
    octets.push_back(static_cast<std::uint8_t>(group >> 16));
    if (fill < 2) {
      octets.push_back(static_cast<std::uint8_t>(group >> 8));
    }
    if (fill < 1) {
      octets.push_back(static_cast<std::uint8_t>(group));
    }
  }
  *octetsOut = std::move(octets);
  return true;
}

}  // namespace zezi
