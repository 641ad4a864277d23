#include "encoding/json_escape.h"

#include "encoding/hex.h"

namespace zezi {
namespace {

// Room for a few escapes before the result must grow.
constexpr std::size_t kEscapeHeadroom = 8;

}  // namespace

std::string jsonEscape(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size() + kEscapeHeadroom);
  for (const char c : text) {
    const auto octet = static_cast<unsigned char>(c);
    switch (octet) {
      case '\t':
        escaped.append("\\t");
        break;
      case '\n':
        escaped.append("\\n");
        break;
      case '\r':
        escaped.append("\\r");
        break;
      case '"':
        escaped.append("\\\"");
        break;
      case '\\':
        escaped.append("\\\\");
        break;
      default:
        if (octet < 0x20) {
          escaped.append("\\u00");
          escaped.push_back(kHexDigits[octet >> 4]);
          escaped.push_back(kHexDigits[octet & 0x0f]);
        } else {
          escaped.push_back(c);
        }
    }
  }
  return escaped;
}

}  // namespace zezi
