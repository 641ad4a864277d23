#include "cli/sealing_page.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/failure.h"
#include "crypto/sha256.h"
#include "crypto/statement.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/utf8.h"

namespace zezi {
namespace {

constexpr std::size_t kLongestTitle = 100;

// Text as HTML element content or a quoted attribute value.
std::string htmlEscaped(std::string_view text) {
  static constexpr std::array<std::pair<char, std::string_view>, 5> kEntities{
      {{'&', "&amp;"}, {'<', "&lt;"}, {'>', "&gt;"}, {'"', "&quot;"}, {'\'', "&#39;"}}};
  std::string escaped;
  for (const char c : text) {
    const auto* entity = std::find_if(kEntities.begin(), kEntities.end(),
                                      [c](const auto& entry) { return entry.first == c; });
    if (entity == kEntities.end()) {
      escaped += c;
    } else {
      escaped += entity->second;
    }
  }
  return escaped;
}

// 'sha256-<Base64>' of an inline script or style, as the policy allows it.
std::optional<std::string> sourceHash(std::string_view inlineText) {
  Digest digest{};
  if (!sha256(inlineText, &digest)) {
    return std::nullopt;
  }
  return "'sha256-" + base64Encode(Bytes(digest.begin(), digest.end())) + "'";
}

// `html` with each {{name}} replaced by its value; nothing for an unknown name.
std::optional<std::string> filledIn(std::string_view html,
                                    const std::map<std::string_view, std::string>& values) {
  std::string page;
  while (true) {
    const std::size_t open = html.find("{{");
    page += html.substr(0, open);
    if (open == std::string_view::npos) {
      return page;
    }
    const std::size_t close = html.find("}}", open);
    const auto value = close == std::string_view::npos
                           ? values.end()
                           : values.find(html.substr(open + 2, close - open - 2));
    if (value == values.end()) {
      return std::nullopt;
    }
    page += value->second;
    html.remove_prefix(close + 2);
  }
}

}  // namespace

bool checkPageTitle(const std::string& title, std::string* error) {
  std::string_view rest = title;
  std::size_t characters = 0;
  while (!rest.empty()) {
    const std::optional<char32_t> point = nextCodePoint(&rest);
    if (!point) {
      return failWith(error, "--title must be UTF-8 text");
    }
    if (*point < 0x20 || (*point >= 0x7f && *point < 0xa0)) {
      return failWith(error, "--title must be one line without control characters");
    }
    ++characters;
  }
  return (characters >= 1 && characters <= kLongestTitle) ||
         failWith(error, "--title must have 1 to 100 characters");
}

std::string sealingPage(const PageSources& sources, const Bytes& fleetRawKey,
                        std::string_view title) {
  Digest fleetId{};
  const std::optional<std::string> scriptHash = sourceHash(sources.script);
  const std::optional<std::string> styleHash = sourceHash(sources.style);
  if (!keyIdOf(fleetRawKey, &fleetId) || !scriptHash || !styleHash) {
    return {};
  }
  // Inline code runs by its digest alone; no fetch, frame, font, image, form or base.
  const std::string policy = "default-src 'none'; script-src " + *scriptHash + "; style-src " +
                             *styleHash + "; base-uri 'none'; form-action 'none'";
  return filledIn(sources.html, {{"policy", policy},
                                 {"title", htmlEscaped(title)},
                                 {"fleet_key", hexEncode(fleetRawKey)},
                                 {"fleet_id", hexEncode(Bytes(fleetId.begin(), fleetId.end()))},
                                 {"style", std::string(sources.style)},
                                 {"script", std::string(sources.script)}})
      .value_or(std::string());
}

}  // namespace zezi
