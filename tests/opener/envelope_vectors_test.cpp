// Runs the published envelope vectors (tests/vectors/envelopes.json, made by the separate
// Python implementation) through openEnvelope: each valid case must give its network,
// each invalid one its exact message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <fstream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "encoding/hex.h"
#include "opener/open_envelope.h"

namespace zezi {
namespace {

constexpr const char* kVectorsPath = ZEZI_VIDAD_SOURCE_DIR "/tests/vectors/envelopes.json";

struct VectorCase {
  std::string id;
  std::string envelope;
  std::string fleetScalarHex;
  bool valid = false;
  std::string ssidHex;  // valid cases
  std::string psk;      // valid cases
  std::string message;  // invalid cases
  friend void PrintTo(const VectorCase& c, std::ostream* os) { *os << c.id; }
};

// Empty when the file is missing or malformed; EnvelopeVectorFile.HoldsBothKindsOfCase reports it.
[[nodiscard]] std::vector<VectorCase> loadCases() {
  std::ifstream file(kVectorsPath);
  const nlohmann::json document = nlohmann::json::parse(file, nullptr, false);
  std::vector<VectorCase> cases;
  if (!document.is_array()) {
    return cases;
  }
  try {
    for (const nlohmann::json& entry : document) {
      VectorCase c;
      c.id = entry.at("id").get<std::string>();
      c.envelope = entry.at("envelope").get<std::string>();
      c.fleetScalarHex = entry.at("fleet_private_hex").get<std::string>();
      c.valid = entry.at("result").get<std::string>() == "valid";
      if (c.valid) {
        c.ssidHex = entry.at("ssid_hex").get<std::string>();
        c.psk = entry.at("psk").get<std::string>();
      } else {
        c.message = entry.at("error").at("message").get<std::string>();
      }
      cases.push_back(std::move(c));
    }
  } catch (const nlohmann::json::exception&) {
    cases.clear();  // a malformed case: report the file as unreadable
  }
  return cases;
}

[[nodiscard]] const std::vector<VectorCase>& allCases() {
  static const std::vector<VectorCase> cases = loadCases();
  return cases;
}

TEST(EnvelopeVectorFile, HoldsBothKindsOfCase) {
  const auto& cases = allCases();
  ASSERT_FALSE(cases.empty()) << "cannot read " << kVectorsPath;
  const auto valid =
      std::count_if(cases.begin(), cases.end(), [](const auto& c) { return c.valid; });
  EXPECT_GT(valid, 0);
  EXPECT_LT(static_cast<std::size_t>(valid), cases.size());
}

class EnvelopeVectors : public ::testing::TestWithParam<VectorCase> {};

TEST_P(EnvelopeVectors, OpenAsPublished) {
  const VectorCase& c = GetParam();
  Network network{"untouched", SecretText("untouched")};
  std::string error;
  const bool opened = openEnvelope(c.envelope, hexDecode(c.fleetScalarHex), &network, &error);
  if (c.valid) {
    ASSERT_TRUE(opened) << error;
    EXPECT_EQ(hexEncode(Bytes(network.ssid.begin(), network.ssid.end())), c.ssidHex);
    EXPECT_EQ(std::string(network.psk.begin(), network.psk.end()), c.psk);
  } else {
    ASSERT_FALSE(opened);
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(network.ssid, "untouched");
    EXPECT_EQ(network.psk, "untouched");
  }
}

INSTANTIATE_TEST_SUITE_P(Published, EnvelopeVectors, ::testing::ValuesIn(allCases()),
                         [](const auto& info) {
                           std::string name = info.param.id;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EnvelopeVectors);

}  // namespace
}  // namespace zezi
