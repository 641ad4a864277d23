// Runs the published envelope vectors (tests/vectors/envelopes.json, made by the separate
// Python implementation) through openEnvelope and the C interface: each valid case must
// give its network, each invalid one its exact message, and the C status of its step.
// Then the signed sequences (tests/vectors/signed_envelopes.json) through
// openSignedEnvelope, step by step, each giving its outcome and the published record.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "api/zezi_vidad.h"
#include "encoding/hex.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"

namespace zezi {
namespace {

constexpr const char* kVectorsPath = ZEZI_VIDAD_SOURCE_DIR "/tests/vectors/envelopes.json";
constexpr const char* kSignedVectorsPath =
    ZEZI_VIDAD_SOURCE_DIR "/tests/vectors/signed_envelopes.json";

struct VectorCase {
  std::string id;
  std::string envelope;
  std::string fleetScalarHex;
  bool valid = false;
  std::string ssidHex;    // valid cases
  std::string psk;        // valid cases
  std::string message;    // invalid cases
  std::string exception;  // invalid cases: the Python error class, one per opening step
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
        c.exception = entry.at("error").at("exception").get<std::string>();
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

// The C interface's status for each step of the opening order.
const std::map<std::string, zezi_vidad_status, std::less<>> kStatusOfStep = {
    {"EnvelopeSyntaxError", ZEZI_VIDAD_E_ENVELOPE_SYNTAX},
    {"EnvelopeMemberError", ZEZI_VIDAD_E_ENVELOPE_MEMBER},
    {"UnsupportedFormatError", ZEZI_VIDAD_E_ENVELOPE_FORMAT},
    {"EnvelopeEncodingError", ZEZI_VIDAD_E_ENVELOPE_ENCODING},
    {"EnvelopeValueError", ZEZI_VIDAD_E_ENVELOPE_VALUE},
    {"FleetKeyError", ZEZI_VIDAD_E_PRIVATE_KEY},
    {"AuthenticationError", ZEZI_VIDAD_E_DOES_NOT_OPEN},
    {"PayloadError", ZEZI_VIDAD_E_PAYLOAD},
};

// What zezi_vidad_open writes; 0x5a fills what it leaves alone.
struct COpened {
  zezi_vidad_status status = ZEZI_VIDAD_OK;
  std::array<std::uint8_t, ZEZI_VIDAD_SSID_MAX_SIZE> ssid{};
  std::size_t ssidLength = 0;
  std::array<char, ZEZI_VIDAD_PSK_BUFFER_SIZE> psk{};
};

COpened openThroughC(const std::string& envelope, const Bytes& fleetScalar,
                     std::size_t ssidCapacity = ZEZI_VIDAD_SSID_MAX_SIZE,
                     std::size_t pskCapacity = ZEZI_VIDAD_PSK_BUFFER_SIZE) {
  COpened out;
  out.ssid.fill(0x5a);
  out.psk.fill(0x5a);
  // The C interface takes exactly 32 octets; the vectors' scalars all have that length.
  out.status =
      zezi_vidad_open(envelope.data(), envelope.size(), fleetScalar.data(), out.ssid.data(),
                      ssidCapacity, &out.ssidLength, out.psk.data(), pskCapacity);
  return out;
}

bool allFill(const auto& buffer) {
  return std::all_of(buffer.begin(), buffer.end(), [](auto octet) { return octet == 0x5a; });
}

class EnvelopeVectors : public ::testing::TestWithParam<VectorCase> {};

TEST_P(EnvelopeVectors, OpenAsPublished) {
  const VectorCase& c = GetParam();
  Network network{"untouched", SecretText("untouched")};
  std::string error;
  const bool opened = openEnvelope(c.envelope, hexDecode(c.fleetScalarHex), &network, &error);
  const Bytes fleetScalar = hexDecode(c.fleetScalarHex);
  ASSERT_EQ(fleetScalar.size(), std::size_t{ZEZI_VIDAD_SCALAR_SIZE});
  const COpened throughC = openThroughC(c.envelope, fleetScalar);
  if (c.valid) {
    ASSERT_TRUE(opened) << error;
    EXPECT_EQ(hexEncode(Bytes(network.ssid.begin(), network.ssid.end())), c.ssidHex);
    EXPECT_EQ(std::string(network.psk.begin(), network.psk.end()), c.psk);
    ASSERT_EQ(throughC.status, ZEZI_VIDAD_OK) << zezi_vidad_strerror(throughC.status);
    EXPECT_EQ(hexEncode(Bytes(throughC.ssid.begin(), throughC.ssid.begin() + throughC.ssidLength)),
              c.ssidHex);
    EXPECT_EQ(std::string(throughC.psk.data()), c.psk);
  } else {
    ASSERT_FALSE(opened);
    EXPECT_EQ(error, c.message);
    EXPECT_EQ(network.ssid, "untouched");
    EXPECT_EQ(network.psk, "untouched");
    const auto step = kStatusOfStep.find(c.exception);
    ASSERT_NE(step, kStatusOfStep.end()) << "unknown step " << c.exception;
    EXPECT_EQ(throughC.status, step->second) << zezi_vidad_strerror(throughC.status);
    EXPECT_EQ(throughC.ssidLength, 0U);
    EXPECT_TRUE(allFill(throughC.psk));
  }
}

// The C interface's buffers, on every valid case: the SSID buffer one octet short gives the
// length it needs and nothing else; a PSK buffer without the terminator's room is refused
// before anything is written.
struct CBufferRow {
  const char* name;
  std::ptrdiff_t ssidSlack;  // the SSID capacity minus the SSID's length
  std::size_t pskCapacity;
  zezi_vidad_status status;
};

constexpr CBufferRow kCBufferRows[] = {
    {"SsidFitsExactly", 0, ZEZI_VIDAD_PSK_BUFFER_SIZE, ZEZI_VIDAD_OK},
    {"SsidOneOctetShort", -1, ZEZI_VIDAD_PSK_BUFFER_SIZE, ZEZI_VIDAD_E_BUFFER_TOO_SMALL},
    {"PskWithoutTerminatorRoom", 0, ZEZI_VIDAD_PSK_LENGTH, ZEZI_VIDAD_E_BUFFER_TOO_SMALL},
    {"NoPskBuffer", 0, 0, ZEZI_VIDAD_E_BUFFER_TOO_SMALL},
};

TEST(EnvelopeVectorsThroughC, BufferChecks) {
  std::size_t checked = 0;
  for (const VectorCase& c : allCases()) {
    if (!c.valid) {
      continue;
    }
    const Bytes ssid = hexDecode(c.ssidHex);
    for (const CBufferRow& row : kCBufferRows) {
      const auto capacity = static_cast<std::ptrdiff_t>(ssid.size()) + row.ssidSlack;
      SCOPED_TRACE(c.id + " " + row.name);
      const COpened out = openThroughC(c.envelope, hexDecode(c.fleetScalarHex),
                                       static_cast<std::size_t>(capacity), row.pskCapacity);
      EXPECT_EQ(out.status, row.status) << zezi_vidad_strerror(out.status);
      if (row.status == ZEZI_VIDAD_OK) {
        EXPECT_EQ(out.ssidLength, ssid.size());
        EXPECT_EQ(std::string(out.psk.data()), c.psk);
        continue;
      }
      // Only the length the SSID needs, and only when the SSID buffer was the one too small.
      EXPECT_EQ(out.ssidLength, row.ssidSlack < 0 ? ssid.size() : 0U);
      EXPECT_TRUE(allFill(out.ssid));
      EXPECT_TRUE(allFill(out.psk));
    }
    ++checked;
  }
  EXPECT_GT(checked, 0U);
}

INSTANTIATE_TEST_SUITE_P(Published, EnvelopeVectors, ::testing::ValuesIn(allCases()),
                         [](const auto& info) {
                           std::string name = info.param.id;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EnvelopeVectors);

// ---- signed sequences

struct SignedSequence {
  std::string id;
  nlohmann::json steps;
  std::string initialRecordHex;
  friend void PrintTo(const SignedSequence& s, std::ostream* os) { *os << s.id; }
};

[[nodiscard]] const nlohmann::json& signedDocument() {
  static const nlohmann::json document = [] {
    std::ifstream file(kSignedVectorsPath);
    return nlohmann::json::parse(file, nullptr, false);
  }();
  return document;
}

[[nodiscard]] std::vector<SignedSequence> loadSequences() {
  std::vector<SignedSequence> sequences;
  if (!signedDocument().is_object() || !signedDocument().contains("sequences")) {
    return sequences;
  }
  for (const nlohmann::json& entry : signedDocument().at("sequences")) {
    sequences.push_back({entry.at("id").get<std::string>(), entry.at("steps"),
                         entry.at("initial_state_record_hex").get<std::string>()});
  }
  return sequences;
}

[[nodiscard]] TrustList trustListNamed(const std::string& name) {
  const nlohmann::json& entry = signedDocument().at("trust_lists").at(name);
  TrustSettings settings;
  for (const auto& key : entry.at("signers")) {
    settings.signerKeys.push_back(hexDecode(key.get<std::string>()));
  }
  settings.fleetKey = hexDecode(entry.at("fleet_public_hex").get<std::string>());
  settings.version = entry.at("version").get<std::uint64_t>();
  settings.serialFloor = entry.at("serial_floor").get<std::uint64_t>();
  settings.timeFloor = entry.at("time_floor").get<std::uint64_t>();
  TrustList trustList;
  std::string error;
  EXPECT_TRUE(loadTrustList(settings, &trustList, &error)) << name << ": " << error;
  return trustList;
}

TEST(SignedVectorFile, HoldsSequencesOfBothOutcomes) {
  const auto sequences = loadSequences();
  ASSERT_FALSE(sequences.empty()) << "cannot read " << kSignedVectorsPath;
  std::set<std::string> results;
  for (const auto& sequence : sequences) {
    for (const auto& step : sequence.steps) {
      results.insert(step.at("result").get<std::string>());
    }
  }
  EXPECT_EQ(results, (std::set<std::string>{"accepted", "refused"}));
}

class SignedVectors : public ::testing::TestWithParam<SignedSequence> {};

TEST_P(SignedVectors, EachStepEndsAsPublished) {
  const Bytes fleetScalar = hexDecode(signedDocument().at("fleet_private_hex").get<std::string>());
  std::string record = GetParam().initialRecordHex;
  std::size_t number = 0;
  for (const nlohmann::json& step : GetParam().steps) {
    SCOPED_TRACE(::testing::Message()
                 << "step " << ++number << ": " << step.at("note").get<std::string>());
    const TrustList trustList = trustListNamed(step.at("trust_list").get<std::string>());
    // As the reference store reads it: no record is a fresh device.
    ReplayState stored = freshReplayState(trustList);
    const bool readable = record.empty() || decodeReplayState(hexDecode(record), &stored);
    const auto envelope = step.at("envelope").get<std::string>();
    std::string signature;
    SignatureInput input;
    input.envelope = envelope;
    if (!step.at("signature").is_null()) {
      signature = step.at("signature").get<std::string>();
      input.signatureFile = signature;
    }
    input.state = readable ? &stored : nullptr;
    input.policy = step.at("policy") == "transition" ? SignaturePolicy::kTransition
                                                     : SignaturePolicy::kRequired;
    if (!step.at("now").is_null()) {
      input.now = step.at("now").get<std::uint64_t>();
    }
    // Sentinels, which a refusal must leave as they are.
    const Network sentinelNetwork{"sentinel", SecretText(kPskHexLength, 'e')};
    const VerifiedSignature sentinelVerified{true, 3, Statement{{}, {}, {}, 0x5e5e, 1, 2}};
    ReplayState sentinelState;
    sentinelState.highestSerial = 0x5e5e;
    Network network = sentinelNetwork;
    VerifiedSignature verified = sentinelVerified;
    ReplayState next = sentinelState;
    std::string error;
    const bool accepted =
        openSignedEnvelope(input, trustList, fleetScalar, &network, &verified, &next, &error);
    if (step.at("result") == "accepted") {
      ASSERT_TRUE(accepted) << error;
      EXPECT_EQ(hexEncode(Bytes(network.ssid.begin(), network.ssid.end())), step.at("ssid_hex"));
      EXPECT_EQ(std::string(network.psk.begin(), network.psk.end()), step.at("psk"));
      EXPECT_EQ(verified.isSigned, step.at("signed").get<bool>());
      if (verified.isSigned) {
        EXPECT_EQ(verified.keyIndex, step.at("key_index").get<std::size_t>());
        EXPECT_EQ(verified.statement.serial, step.at("serial").get<std::uint64_t>());
        record = hexEncode(encodeReplayState(next));
      }
      // The optional outputs may be left out: the same step gives the same network.
      Network again;
      EXPECT_TRUE(
          openSignedEnvelope(input, trustList, fleetScalar, &again, nullptr, nullptr, nullptr));
      EXPECT_EQ(again.ssid, network.ssid);
    } else {
      ASSERT_FALSE(accepted);
      EXPECT_EQ(error, step.at("error").at("message").get<std::string>());
      EXPECT_EQ(network.ssid, sentinelNetwork.ssid);
      EXPECT_EQ(network.psk, sentinelNetwork.psk);
      EXPECT_EQ(verified.isSigned, sentinelVerified.isSigned);
      EXPECT_EQ(verified.keyIndex, sentinelVerified.keyIndex);
      EXPECT_EQ(verified.statement, sentinelVerified.statement);
      EXPECT_EQ(next, sentinelState);
    }
    EXPECT_EQ(record, step.at("state_record_hex").get<std::string>());
  }
}

INSTANTIATE_TEST_SUITE_P(Published, SignedVectors, ::testing::ValuesIn(loadSequences()),
                         [](const auto& info) {
                           std::string name = info.param.id;
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SignedVectors);

}  // namespace
}  // namespace zezi
