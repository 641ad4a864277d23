#include "cli/sealing_page.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "crypto/sha256.h"
#include "crypto/statement.h"
#include "encoding/base64.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

const Bytes kFleetKey = hexDecode(
    "442e854400eb668d655de31b210a0a18ba2e9f8dbcb2f59597b3e9e87a720242"
    "22306aec2cebe36e07c4a8d9dbf16787aa642e01886590356b1f4b533bbf2396");

std::string between(const std::string& text, std::string_view open, std::string_view close) {
  const std::size_t start = text.find(open);
  if (start == std::string::npos) {
    return {};
  }
  const std::size_t end = text.find(close, start + open.size());
  return end == std::string::npos ? std::string()
                                  : text.substr(start + open.size(), end - start - open.size());
}

std::string hashSource(const std::string& inlineText) {
  Digest digest{};
  EXPECT_TRUE(sha256(inlineText, &digest));
  return "'sha256-" + base64Encode(Bytes(digest.begin(), digest.end())) + "'";
}

// The browser runs what the policy names by digest: the page's own script and style, each
// whole and once, with nothing of theirs able to end its element early.
TEST(SealingPage, ThePolicyAllowsExactlyTheInlineScriptAndStyle) {
  const std::string page = sealingPage(kSealingPageSources, kFleetKey, "WiFi");
  const std::string script = between(page, "<script>", "</script>");
  const std::string style = between(page, "<style>", "</style>");
  EXPECT_EQ(script, kSealingPageSources.script);
  EXPECT_EQ(style, kSealingPageSources.style);
  EXPECT_EQ(between(page, "Content-Security-Policy\" content=\"", "\""),
            "default-src 'none'; script-src " + hashSource(script) + "; style-src " +
                hashSource(style) + "; base-uri 'none'; form-action 'none'");
  Digest fleetId{};
  ASSERT_TRUE(keyIdOf(kFleetKey, &fleetId));
  EXPECT_EQ(between(page, "<code id=\"fleet-id\">", "</code>"),
            hexEncode(Bytes(fleetId.begin(), fleetId.end())));
  EXPECT_EQ(between(page, "data-fleet-key=\"", "\""), hexEncode(kFleetKey));
  EXPECT_EQ(page.find("{{"), std::string::npos);
}

TEST(SealingPage, TheTitleIsTextNeverMarkup) {
  const std::string page =
      sealingPage(kSealingPageSources, kFleetKey, "<script>alert('x')</script> & \"co\"");
  const std::string escaped =
      "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt; &amp; &quot;co&quot;";
  EXPECT_EQ(between(page, "<title>", "</title>"), escaped);
  EXPECT_EQ(between(page, "<h1>", "</h1>"), escaped);
  EXPECT_EQ(page.find("alert('x')"), std::string::npos);
}

TEST(SealingPage, SourcesWithAPlaceItDoesNotKnowMakeNoPage) {
  for (const std::string_view html : {"<p>{{fleet_key}} {{colour}}</p>", "<p>{{title</p>"}) {
    EXPECT_EQ(sealingPage({html, "", ""}, kFleetKey, "WiFi"), "") << html;
  }
  EXPECT_EQ(sealingPage(kSealingPageSources, Bytes(63, 1), "WiFi"), "");
}

std::string repeated(std::string_view text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) {
    all += text;
  }
  return all;
}

TEST(CheckPageTitle, TakesOneLineOfUpTo100Characters) {
  const std::pair<std::string, bool> cases[] = {
      {"WiFi for ACME", true},
      {std::string(100, 'x'), true},
      {repeated("\xc3\xa9", 100), true},  // é: 100 characters in 200 octets
      {repeated("\xc3\xa9", 101), false},
      {"", false},
      {std::string(101, 'x'), false},
      {"two\nlines", false},
      {"tab\there", false},
      {"next line \xc2\x85", false},
      {"cut \xc3", false},
      {"overlong \xc0\xaf", false},
  };
  for (const auto& [title, accepted] : cases) {
    std::string error;
    EXPECT_EQ(checkPageTitle(title, &error), accepted) << title;
    EXPECT_EQ(error.empty(), accepted) << title;
  }
}

}  // namespace
}  // namespace zezi
