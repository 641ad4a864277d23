// The device's trust list file: the one good form, and one message for each way off it.
#include "opener/trust_list_file.h"

#include <gtest/gtest.h>

#include <string>

#include "encoding/hex.h"
#include "support/known_values.h"

namespace zezi {
namespace {

// Two points of P-256 (the known fleet key's and a second one), as "signer" lines.
std::string signerLine(std::size_t which) {
  static const std::string keys[] = {
      hexEncode(testing::knownValues().fleetRawPublicKey),
      "020fe49c70e0d3d08c2efc885e4820b9c504029123dfab8d93bb3d03c170d2b510e2c25f9787281f68a2deac0"
      "024278d8cad6f2c98a55fb27d80358c395ca04e"};
  return "signer 04" + keys[which] + "\n";
}

const std::string kHead =
    "tolvane-wifi-drive-trust/v1\nversion 7\nserial-floor 12\ntime-floor 1800000000\n";

TEST(TrustListFile, ReadsTheFirmwaresList) {
  TrustSettings settings;
  settings.fleetKey = Bytes{1, 2};
  std::string error = "untouched";
  ASSERT_TRUE(parseTrustListFile(kHead + signerLine(1) + signerLine(0), &settings, &error));
  EXPECT_EQ(error, "untouched");
  EXPECT_EQ(settings.version, 7U);
  EXPECT_EQ(settings.serialFloor, 12U);
  EXPECT_EQ(settings.timeFloor, 1800000000U);
  ASSERT_EQ(settings.signerKeys.size(), 2U);
  EXPECT_EQ("signer 04" + hexEncode(settings.signerKeys[0]) + "\n", signerLine(1));
  EXPECT_EQ(settings.signerKeys[1], testing::knownValues().fleetRawPublicKey);
  EXPECT_EQ(settings.fleetKey, (Bytes{1, 2}));
}

TEST(TrustListFile, RefusesEveryOtherText) {
  const std::string line = signerLine(1);
  const std::string body = kHead + line;
  std::string upper = line;
  upper[20] = 'A';
  const std::pair<std::string, std::string_view> cases[] = {
      {"\xEF\xBB\xBF" + body, "trust list file starts with a byte order mark"},
      {kHead + line.substr(0, line.size() - 1) + "\r\n",
       "trust list file has CR line endings: use LF alone"},
      {"", "trust list file does not end with a line feed"},
      {body.substr(0, body.size() - 1), "trust list file does not end with a line feed"},
      {"tolvane-wifi-drive-trust/v2\n" + body.substr(body.find('\n') + 1),
       "trust list file does not start with tolvane-wifi-drive-trust/v1"},
      {"tolvane-wifi-drive-trust/v1\nversion\n",
       "trust list file line 2 is not \"version\" and a whole number"},
      {"tolvane-wifi-drive-trust/v1\nversion 07\n",
       "trust list file line 2 is not \"version\" and a whole number"},
      {"tolvane-wifi-drive-trust/v1\nversion 1\nserial-floor 18446744073709551616\n",
       "trust list file line 3 is not \"serial-floor\" and a whole number"},
      {"tolvane-wifi-drive-trust/v1\nversion 1\nserial-floor 0\ntime-floor -1\n",
       "trust list file line 4 is not \"time-floor\" and a whole number"},
      {"tolvane-wifi-drive-trust/v1\nversion 1\nserial-floor 0\nserial-floor 0\n",
       "trust list file line 4 is not \"time-floor\" and a whole number"},
      {"tolvane-wifi-drive-trust/v1\nversion 1\nserial-floor 0\ntime-floor 0\n" + line,
       "trust list file time floor is 0: set it to the firmware's build time"},
      {kHead, "trust list file holds no signer key"},
      {kHead + line + line + line + line + line, "trust list file holds more than 4 signer keys"},
      {body + "\n",
       "trust list file has a line that is not \"signer\" and 130 lowercase hex characters"},
      {kHead + upper,
       "trust list file has a line that is not \"signer\" and 130 lowercase hex characters"},
      {kHead + "signer  04" + line.substr(9),
       "trust list file has a line that is not \"signer\" and 130 lowercase hex characters"},
      {kHead + "signer 03" + line.substr(9),
       "trust list file signer key is not an uncompressed point (04 ...)"},
  };
  for (const auto& [text, expected] : cases) {
    TrustSettings settings;
    settings.version = 99;
    std::string error;
    EXPECT_FALSE(parseTrustListFile(text, &settings, &error)) << expected;
    EXPECT_EQ(error, expected);
    EXPECT_EQ(settings.version, 99U) << "a refusal wrote the settings";
  }
}

}  // namespace
}  // namespace zezi
