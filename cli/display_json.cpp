#include "cli/display_json.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "encoding/hex.h"
#include "encoding/utf8.h"

namespace zezi {
namespace {

struct Range {
  char32_t first;
  char32_t last;
};

// Unicode's format characters (general category Cf) with the line and paragraph
// separators, in order.
constexpr auto kInvisible = std::to_array<Range>({
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
    {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
    {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
    {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
});

constexpr char32_t kFirstPrintable = 0x20;
constexpr char32_t kDelete = 0x7F;
constexpr char32_t kLastC1 = 0x9F;
constexpr char32_t kFirstSurrogate = 0xD800;
constexpr char32_t kFirstLowSurrogate = 0xDC00;
constexpr char32_t kFirstSupplementary = 0x10000;
constexpr char32_t kLowSurrogateBits = 0x3FF;
constexpr int kLowSurrogateShift = 10;
constexpr std::size_t kFourDigits = 4;
constexpr unsigned kNibbleBits = 4;
constexpr unsigned kNibbleMask = 0xF;

bool mustEscape(char32_t point) {
  if (point < kFirstPrintable || (point >= kDelete && point <= kLastC1)) {
    return true;
  }
  return std::any_of(kInvisible.begin(), kInvisible.end(),
                     [point](const Range& r) { return point >= r.first && point <= r.last; });
}

void appendEscaped(std::string* out, char32_t unit) {
  std::string digits(kFourDigits, '0');
  for (std::size_t i = kFourDigits; i-- > 0; unit >>= kNibbleBits) {
    digits[i] = kHexDigits[unit & kNibbleMask];
  }
  *out += "\\u" + digits;
}

}  // namespace

std::string displaySafeJsonString(std::string_view text) {
  std::string json = "\"";
  while (!text.empty()) {
    const std::string_view rest = text;
    const std::optional<char32_t> point = nextCodePoint(&text);
    if (!point) {
      return "null";
    }
    if (*point == '"' || *point == '\\') {
      json += '\\';
      json += static_cast<char>(*point);
    } else if (!mustEscape(*point)) {
      json += rest.substr(0, rest.size() - text.size());
    } else if (*point < kFirstSupplementary) {
      appendEscaped(&json, *point);
    } else {
      // Outside the Basic Multilingual Plane JSON escapes a surrogate pair.
      const char32_t offset = *point - kFirstSupplementary;
      appendEscaped(&json, kFirstSurrogate + (offset >> kLowSurrogateShift));
      appendEscaped(&json, kFirstLowSurrogate + (offset & kLowSurrogateBits));
    }
  }
  return json + "\"";
}

}  // namespace zezi
