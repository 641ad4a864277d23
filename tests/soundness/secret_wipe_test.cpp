// Searches every block released during an operation, by OpenSSL or by operator delete, for
// the key material and plaintexts the operation handled: none may be left behind in
// memory given back to the allocator.
#include <gtest/gtest.h>

#include <openssl/bn.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "api/zezi_vidad.h"
#include "base/ossl_owners.h"
#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "opener/fleet_opener.h"
#include "opener/open_envelope.h"
#include "sealer/builder.h"
#include "sealer/fixed_inputs.h"
#include "sealer/fleet_sealer.h"
#include "selftest/checks.h"
#include "selftest/known_answers.h"
#include "soundness/allocation_hooks.h"
#include "support/case_names.h"
#include "support/known_values.h"

namespace zezi {
namespace {

using testing::PrintTo;

using testing::BlockSource;
using testing::ScanMode;

constexpr std::string_view kSsid = testing::KnownValues::kSsid;

std::span<const std::uint8_t> octetsOf(std::string_view text) {
  return {static_cast<const std::uint8_t*>(static_cast<const void*>(text.data())), text.size()};
}

Bytes reversed(const Bytes& octets) {
  return {octets.rbegin(), octets.rend()};
}

// The self-test's values: every operation below runs on them, so one set of secrets
// covers them all. Held in Bytes, so the test's own copies are cleansed too.
struct Secrets : testing::KnownValues {
  // Registers everything secret, the scalars and the shared secret also as BIGNUM limbs
  // hold them (little-endian).
  void registerAll() const {
    const Bytes fleetReversed = reversed(fleetScalar);
    const Bytes ephemeralReversed = reversed(ephemeralScalar);
    const Bytes secretReversed = reversed(sharedSecret);
    testing::registerSecret("fleet private scalar", fleetScalar);
    testing::registerSecret("fleet private scalar, little-endian", fleetReversed);
    testing::registerSecret("ephemeral private scalar", ephemeralScalar);
    testing::registerSecret("ephemeral private scalar, little-endian", ephemeralReversed);
    testing::registerSecret("shared secret", sharedSecret);
    testing::registerSecret("shared secret, little-endian", secretReversed);
    testing::registerSecret("envelope key", envelopeKey);
    // The PSK is the payload's only secret part (the SSID is broadcast anyway); its
    // fragments are searched for, so a payload left behind is found through it.
    testing::registerSecret("PSK text", octetsOf(kTestPsk));
  }
};

const Secrets& secrets() {
  static const Secrets instance;
  return instance;
}

// Residue that OpenSSL 3.0 leaves and this library cannot reach: for a point other than
// the generator, ecp_nistz256_windowed_mul (the P-256 code on x86-64) copies each scalar,
// little-endian, into a buffer of 33 octets per point and releases it with OPENSSL_free,
// not OPENSSL_clear_free. Reported, but not held against the library.
bool isKnownOpensslResidue(const testing::SecretFinding& finding) {
  return finding.source == BlockSource::kOpenssl && finding.allocatedAt != nullptr &&
         std::string_view(finding.allocatedAt).ends_with("crypto/ec/ecp_nistz256.c") &&
         finding.blockSize % 33 == 0 &&
         std::string_view(finding.secretName).ends_with("scalar, little-endian");
}

// Fails the test with every finding of the scan that just ended.
void expectNoFindings(std::string_view operation) {
  for (const testing::SecretFinding& finding : testing::secretFindings()) {
    const std::string where = std::string(testing::blockSourceName(finding.source)) +
                              " (allocated at " +
                              (finding.allocatedAt != nullptr ? finding.allocatedAt : "?") + ":" +
                              std::to_string(finding.allocatedLine) + ", released at " +
                              (finding.releasedAt != nullptr ? finding.releasedAt : "?") + ":" +
                              std::to_string(finding.releasedLine) + ")";
    if (isKnownOpensslResidue(finding)) {
      std::printf("[ OpenSSL residue ] %s: '%s' in a %zu-octet block released by %s\n",
                  std::string(operation).c_str(), finding.secretName, finding.blockSize,
                  where.c_str());
      continue;
    }
    testing::printSecretFinding(finding);
    ADD_FAILURE() << operation << ": '" << finding.secretName << "' was in a " << finding.blockSize
                  << "-octet block released by " << where << "; call stack on standard error";
  }
  EXPECT_EQ(testing::secretFindingCount(), testing::secretFindings().size())
      << "more findings than could be stored";
}

// Runs `operation` while every released block is searched for the registered secrets.
class SecretScan {
 public:
  explicit SecretScan(ScanMode mode = ScanMode::kAtRelease) { testing::startSecretScan(mode); }
  ~SecretScan() { stop(); }
  SecretScan(const SecretScan&) = delete;
  SecretScan& operator=(const SecretScan&) = delete;

  void stop() {
    testing::stopSecretScan();
    testing::clearSecrets();
  }
};

// ---- the operations ----

struct WipedOperation {
  const char* name;
  // Runs the operation once and returns whether it succeeded (a failing operation would
  // prove nothing about its secrets).
  bool (*run)();
  bool releasesThroughOperatorDelete;
};

bool runLoadPrivateKey() {
  // The key is released inside the scan, so the key object's own storage is searched too.
  PkeyPtr key = loadPrivateKey(secrets().fleetScalar);
  const bool loaded = key != nullptr;
  key.reset();
  return loaded;
}

bool runEcdh() {
  return ecdhSharedSecret(secrets().ephemeralScalar, secrets().fleetRawPublicKey) ==
         secrets().sharedSecret;
}

bool runDeriveEnvelopeKey() {
  const Secrets& s = secrets();
  return deriveEnvelopeKey(kEnvelopeDomain, s.sharedSecret, s.salt, s.ephemeralPoint,
                           s.fleetPoint) == s.envelopeKey;
}

bool runSealPayload() {
  const Secrets& s = secrets();
  return sealPayload(s.envelopeKey, s.nonce, s.domain, s.payload) == s.sealed;
}

bool runBuildEnvelope() {
  const Secrets& s = secrets();
  std::string envelope;
  std::string error;
  return buildEnvelope(kSsid, kTestPsk, s.fleetRawPublicKey, &envelope, &error, s.salt, s.nonce,
                       s.ephemeralScalar);
}

bool runOpenPayload() {
  const Secrets& s = secrets();
  Bytes plaintext;
  return openPayload(s.envelopeKey, s.nonce, s.domain, s.sealed, &plaintext) == kOpenOk &&
         plaintext == s.payload;
}

bool runOpenEnvelope() {
  const Secrets& s = secrets();
  std::string envelope;
  if (!buildEnvelope(kSsid, kTestPsk, s.fleetRawPublicKey, &envelope, nullptr, s.salt, s.nonce,
                     s.ephemeralScalar)) {
    return false;
  }
  Network network;
  return openEnvelope(envelope, s.fleetScalar, &network, nullptr) && network.psk == kTestPsk;
}

// The C interface's copies of the scalar and the PSK are its own to wipe; the caller's
// buffers are not searched, since they are never released.
bool runCInterfaceOpen() {
  const Secrets& s = secrets();
  std::array<std::uint8_t, ZEZI_VIDAD_SSID_MAX_SIZE> ssid{};
  std::array<char, ZEZI_VIDAD_PSK_BUFFER_SIZE> psk{};
  std::size_t ssidLength = 0;
  return zezi_vidad_open(s.envelope.data(), s.envelope.size(), s.fleetScalar.data(), ssid.data(),
                         ssid.size(), &ssidLength, psk.data(), psk.size()) == ZEZI_VIDAD_OK &&
         std::string_view(psk.data()) == kTestPsk;
}

// The sealer and the opener are made and released inside the scan, so what they hold for
// their whole life is searched too.
bool runFleetSealer() {
  const Secrets& s = secrets();
  const auto sealer = FleetSealer::create(s.fleetRawPublicKey, nullptr);
  std::string envelope;
  return sealer &&
         FleetSealerSteps::seal(*sealer, kSsid, kTestPsk, &envelope, nullptr, s.salt, s.nonce,
                                s.ephemeralScalar) &&
         envelope == s.envelope;
}

bool runFleetOpener() {
  const Secrets& s = secrets();
  auto opener = FleetOpener::create(s.fleetScalar);
  Network network;
  const bool opened =
      opener && openEnvelope(s.envelope, *opener, &network, nullptr) && network.psk == kTestPsk;
  opener.reset();
  return opened;
}

bool runSelfTestOnce() {
  std::string error;
  return runSelfTest(&error);
}

const WipedOperation kOperations[] = {
    {"LoadPrivateKey", runLoadPrivateKey, true},
    {"EcdhSharedSecret", runEcdh, true},
    {"DeriveEnvelopeKey", runDeriveEnvelopeKey, true},
    {"SealPayload", runSealPayload, false},
    {"BuildEnvelopeSupplied", runBuildEnvelope, true},
    {"OpenPayload", runOpenPayload, true},
    {"OpenEnvelope", runOpenEnvelope, true},
    {"RunSelfTest", runSelfTestOnce, true},
    {"CInterfaceOpen", runCInterfaceOpen, true},
    {"FleetSealerSupplied", runFleetSealer, true},
    {"FleetOpener", runFleetOpener, true},
};

class SecretWipeTest : public ::testing::TestWithParam<WipedOperation> {};

TEST_P(SecretWipeTest, NoReleasedBlockHoldsASecret) {
  const WipedOperation& operation = GetParam();
  // A first run outside the scan lets OpenSSL fill its lazy caches.
  ASSERT_TRUE(operation.run());
  secrets().registerAll();
  SecretScan scan;
  EXPECT_TRUE(operation.run());
  scan.stop();
  expectNoFindings(operation.name);
  EXPECT_GT(testing::scannedBlockCount(BlockSource::kOpenssl), 0U)
      << "no OpenSSL release was searched";
  if (operation.releasesThroughOperatorDelete) {
    EXPECT_GT(testing::scannedBlockCount(BlockSource::kOperatorNew), 0U)
        << "no operator delete was searched";
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, SecretWipeTest, ::testing::ValuesIn(kOperations),
                         testing::caseName);

// The generated scalar is only known once the call returns, so every block released
// during the call is held back and searched afterwards.
TEST(SecretWipe, GenerateEphemeralKeyLeavesNoScalarInReleasedBlocks) {
  Bytes warmScalar;
  Bytes warmRaw;
  ASSERT_TRUE(generateEphemeralKey(&warmScalar, &warmRaw));
  Bytes scalar;
  Bytes raw;
  SecretScan scan(ScanMode::kQuarantine);
  ASSERT_TRUE(generateEphemeralKey(&scalar, &raw));
  const Bytes scalarReversed = reversed(scalar);
  testing::registerSecret("generated scalar", scalar);
  testing::registerSecret("generated scalar, little-endian", scalarReversed);
  scan.stop();
  expectNoFindings("generateEphemeralKey");
  EXPECT_EQ(testing::quarantineOverflowCount(), 0U);
  EXPECT_GT(testing::scannedBlockCount(BlockSource::kOpenssl), 0U);
}

// ---- the scanner itself ----

// Each case releases a copy of a secret in one way and says whether the scan must find
// it: uncleansed releases are found, cleansed ones are not.
struct ReleaseCase {
  const char* name;
  void (*release)(const Bytes& secret);
  bool found;
  BlockSource source;
};

const ReleaseCase kReleaseCases[] = {
    {"PlainVectorThroughOperatorDelete",
     [](const Bytes& secret) {
       const std::vector<std::uint8_t> copy(secret.begin(), secret.end());
     },
     true, BlockSource::kOperatorNew},
    {"BytesAreCleansed",
     [](const Bytes& secret) {
       const Bytes copy = secret;  // NOLINT(performance-unnecessary-copy-initialization)
     },
     false, BlockSource::kOperatorNew},
    {"PartOfTheSecretThroughOperatorDelete",
     [](const Bytes& secret) {
       const std::vector<std::uint8_t> tail(secret.begin() + 9, secret.end());
     },
     true, BlockSource::kOperatorNew},
    {"OpensslFree",
     [](const Bytes& secret) {
       void* copy = OPENSSL_memdup(secret.data(), secret.size());
       OPENSSL_free(copy);
     },
     true, BlockSource::kOpenssl},
    {"OpensslClearFree",
     [](const Bytes& secret) {
       void* copy = OPENSSL_memdup(secret.data(), secret.size());
       OPENSSL_clear_free(copy, secret.size());
     },
     false, BlockSource::kOpenssl},
    {"OpensslReallocMovesTheBlock",
     [](const Bytes& secret) {
       void* copy = OPENSSL_memdup(secret.data(), secret.size());
       void* grown = OPENSSL_realloc(copy, 4096);
       OPENSSL_clear_free(grown, 4096);
     },
     true, BlockSource::kOpenssl},
    {"BignumFreeLeavesLittleEndianLimbs",
     [](const Bytes& secret) {
       BN_free(BN_bin2bn(secret.data(), static_cast<int>(secret.size()), nullptr));
     },
     true, BlockSource::kOpenssl},
    {"BignumClearFree",
     [](const Bytes& secret) {
       const BignumPtr number(BN_bin2bn(secret.data(), static_cast<int>(secret.size()), nullptr));
     },
     false, BlockSource::kOpenssl},
};

class SecretWipeScanner : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(SecretWipeScanner, FindsExactlyTheUncleansedReleases) {
  const ReleaseCase& releaseCase = GetParam();
  const Bytes secret = testing::knownValues().ephemeralScalar;
  const Bytes secretReversed = reversed(secret);
  testing::registerSecret("secret", secret);
  testing::registerSecret("secret, little-endian", secretReversed);
  SecretScan scan;
  releaseCase.release(secret);
  scan.stop();
  if (!releaseCase.found) {
    EXPECT_EQ(testing::secretFindingCount(), 0U);
    return;
  }
  ASSERT_EQ(testing::secretFindingCount(), 1U);
  const testing::SecretFinding& finding = testing::secretFindings().front();
  EXPECT_EQ(finding.source, releaseCase.source);
  EXPECT_GT(finding.frameCount, 0);
}

INSTANTIATE_TEST_SUITE_P(Releases, SecretWipeScanner, ::testing::ValuesIn(kReleaseCases),
                         testing::caseName);

// A block is searched for what was written during its own lifetime: a secret left by an
// earlier block at the same address is not blamed on the next one.
TEST(SecretWipeScanner, BlamesNoBlockForItsPredecessorsContents) {
  const Bytes secret = testing::knownValues().ephemeralScalar;
  testing::registerSecret("secret", secret);
  SecretScan scan;
  for (int i = 0; i < 8; ++i) {
    { const std::vector<std::uint8_t> copy(secret.begin(), secret.end()); }
    OPENSSL_free(OPENSSL_malloc(secret.size()));
    const auto reused = std::make_unique_for_overwrite<std::uint8_t[]>(secret.size());
  }
  scan.stop();
  EXPECT_EQ(testing::secretFindingCount(), 8U);
  for (const testing::SecretFinding& finding : testing::secretFindings()) {
    EXPECT_EQ(finding.source, BlockSource::kOperatorNew);
  }
}

TEST(SecretWipeScanner, QuarantineFindsASecretRegisteredAfterItsRelease) {
  const Bytes secret = testing::knownValues().ephemeralScalar;
  SecretScan scan(ScanMode::kQuarantine);
  { const std::vector<std::uint8_t> copy(secret.begin(), secret.end()); }
  testing::registerSecret("secret", secret);
  scan.stop();
  EXPECT_EQ(testing::secretFindingCount(), 1U);
  EXPECT_EQ(testing::quarantineOverflowCount(), 0U);
}

}  // namespace
}  // namespace zezi
