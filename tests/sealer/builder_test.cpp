#include "sealer/builder.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <numeric>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "opener/open_envelope.h"
#include "sealer/fixed_inputs.h"
#include "sealer/fleet_sealer.h"
#include "support/case_names.h"
#include "support/envelope_fields.h"
#include "support/known_values.h"

namespace zezi {
namespace {

using testing::PrintTo;

const testing::KnownValues& known = testing::knownValues();

// Everything buildEnvelope takes besides its outputs.
struct BuilderInputs {
  std::string ssid{testing::KnownValues::kSsid};
  std::string psk{testing::KnownValues::kPsk};
  Bytes fleetPublicKey;
  Bytes salt;
  Bytes nonce;
  Bytes ephemeralScalar;
};

// Valid inputs with nothing drawn: the self-test's keys, salt and nonce.
BuilderInputs suppliedInputs() {
  return {.fleetPublicKey = known.fleetRawPublicKey,
          .salt = known.salt,
          .nonce = known.nonce,
          .ephemeralScalar = known.ephemeralScalar};
}

BuilderInputs drawnInputs() {
  BuilderInputs in = suppliedInputs();
  in.salt.clear();
  in.nonce.clear();
  in.ephemeralScalar.clear();
  return in;
}

// The two ways to seal: buildEnvelope, and a FleetSealer made for the fleet key.
enum class SealPath { kBuildEnvelope, kFleetSealer };
constexpr std::array<SealPath, 2> kSealPaths = {SealPath::kBuildEnvelope, SealPath::kFleetSealer};

std::string pathName(SealPath path) {
  return path == SealPath::kBuildEnvelope ? "BuildEnvelope" : "FleetSealer";
}

bool sealVia(SealPath path, const BuilderInputs& in, std::string* envelopeOut,
             std::string* errorOut) {
  if (path == SealPath::kBuildEnvelope) {
    return buildEnvelope(in.ssid, in.psk, in.fleetPublicKey, envelopeOut, errorOut, in.salt,
                         in.nonce, in.ephemeralScalar);
  }
  const auto sealer = FleetSealer::create(in.fleetPublicKey, errorOut);
  return sealer != nullptr &&
         FleetSealerSteps::seal(*sealer, in.ssid, in.psk, envelopeOut, errorOut, in.salt, in.nonce,
                                in.ephemeralScalar);
}

// The envelope of `in`; fails the test when building fails.
std::string build(const BuilderInputs& in, SealPath path = SealPath::kBuildEnvelope) {
  std::string envelope;
  std::string error;
  EXPECT_TRUE(sealVia(path, in, &envelope, &error)) << error;
  return envelope;
}

// A case of a table, named after the path and the case.
template <typename Case>
std::string pathCaseName(const ::testing::TestParamInfo<std::tuple<SealPath, Case>>& info) {
  return pathName(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
}

std::string expectedPayload(std::string_view ssid, std::string_view psk) {
  return R"({"networks":[{"ssid":")" + jsonEscape(ssid) + R"(","psk":")" + std::string(psk) +
         R"("}]})";
}

// What the device's opener makes of `envelope` with the fleet key: "ssid|psk" when it
// opens, else its message.
std::string opened(const std::string& envelope) {
  Network network;
  std::string error;
  if (!openEnvelope(envelope, known.fleetScalar, &network, &error)) {
    return error;
  }
  return network.ssid + "|" + std::string(network.psk.begin(), network.psk.end());
}

std::string network(const BuilderInputs& in) {
  return in.ssid + "|" + in.psk;
}

// The sealed member an envelope of `in` must carry when the salt, nonce and ephemeral
// scalar are the known ones, which fix the envelope key: the exact payload text, sealed.
Bytes expectedSealed(const BuilderInputs& in) {
  const std::string payload = expectedPayload(in.ssid, in.psk);
  return sealPayload(known.envelopeKey, known.nonce, known.domain, textToBytes(payload));
}

std::size_t memberLength(const testing::EnvelopeFields& fields, const char* key) {
  return fields.members.at(key).get<std::string>().size();
}

TEST(BuildEnvelope, IsSevenLinesOfMembersInFixedOrder) {
  const std::string envelope = build(suppliedInputs());
  EXPECT_EQ(envelope.find('\r'), std::string::npos);
  ASSERT_TRUE(envelope.starts_with("{\n"));
  ASSERT_TRUE(envelope.ends_with("}\n"));
  std::vector<std::string> lines;
  std::istringstream stream(envelope);
  for (std::string line; std::getline(stream, line);) {
    lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), 7u);
  const char* keys[] = {"format", "eph_pub", "salt", "nonce", "sealed"};
  for (std::size_t i = 0; i < 5; ++i) {
    const std::regex member("  \"" + std::string(keys[i]) + R"(": "[^"\\]+")" + (i < 4 ? "," : ""));
    EXPECT_TRUE(std::regex_match(lines[i + 1], member)) << lines[i + 1];
  }
}

TEST(BuildEnvelope, SuppliedValuesFixTheEnvelopeAndAppearInItsMembers) {
  const BuilderInputs in = suppliedInputs();
  const std::string envelope = build(in);
  EXPECT_EQ(build(in), envelope);
  const auto fields = testing::parseEnvelope(envelope);
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->format, kEnvelopeDomain);
  EXPECT_EQ(memberLength(*fields, "eph_pub"), 88u);
  ASSERT_EQ(fields->ephemeralPoint.size(), kPointSize);
  EXPECT_EQ(fields->ephemeralPoint[0], 0x04);
  const Bytes ephemeralRawKey(fields->ephemeralPoint.begin() + 1, fields->ephemeralPoint.end());
  EXPECT_EQ(ephemeralRawKey, encodedPublicKey(loadPrivateKey(in.ephemeralScalar).get()));
  EXPECT_EQ(fields->salt, in.salt);
  EXPECT_EQ(fields->nonce, in.nonce);
  EXPECT_EQ(fields->sealed.size(), expectedPayload(in.ssid, in.psk).size() + kTagSize);
  // The derivation the opener repeats must reach the self-test's known answers.
  const Bytes secret = ecdhSharedSecret(known.fleetScalar, ephemeralRawKey);
  EXPECT_EQ(secret, known.sharedSecret);
  EXPECT_EQ(deriveEnvelopeKey(kEnvelopeDomain, secret, fields->salt, fields->ephemeralPoint,
                              known.fleetPoint),
            known.envelopeKey);
  EXPECT_EQ(fields->sealed, known.sealed);
  EXPECT_EQ(opened(envelope), network(in));
}

TEST(BuildEnvelope, DrawnValuesHaveTheirSizesDifferAndStillOpen) {
  for (const SealPath path : kSealPaths) {
    SCOPED_TRACE(pathName(path));
    const BuilderInputs in = drawnInputs();
    const std::string first = build(in, path);
    const std::string second = build(in, path);
    const auto a = testing::parseEnvelope(first);
    const auto b = testing::parseEnvelope(second);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(memberLength(*a, "eph_pub"), 88u);
    EXPECT_EQ(memberLength(*a, "salt"), 24u);
    EXPECT_EQ(memberLength(*a, "nonce"), 16u);
    ASSERT_EQ(a->ephemeralPoint.size(), kPointSize);
    EXPECT_EQ(a->ephemeralPoint[0], 0x04);
    EXPECT_NE(loadPublicKey(Bytes(a->ephemeralPoint.begin() + 1, a->ephemeralPoint.end())),
              nullptr);
    ASSERT_EQ(a->salt.size(), kDrawnSaltSize);
    ASSERT_EQ(a->nonce.size(), kNonceSize);
    EXPECT_NE(a->ephemeralPoint, b->ephemeralPoint);
    EXPECT_NE(a->salt, b->salt);
    EXPECT_NE(a->nonce, b->nonce);
    EXPECT_NE(a->sealed, b->sealed);
    // Fresh draws agree in few positions; a generator filling only part of the buffer, or
    // one draw given out as both salt and nonce, does not.
    const auto samePositions = [](const Bytes& x, const Bytes& y) {
      return std::inner_product(x.begin(), x.end(), y.begin(), 0, std::plus<>(), std::equal_to<>());
    };
    EXPECT_LT(samePositions(a->salt, b->salt), 8);
    EXPECT_LT(samePositions(a->nonce, b->nonce), 6);
    EXPECT_LT(samePositions(a->nonce, Bytes(a->salt.begin(), a->salt.begin() + kNonceSize)), 6);
    EXPECT_LT(samePositions(a->nonce, Bytes(a->salt.end() - kNonceSize, a->salt.end())), 6);
    EXPECT_EQ(opened(first), network(in));
    EXPECT_EQ(opened(second), network(in));
  }
}

TEST(BuildEnvelope, SuppliedSaltOfOneOr64OctetsIsWrittenAndUsed) {
  for (const std::size_t size : {1u, 64u}) {
    BuilderInputs in = suppliedInputs();
    in.salt = Bytes(size, 0x77);
    const std::string envelope = build(in);
    const auto fields = testing::parseEnvelope(envelope);
    ASSERT_TRUE(fields) << size;
    EXPECT_EQ(memberLength(*fields, "salt"), 4 * ((size + 2) / 3)) << size;
    EXPECT_EQ(fields->salt, in.salt) << size;
    EXPECT_EQ(opened(envelope), network(in)) << size;
  }
}

TEST(BuildEnvelope, SuccessLeavesErrorTextUntouched) {
  const BuilderInputs in = suppliedInputs();
  std::string envelope;
  std::string error = "previous error";
  ASSERT_TRUE(buildEnvelope(in.ssid, in.psk, in.fleetPublicKey, &envelope, &error, in.salt,
                            in.nonce, in.ephemeralScalar));
  EXPECT_EQ(error, "previous error");
}

TEST(BuildEnvelope, FailureWithoutErrorBufferReturnsFalse) {
  // Both the first check and the last one, the sealing.
  std::string envelope = "previous envelope";
  EXPECT_FALSE(buildEnvelope("", "", {}, &envelope, nullptr));
  const BuilderInputs in = suppliedInputs();
  EXPECT_FALSE(buildEnvelope(in.ssid, in.psk, in.fleetPublicKey, &envelope, nullptr, in.salt,
                             Bytes(16, 0), in.ephemeralScalar));
  EXPECT_EQ(envelope, "previous envelope");
}

struct FailureCase {
  const char* name;
  std::function<void(BuilderInputs&)> change;
  std::string message;
  bool nullEnvelope = false;
  // Where the sealer's message differs: it checks the fleet key once, when it is made.
  std::string sealerMessage = {};
};

class BuildEnvelopeFails : public ::testing::TestWithParam<std::tuple<SealPath, FailureCase>> {};

TEST_P(BuildEnvelopeFails, WithFirstFailingCheckMessageAndEnvelopeUntouched) {
  const auto& [path, failure] = GetParam();
  BuilderInputs in = suppliedInputs();
  failure.change(in);
  std::string envelope = "previous envelope";
  std::string error = "previous error";
  EXPECT_FALSE(sealVia(path, in, failure.nullEnvelope ? nullptr : &envelope, &error));
  const bool sealerDiffers = path == SealPath::kFleetSealer && !failure.sealerMessage.empty();
  EXPECT_EQ(error, sealerDiffers ? failure.sealerMessage : failure.message);
  EXPECT_EQ(envelope, "previous envelope");
}

const std::string kFleetMessage = "fleet public key must be 64 raw bytes";
const std::string kFleetPointMessage = "fleet public key is not a P-256 point";
const std::string kPskMessage = "psk must be 64 lowercase hex characters";
const std::string kScalarMessage = "invalid ephemeral scalar";

void resize(Bytes& octets, std::size_t size) {
  octets.resize(size, 0x01);
}

INSTANTIATE_TEST_SUITE_P(Table, BuildEnvelopeFails,
                         ::testing::
                             Combine(::testing::ValuesIn(kSealPaths),
                                     ::testing::Values(FailureCase{"NullEnvelopeWithAllElseWrong",
                                                                   [](BuilderInputs& in) {
                                                                     in.fleetPublicKey.clear();
                                                                     in.psk = "X";
                                                                     in.ssid.clear();
                                                                     in.ephemeralScalar =
                                                                         Bytes(31, 0);
                                                                     in.nonce = Bytes(16, 0);
                                                                   },
                                                                   "no output buffer", true,
                                                                   kFleetMessage},
                                                       FailureCase{
                                                           "NullEnvelopeWithAllElseWrongButTheKey",
                                                           [](BuilderInputs& in) {
                                                             in.psk = "X";
                                                             in.ssid.clear();
                                                             in.ephemeralScalar = Bytes(31, 0);
                                                           },
                                                           "no output buffer", true},
                                                       FailureCase{"EmptyFleetKey",
                                                                   [](BuilderInputs& in) {
                                                                     in.fleetPublicKey.clear();
                                                                   },
                                                                   kFleetMessage},
                                                       FailureCase{"FleetKey63",
                                                                   [](BuilderInputs& in) {
                                                                     resize(in.fleetPublicKey, 63);
                                                                   },
                                                                   kFleetMessage},
                                                       FailureCase{"FleetKey65",
                                                                   [](BuilderInputs& in) {
                                                                     resize(in.fleetPublicKey, 65);
                                                                   },
                                                                   kFleetMessage},
                                                       FailureCase{"FleetKeyAsPoint",
                                                                   [](BuilderInputs& in) {
                                                                     in.fleetPublicKey = rawToPoint(
                                                                         in.fleetPublicKey);
                                                                   },
                                                                   kFleetMessage},
                                                       FailureCase{
                                                           "Psk63",
                                                           [](BuilderInputs&
                                                                  in) { in.psk.pop_back(); },
                                                           kPskMessage},
                                                       FailureCase{
                                                           "Psk65",
                                                           [](BuilderInputs& in) { in.psk += '0'; },
                                                           kPskMessage},
                                                       FailureCase{
                                                           "PskUppercaseDigit",
                                                           [](BuilderInputs&
                                                                  in) { in.psk[6] = 'C'; },
                                                           kPskMessage},
                                                       FailureCase{
                                                           "PskNonHexLetter",
                                                           [](BuilderInputs&
                                                                  in) { in.psk[0] = 'g'; },
                                                           kPskMessage},
                                                       FailureCase{"PskSpace",
                                                                   [](BuilderInputs&
                                                                          in) { in.psk[63] = ' '; },
                                                                   kPskMessage},
                                                       FailureCase{"BadFleetKeyAndBadPsk",
                                                                   [](BuilderInputs& in) {
                                                                     in.fleetPublicKey.pop_back();
                                                                     in.psk.pop_back();
                                                                   },
                                                                   kFleetMessage},
                                                       FailureCase{"BadPskAndEmptySsid",
                                                                   [](BuilderInputs& in) {
                                                                     in.psk[0] = 'A';
                                                                     in.ssid.clear();
                                                                   },
                                                                   kPskMessage},
                                                       FailureCase{"EmptySsid",
                                                                   [](BuilderInputs& in) {
                                                                     in.ssid.clear();
                                                                   },
                                                                   "ssid is empty"},
                                                       FailureCase{"ZeroFleetKey",
                                                                   [](BuilderInputs& in) {
                                                                     in.fleetPublicKey =
                                                                         Bytes(64, 0);
                                                                   },
                                                                   "ECDH failed", false,
                                                                   kFleetPointMessage},
                                                       FailureCase{"FleetKeyOffCurve",
                                                                   [](BuilderInputs& in) {
                                                                     in.fleetPublicKey[63] ^= 0x01;
                                                                   },
                                                                   "ECDH failed", false,
                                                                   kFleetPointMessage},
                                                       FailureCase{
                                                           "FleetKeyXIsTheFieldPrime",
                                                           [](BuilderInputs& in) {
                                                             const Bytes prime = hexDecode(
                                                                 "ffffffff0000000100000000000000000"
                                                                 "0000000ffffffffffffffffffffffff");
                                                             std::copy(prime.begin(), prime.end(),
                                                                       in.fleetPublicKey.begin());
                                                           },
                                                           "ECDH failed", false,
                                                           kFleetPointMessage},
                                                       FailureCase{"Scalar31",
                                                                   [](BuilderInputs& in) {
                                                                     resize(in.ephemeralScalar, 31);
                                                                   },
                                                                   kScalarMessage},
                                                       FailureCase{"Scalar33",
                                                                   [](BuilderInputs& in) {
                                                                     resize(in.ephemeralScalar, 33);
                                                                   },
                                                                   kScalarMessage},
                                                       FailureCase{"ZeroScalar",
                                                                   [](BuilderInputs& in) {
                                                                     in.ephemeralScalar =
                                                                         Bytes(32, 0);
                                                                   },
                                                                   kScalarMessage},
                                                       FailureCase{
                                                           "ScalarIsTheGroupOrder",
                                                           [](BuilderInputs& in) {
                                                             in.ephemeralScalar = hexDecode(
                                                                 "ffffffff00000000ffffffffffffffffb"
                                                                 "ce6faada7179e84f3b9cac2fc632551");
                                                           },
                                                           kScalarMessage},
                                                       FailureCase{
                                                           "ScalarIsTheGroupOrderPlusOne",
                                                           [](BuilderInputs& in) {
                                                             in.ephemeralScalar = hexDecode(
                                                                 "ffffffff00000000ffffffffffffffffb"
                                                                 "ce6faada7179e84f3b9cac2fc632552");
                                                           },
                                                           kScalarMessage},
                                                       FailureCase{"ScalarAllOnes",
                                                                   [](BuilderInputs& in) {
                                                                     in.ephemeralScalar =
                                                                         Bytes(32, 0xff);
                                                                   },
                                                                   kScalarMessage},
                                                       FailureCase{"Nonce16",
                                                                   [](BuilderInputs& in) {
                                                                     in.nonce = Bytes(16, 0x09);
                                                                   },
                                                                   "sealing failed"},
                                                       FailureCase{"Nonce11",
                                                                   [](BuilderInputs& in) {
                                                                     in.nonce.pop_back();
                                                                   },
                                                                   "sealing failed"},
                                                       FailureCase{"EmptySsidAndBadNonce",
                                                                   [](BuilderInputs& in) {
                                                                     in.ssid.clear();
                                                                     in.nonce.pop_back();
                                                                   },
                                                                   "ssid is empty"})),
                         pathCaseName<FailureCase>);

struct SsidCase {
  const char* name;
  std::string ssid;
  bool validUtf8;
};

std::string octetRange(int first, int last) {
  std::string text;
  for (int c = first; c <= last; ++c) {
    text.push_back(static_cast<char>(c));
  }
  return text;
}

class BuildEnvelopeRoundTrip : public ::testing::TestWithParam<std::tuple<SealPath, SsidCase>> {};

TEST_P(BuildEnvelopeRoundTrip, SealsThePayloadWithEscapedSsidAndOpens) {
  const auto& [path, ssidCase] = GetParam();
  BuilderInputs in = suppliedInputs();
  in.ssid = ssidCase.ssid;
  in.psk = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  const auto fields = testing::parseEnvelope(build(in, path));
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->sealed, expectedSealed(in));
  // The device's side takes what a WiFi stack holds; the builder seals any length.
  EXPECT_EQ(opened(build(in, path)), in.ssid.size() <= kMaxSsidSize
                                         ? network(in)
                                         : std::string("payload ssid is longer than 32 octets"));
  in.salt.clear();
  in.nonce.clear();
  in.ephemeralScalar.clear();
  if (in.ssid.size() <= kMaxSsidSize) {
    EXPECT_EQ(opened(build(in, path)), network(in)) << "with drawn values";
  }
  if (!ssidCase.validUtf8) {
    return;
  }
  const auto json = nlohmann::json::parse(expectedPayload(in.ssid, in.psk), nullptr,
                                          /*allow_exceptions=*/false);
  ASSERT_FALSE(json.is_discarded());
  ASSERT_EQ(json.size(), 1u);
  ASSERT_EQ(json.at("networks").size(), 1u);
  const auto& member = json.at("networks").at(0);
  EXPECT_EQ(member.size(), 2u);
  EXPECT_EQ(member.at("ssid").get<std::string>(), in.ssid);
  EXPECT_EQ(member.at("psk").get<std::string>(), in.psk);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BuildEnvelopeRoundTrip,
    ::testing::Combine(
        ::testing::ValuesIn(kSealPaths),
        ::testing::Values(
            SsidCase{"Plain", "Tournament", true}, SsidCase{"OneOctet", "x", true},
            SsidCase{"Quotes", "say \"hi\" \"", true}, SsidCase{"Backslashes", "a\\b\\\\c\\", true},
            SsidCase{"ControlOctets", octetRange(0x00, 0x1f), true},
            SsidCase{"ControlsBetweenText", "a\x7f" + octetRange(0x00, 0x03) + "\"z", true},
            SsidCase{"Utf8Text", "Caf\xc3\xa9 \xe2\x98\x95 \xf0\x9f\x93\xb6", true},
            SsidCase{"OctetsFrom0x80", octetRange(0x80, 0xff), false},
            SsidCase{"ThirtyTwoOctetsAllEscaped", std::string(16, '"') + std::string(16, '\\'),
                     true},
            SsidCase{"HundredOctets", std::string(50, 'w') + std::string(50, '\\'), true})),
    pathCaseName<SsidCase>);

}  // namespace
}  // namespace zezi
