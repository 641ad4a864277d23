#include "sealer/fixed_inputs.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "encoding/json_escape.h"
#include "sealer/builder.h"
#include "sealer/fleet_sealer.h"
#include "support/envelope_fields.h"

namespace zezi {
namespace {

// n - 1, the highest scalar of P-256.
constexpr std::string_view kHighestScalarHex =
    "ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632550";

// One envelope's inputs, every one of them supplied.
struct Inputs {
  std::string ssid;
  std::string psk;
  Bytes salt;
  Bytes nonce;
  Bytes scalar;
};

class Draw {
 public:
  explicit Draw(std::uint32_t seed) : generator_(seed) {}

  Bytes octets(std::size_t count) {
    Bytes out(count);
    for (auto& octet : out) {
      octet = static_cast<std::uint8_t>(generator_());
    }
    return out;
  }
  std::size_t between(std::size_t low, std::size_t high) {
    return std::uniform_int_distribution<std::size_t>(low, high)(generator_);
  }
  // Any octets for the SSID, quotes, backslashes and control octets included; a scalar from
  // OpenSSL's generator unless one is given.
  Inputs inputs(Bytes scalar = {}) {
    Inputs in;
    const Bytes ssid = octets(between(1, 64));
    in.ssid.assign(ssid.begin(), ssid.end());
    in.psk = hexEncode(octets(kPskSize));
    in.salt = octets(between(1, 48));
    in.nonce = octets(kNonceSize);
    Bytes ignoredRaw;
    if (scalar.empty() && !generateEphemeralKey(&scalar, &ignoredRaw)) {
      ADD_FAILURE() << "could not draw a scalar";
    }
    in.scalar = std::move(scalar);
    return in;
  }

 private:
  std::mt19937 generator_;
};

std::string built(const Inputs& in, const Bytes& fleetKey) {
  std::string envelope;
  std::string error;
  EXPECT_TRUE(
      buildEnvelope(in.ssid, in.psk, fleetKey, &envelope, &error, in.salt, in.nonce, in.scalar))
      << error;
  return envelope;
}

std::string sealed(const FleetSealer& sealer, const Inputs& in) {
  std::string envelope;
  std::string error;
  EXPECT_TRUE(FleetSealerSteps::seal(sealer, in.ssid, in.psk, &envelope, &error, in.salt, in.nonce,
                                     in.scalar))
      << error;
  return envelope;
}

// The envelope's sealed member as the EVP primitives make it, which the sealing path no
// longer uses: the key pair loaded as an EVP key, the agreement through EVP_PKEY_derive.
Bytes referenceSealed(const Inputs& in, const Bytes& fleetKey) {
  const Bytes ephemeralPoint = rawToPoint(encodedPublicKey(loadPrivateKey(in.scalar).get()));
  const Bytes key = deriveEnvelopeKey(kEnvelopeDomain, ecdhSharedSecret(in.scalar, fleetKey),
                                      in.salt, ephemeralPoint, rawToPoint(fleetKey));
  const std::string payload =
      R"({"networks":[{"ssid":")" + jsonEscape(in.ssid) + R"(","psk":")" + in.psk + R"("}]})";
  return sealPayload(key, in.nonce, textToBytes(kEnvelopeDomain), textToBytes(payload));
}

Bytes freshFleetKey() {
  Bytes scalar;
  Bytes raw;
  EXPECT_TRUE(generateEphemeralKey(&scalar, &raw));
  return raw;
}

TEST(FleetSealer, EqualsBuildEnvelopeOctetForOctetOverDrawnInputs) {
  Draw draw(20240917);
  for (int key = 0; key < 4; ++key) {
    const Bytes fleetKey = freshFleetKey();
    const auto sealer = FleetSealer::create(fleetKey, nullptr);
    ASSERT_TRUE(sealer);
    Bytes one(kScalarSize, 0x00);
    one.back() = 0x01;
    std::vector<Inputs> cases = {draw.inputs(one), draw.inputs(hexDecode(kHighestScalarHex))};
    for (int i = 0; i < 100; ++i) {
      cases.push_back(draw.inputs());
    }
    for (const Inputs& in : cases) {
      const std::string envelope = sealed(*sealer, in);
      ASSERT_EQ(envelope, built(in, fleetKey))
          << "ssid " << hexEncode(textToBytes(in.ssid)) << ", scalar " << hexEncode(in.scalar);
      // Both ride on the same point arithmetic; EVP's agreement checks it from outside.
      const auto fields = testing::parseEnvelope(envelope);
      ASSERT_TRUE(fields);
      ASSERT_EQ(fields->sealed, referenceSealed(in, fleetKey)) << "scalar " << hexEncode(in.scalar);
    }
  }
}

// Every thread seals its own inputs with the one sealer; each envelope must still be the
// one buildEnvelope writes for them.
TEST(FleetSealer, OneSealerServesManyThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 12;
  const Bytes fleetKey = freshFleetKey();
  const auto sealer = FleetSealer::create(fleetKey, nullptr);
  ASSERT_TRUE(sealer);
  Draw draw(99);
  std::vector<Inputs> inputs;
  std::vector<std::string> expected;
  for (int i = 0; i < kThreads * kPerThread; ++i) {
    inputs.push_back(draw.inputs());
    expected.push_back(built(inputs.back(), fleetKey));
  }
  std::vector<std::string> results(inputs.size());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
        const Inputs& in = inputs[static_cast<std::size_t>(i)];
        std::string envelope;
        if (FleetSealerSteps::seal(*sealer, in.ssid, in.psk, &envelope, nullptr, in.salt, in.nonce,
                                   in.scalar)) {
          results[static_cast<std::size_t>(i)] = envelope;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(results, expected);
}

}  // namespace
}  // namespace zezi
