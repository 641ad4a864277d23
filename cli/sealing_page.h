// The sealing page: one HTML file, its script and style inline, with which a customer seals a
// network to the fleet key in their own browser. Its sources are the files of cli/page/,
// compiled into the tool as text.
#pragma once

#include <string>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// The page's template (with {{name}} places), its style sheet and its script.
struct PageSources {
  std::string_view html;
  std::string_view style;
  std::string_view script;
};

// cli/page/seal.html, seal.css and seal.js as the build found them.
extern const PageSources kSealingPageSources;

// Whether `title` can head the page: 1 to 100 characters of UTF-8 without controls. False
// with why not.
[[nodiscard]] bool checkPageTitle(const std::string& title, std::string* error);

// The page for the 64-octet fleet key `fleetRawKey`, headed `title` (HTML-escaped): the
// key and its fleet id (SHA-256 of 04 || key) filled in, the style and script inline and a
// Content-Security-Policy that allows those two by their SHA-256 and nothing else. Empty
// when `sources` has a place it does not know or a digest fails.
[[nodiscard]] std::string sealingPage(const PageSources& sources, const Bytes& fleetRawKey,
                                      std::string_view title);

}  // namespace zezi
