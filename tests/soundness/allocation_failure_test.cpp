// Fails each allocation of an operation in turn, OpenSSL's and operator new's alike, and
// checks that every such run ends in the operation's documented failure or in
// std::bad_alloc, with outputs untouched, and that any success is still the right answer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

#include "api/zezi_vidad.h"
#include "crypto/aead.h"
#include "crypto/ecdh.h"
#include "crypto/kdf.h"
#include "crypto/key_reference.h"
#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "opener/fleet_opener.h"
#include "opener/open_envelope.h"
#include "opener/open_failure.h"
#include "opener/open_signed_envelope.h"
#include "opener/signature_failure.h"
#include "sealer/builder.h"
#include "sealer/fixed_inputs.h"
#include "sealer/fleet_sealer.h"
#include "sealer/signature_file.h"
#include "selftest/checks.h"
#include "selftest/known_answers.h"
#include "soundness/allocation_hooks.h"
#include "support/case_names.h"
#include "support/envelope_fields.h"
#include "support/known_values.h"

namespace zezi {
namespace {

using testing::PrintTo;

using testing::ArmedAllocationFailure;
using testing::FailureMode;

// Which allocation of a run fails, and whether the later ones fail too.
struct Injection {
  std::size_t failAt;
  FailureMode mode;
};

// How one run under an armed failure ended.
enum class Outcome { kSucceeded, kFailed, kBadAlloc };

constexpr std::string_view kSsid = testing::KnownValues::kSsid;
// Far above any operation's allocation count; reaching it means the sweep cannot end.
constexpr std::size_t kMaxInjectionPoints = 200'000;

// Every input, and the answer of every deterministic operation, computed once without
// any injected failure.
struct Fixture : testing::KnownValues {
  Bytes offCurveRawPublicKey;
  Bytes tamperedSealed;
  // Made once, outside every sweep, for the sweeps of their per-envelope calls.
  std::unique_ptr<FleetSealer> sealer = FleetSealer::create(fleetRawPublicKey, nullptr);
  std::unique_ptr<FleetOpener> opener = FleetOpener::create(fleetScalar);
  Bytes signerScalar =
      hexDecode("bba93954db7d454e1c61496264a968118cd1abcec0176808ab24afd057ae654e");
  SignatureTerms terms{7, 1'700'000'000, 1'900'000'000};
  TrustList trustList;
  std::string signatureFile;
  ReplayState acceptedState;  // after signatureFile is accepted on a fresh device
  ReplayState openedState;    // and once the envelope has opened, which records its SSID
  // The same key and trust list through the C interface.
  Bytes signerRawPublicKey;
  std::unique_ptr<zezi_vidad_opener, void (*)(zezi_vidad_opener*)> cOpener{nullptr,
                                                                           zezi_vidad_opener_free};
  std::unique_ptr<zezi_vidad_trust_list, void (*)(zezi_vidad_trust_list*)> cTrustList{
      nullptr, zezi_vidad_trust_list_free};

  Fixture() {
    offCurveRawPublicKey = fleetRawPublicKey;
    offCurveRawPublicKey.back() ^= 0x01;
    tamperedSealed = sealed;
    tamperedSealed.back() ^= 0x80;
    TrustSettings settings;
    signerRawPublicKey = encodedPublicKey(loadPrivateKey(signerScalar).get());
    settings.signerKeys = {signerRawPublicKey};
    settings.fleetKey = fleetRawPublicKey;
    settings.version = 1;
    zezi_vidad_opener* opened = nullptr;
    zezi_vidad_trust_list* listed = nullptr;
    if (zezi_vidad_opener_new(fleetScalar.data(), &opened) != ZEZI_VIDAD_OK ||
        zezi_vidad_trust_list_new(signerRawPublicKey.data(), 1, fleetRawPublicKey.data(), 1, 0, 0,
                                  &listed) != ZEZI_VIDAD_OK) {
      return;
    }
    cOpener.reset(opened);
    cTrustList.reset(listed);
    if (!loadTrustList(settings, &trustList, nullptr) ||
        !makeSignatureFile(signerScalar, fleetRawPublicKey, envelope, terms, &signatureFile,
                           nullptr)) {
      return;
    }
    const ReplayState fresh;
    SignatureInput input;
    input.envelope = envelope;
    input.signatureFile = signatureFile;
    input.state = &fresh;
    VerifiedSignature verified;
    if (!verifySignature(input, trustList, &verified, &acceptedState, nullptr)) {
      signatureFile.clear();
    }
    openedState = acceptedState;
    for (SetMember& member : openedState.set) {
      member.ssid = std::string(kSsid);
    }
  }

  [[nodiscard]] bool valid() const {
    return fleetRawPublicKey.size() == kRawPublicKeySize && ephemeralPoint.size() == kPointSize &&
           !loadPublicKey(offCurveRawPublicKey) && sealed.size() == payload.size() + kTagSize &&
           !envelope.empty() && !signatureFile.empty() && sealer && opener && cOpener && cTrustList;
  }
};

const Fixture& fixture() {
  static const Fixture instance;
  return instance;
}

// ---- buildEnvelope ----

const std::set<std::string, std::less<>> kDrawnBuildMessages = {
    "ephemeral key generation failed", "salt generation failed",
    "nonce generation failed",         "ECDH failed",
    "key derivation failed",           "sealing failed"};
const std::set<std::string, std::less<>> kSuppliedBuildMessages = {
    "invalid ephemeral scalar", "could not derive ephemeral public key", "ECDH failed",
    "key derivation failed", "sealing failed"};
// An off-curve fleet key is refused at the agreement, after the ephemeral key is loaded.
const std::set<std::string, std::less<>> kOffCurveFleetBuildMessages = {
    "invalid ephemeral scalar", "could not derive ephemeral public key", "ECDH failed"};

constexpr std::string_view kEnvelopeSentinel = "envelope before the call";
constexpr std::string_view kErrorSentinel = "error before the call";

// The payload that the fleet key's holder recovers from `envelope`, or nothing.
std::optional<Bytes> openWithFleetKey(const std::string& envelope) {
  const Fixture& f = fixture();
  const auto fields = testing::parseEnvelope(envelope);
  if (!fields || fields->format != kEnvelopeDomain || fields->ephemeralPoint.size() != kPointSize ||
      fields->nonce.size() != kNonceSize || fields->salt.size() != kDrawnSaltSize) {
    return std::nullopt;
  }
  const Bytes ephemeralRaw(fields->ephemeralPoint.begin() + 1, fields->ephemeralPoint.end());
  const Bytes secret = ecdhSharedSecret(f.fleetScalar, ephemeralRaw);
  const Bytes key = deriveEnvelopeKey(kEnvelopeDomain, secret, fields->salt, fields->ephemeralPoint,
                                      f.fleetPoint);
  Bytes plaintext;
  if (openPayload(key, fields->nonce, f.domain, fields->sealed, &plaintext) != kOpenOk) {
    return std::nullopt;
  }
  return plaintext;
}

enum class BuildKind { kDrawn, kSupplied, kOffCurveFleet };
// buildEnvelope, or the seal call of the fixture's FleetSealer (not for kOffCurveFleet: the
// sealer refuses that key when it is made).
enum class SealPath { kBuildEnvelope, kFleetSealer };

Outcome attemptBuild(BuildKind kind, Injection injection,
                     SealPath path = SealPath::kBuildEnvelope) {
  const Fixture& f = fixture();
  const Bytes noValue;
  const Bytes& salt = kind == BuildKind::kDrawn ? noValue : f.salt;
  const Bytes& nonce = kind == BuildKind::kDrawn ? noValue : f.nonce;
  const Bytes& scalar = kind == BuildKind::kDrawn ? noValue : f.ephemeralScalar;
  const Bytes& fleetKey =
      kind == BuildKind::kOffCurveFleet ? f.offCurveRawPublicKey : f.fleetRawPublicKey;
  // Both paths take the same steps, so they may fail with the same messages alone.
  const auto& allowed = kind == BuildKind::kDrawn      ? kDrawnBuildMessages
                        : kind == BuildKind::kSupplied ? kSuppliedBuildMessages
                                                       : kOffCurveFleetBuildMessages;
  std::string envelope(kEnvelopeSentinel);
  std::string error(kErrorSentinel);
  bool built = false;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    built = path == SealPath::kBuildEnvelope
                ? buildEnvelope(kSsid, kTestPsk, fleetKey, &envelope, &error, salt, nonce, scalar)
                : FleetSealerSteps::seal(*f.sealer, kSsid, kTestPsk, &envelope, &error, salt, nonce,
                                         scalar);
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(envelope, kEnvelopeSentinel) << "bad_alloc left a partial envelope";
    EXPECT_TRUE(error == kErrorSentinel || allowed.contains(error)) << error;
    return Outcome::kBadAlloc;
  }
  if (!built) {
    EXPECT_EQ(envelope, kEnvelopeSentinel) << "a failed build wrote the envelope";
    EXPECT_TRUE(allowed.contains(error)) << "unexpected failure message: " << error;
    return Outcome::kFailed;
  }
  EXPECT_EQ(error, kErrorSentinel) << "a successful build wrote the error";
  switch (kind) {
    case BuildKind::kDrawn:
      EXPECT_EQ(openWithFleetKey(envelope), std::optional<Bytes>(f.payload))
          << "an envelope built with drawn values does not open to the payload:\n"
          << envelope;
      break;
    case BuildKind::kSupplied:
      EXPECT_EQ(envelope, f.envelope) << "a wrong envelope reported as success";
      break;
    case BuildKind::kOffCurveFleet:
      ADD_FAILURE() << "an envelope was built for an off-curve fleet key:\n" << envelope;
      break;
  }
  return Outcome::kSucceeded;
}

// ---- making a FleetSealer or a FleetOpener ----

// A sealer made under an armed failure is either null or one that seals rightly.
Outcome attemptCreateSealer(Injection injection, bool offCurve) {
  const Fixture& f = fixture();
  std::string error(kErrorSentinel);
  std::unique_ptr<FleetSealer> sealer;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    sealer = FleetSealer::create(offCurve ? f.offCurveRawPublicKey : f.fleetRawPublicKey, &error);
  } catch (const std::bad_alloc&) {
    return Outcome::kBadAlloc;
  }
  if (!sealer) {
    EXPECT_EQ(error, "fleet public key is not a P-256 point");
    return Outcome::kFailed;
  }
  if (offCurve) {
    ADD_FAILURE() << "a sealer was made for an off-curve fleet key";
    return Outcome::kSucceeded;
  }
  std::string envelope;
  EXPECT_TRUE(FleetSealerSteps::seal(*sealer, kSsid, kTestPsk, &envelope, nullptr, f.salt, f.nonce,
                                     f.ephemeralScalar) &&
              envelope == f.envelope)
      << "a sealer made under a failure seals wrongly";
  return Outcome::kSucceeded;
}

Outcome attemptCreateOpener(Injection injection) {
  const Fixture& f = fixture();
  std::unique_ptr<FleetOpener> opener;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    opener = FleetOpener::create(f.fleetScalar);
  } catch (const std::bad_alloc&) {
    return Outcome::kBadAlloc;
  }
  if (!opener) {
    return Outcome::kFailed;
  }
  Network network;
  EXPECT_TRUE(openEnvelope(f.envelope, *opener, &network, nullptr) && network.ssid == kSsid)
      << "an opener made under a failure opens wrongly";
  return Outcome::kSucceeded;
}

// ---- key operations ----

Outcome attemptGenerateEphemeralKey(Injection injection) {
  const Bytes scalarSentinel(3, 0x5a);
  const Bytes rawSentinel(5, 0xa5);
  Bytes scalar = scalarSentinel;
  Bytes raw = rawSentinel;
  bool generated = false;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    generated = generateEphemeralKey(&scalar, &raw);
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(scalar, scalarSentinel);
    EXPECT_EQ(raw, rawSentinel);
    return Outcome::kBadAlloc;
  }
  if (!generated) {
    EXPECT_EQ(scalar, scalarSentinel) << "a failed generation wrote the scalar";
    EXPECT_EQ(raw, rawSentinel) << "a failed generation wrote the public key";
    return Outcome::kFailed;
  }
  EXPECT_EQ(scalar.size(), kScalarSize);
  EXPECT_EQ(rawToPoint(raw), derivePublicPoint(scalar))
      << "the generated public key is not scalar * G";
  EXPECT_NE(scalar, Bytes(kScalarSize, 0));
  return Outcome::kSucceeded;
}

// Shared by the operations that return Bytes, empty on failure.
template <typename Operation>
Outcome attemptBytes(Injection injection, const std::optional<Bytes>& expected,
                     Operation operation) {
  Bytes result;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    result = operation();
  } catch (const std::bad_alloc&) {
    return Outcome::kBadAlloc;
  }
  if (result.empty()) {
    return Outcome::kFailed;
  }
  if (!expected) {
    ADD_FAILURE() << "an input that must be refused gave " << result.size() << " octets";
  } else {
    EXPECT_EQ(hexEncode(result), hexEncode(*expected)) << "a wrong value reported as success";
  }
  return Outcome::kSucceeded;
}

Outcome attemptEcdh(Injection injection) {
  const Fixture& f = fixture();
  return attemptBytes(injection, f.sharedSecret,
                      [&f] { return ecdhSharedSecret(f.ephemeralScalar, f.fleetRawPublicKey); });
}

Outcome attemptEcdhOffCurve(Injection injection) {
  const Fixture& f = fixture();
  return attemptBytes(injection, std::nullopt,
                      [&f] { return ecdhSharedSecret(f.ephemeralScalar, f.offCurveRawPublicKey); });
}

Outcome attemptDeriveKey(Injection injection) {
  const Fixture& f = fixture();
  return attemptBytes(injection, f.envelopeKey, [&f] {
    return deriveEnvelopeKey(kEnvelopeDomain, f.sharedSecret, f.salt, f.ephemeralPoint,
                             f.fleetPoint);
  });
}

Outcome attemptSeal(Injection injection) {
  const Fixture& f = fixture();
  return attemptBytes(injection, f.sealed,
                      [&f] { return sealPayload(f.envelopeKey, f.nonce, f.domain, f.payload); });
}

// ---- openPayload ----

Outcome attemptOpen(Injection injection, bool tampered) {
  const Fixture& f = fixture();
  const Bytes sentinel(7, 0x3c);
  Bytes plaintext = sentinel;
  OpenStatus status = kOpenOk;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    status = openPayload(f.envelopeKey, f.nonce, f.domain, tampered ? f.tamperedSealed : f.sealed,
                         &plaintext);
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(plaintext, sentinel) << "bad_alloc left octets in the output";
    return Outcome::kBadAlloc;
  }
  if (status != kOpenOk) {
    EXPECT_TRUE(status == kOpenInternalError || status == kOpenAuthenticationFailed)
        << "status " << status << " (" << openStatusText(status) << ") for well-formed lengths";
    EXPECT_EQ(plaintext, sentinel) << "a failed open wrote the output";
    return Outcome::kFailed;
  }
  if (tampered) {
    ADD_FAILURE() << "a tampered payload was opened";
  } else {
    EXPECT_EQ(plaintext, f.payload) << "a wrong plaintext reported as success";
  }
  return Outcome::kSucceeded;
}

// ---- openEnvelope ----

// openEnvelope, or with `viaOpener` its form taking the fixture's FleetOpener.
Outcome attemptOpenEnvelope(Injection injection, bool tampered, bool viaOpener = false) {
  const Fixture& f = fixture();
  std::string envelope = f.envelope;
  if (tampered) {
    // One Base64 character of "sealed" changed: a different ciphertext of the same length.
    const std::size_t at = envelope.find("\"sealed\": \"") + 12;
    envelope[at] = envelope[at] == 'A' ? 'B' : 'A';
  }
  Network network{"ssid before the call", SecretText(64, 'f')};
  const Network before = network;
  std::string error(kErrorSentinel);
  bool opened = false;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    opened = viaOpener ? openEnvelope(envelope, *f.opener, &network, &error)
                       : openEnvelope(envelope, f.fleetScalar, &network, &error);
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(network.ssid, before.ssid) << "bad_alloc left a partial network";
    EXPECT_EQ(network.psk, before.psk) << "bad_alloc left a partial network";
    return Outcome::kBadAlloc;
  }
  if (!opened) {
    EXPECT_EQ(network.ssid, before.ssid) << "a failed open wrote the network";
    EXPECT_EQ(network.psk, before.psk) << "a failed open wrote the network";
    EXPECT_TRUE(isOpenFailureText(error)) << "unexpected failure message: " << error;
    return Outcome::kFailed;
  }
  if (tampered) {
    ADD_FAILURE() << "a tampered envelope was opened";
  } else {
    EXPECT_EQ(network.ssid, kSsid) << "a wrong network reported as success";
    EXPECT_EQ(network.psk, kTestPsk) << "a wrong network reported as success";
  }
  return Outcome::kSucceeded;
}

// ---- signatures ----

const std::set<std::string, std::less<>> kSignMessages = {"signing failed",
                                                          "fleet public key is not a P-256 point"};

// The signature file's check on a fresh device, with an injected failure; `tampered` uses a
// file for another serial under the same signature.
std::optional<ReplayState> verifyFixtureFile(const std::string& file, std::string* error) {
  const Fixture& f = fixture();
  const ReplayState fresh;
  SignatureInput input;
  input.envelope = f.envelope;
  input.signatureFile = file;
  input.state = &fresh;
  VerifiedSignature verified;
  ReplayState next;
  if (!verifySignature(input, f.trustList, &verified, &next, error)) {
    return std::nullopt;
  }
  return next;
}

Outcome attemptSign(Injection injection) {
  const Fixture& f = fixture();
  std::string file(kEnvelopeSentinel);
  std::string error(kErrorSentinel);
  bool made = false;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    made =
        makeSignatureFile(f.signerScalar, f.fleetRawPublicKey, f.envelope, f.terms, &file, &error);
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(file, kEnvelopeSentinel) << "bad_alloc left a partial signature file";
    return Outcome::kBadAlloc;
  }
  if (!made) {
    EXPECT_EQ(file, kEnvelopeSentinel) << "a failed signing wrote the file";
    EXPECT_TRUE(kSignMessages.contains(error)) << "unexpected failure message: " << error;
    return Outcome::kFailed;
  }
  EXPECT_EQ(error, kErrorSentinel);
  std::string why;
  EXPECT_EQ(verifyFixtureFile(file, &why), std::optional<ReplayState>(f.acceptedState))
      << "a signature file reported as made does not verify: " << why << "\n"
      << file;
  return Outcome::kSucceeded;
}

Outcome attemptVerify(Injection injection, bool tampered) {
  const Fixture& f = fixture();
  std::string file = f.signatureFile;
  if (tampered) {
    // One Base64 character of the statement's serial changed: the signature no longer holds.
    const std::size_t at = file.find("\"statement\": \"") + 14 + 130;
    file[at] = file[at] == 'A' ? 'B' : 'A';
  }
  std::string error(kErrorSentinel);
  std::optional<ReplayState> next;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    next = verifyFixtureFile(file, &error);
  } catch (const std::bad_alloc&) {
    return Outcome::kBadAlloc;
  }
  if (!next) {
    EXPECT_TRUE(isOpenSignedEnvelopeText(error)) << "unexpected failure message: " << error;
    return Outcome::kFailed;
  }
  if (tampered) {
    ADD_FAILURE() << "a tampered signature file was accepted";
  } else {
    EXPECT_EQ(*next, f.acceptedState) << "a wrong state reported as success";
  }
  return Outcome::kSucceeded;
}

Outcome attemptOpenSigned(Injection injection) {
  const Fixture& f = fixture();
  const ReplayState fresh;
  SignatureInput input;
  input.envelope = f.envelope;
  input.signatureFile = f.signatureFile;
  input.state = &fresh;
  Network network{"ssid before the call", SecretText(64, 'f')};
  const Network before = network;
  VerifiedSignature verified;
  ReplayState next;
  std::string error(kErrorSentinel);
  bool opened = false;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    opened =
        openSignedEnvelope(input, f.trustList, f.fleetScalar, &network, &verified, &next, &error);
  } catch (const std::bad_alloc&) {
    EXPECT_EQ(network.ssid, before.ssid) << "bad_alloc left a partial network";
    return Outcome::kBadAlloc;
  }
  if (!opened) {
    EXPECT_EQ(network.ssid, before.ssid) << "a failed open wrote the network";
    EXPECT_TRUE(isOpenSignedEnvelopeText(error)) << "unexpected failure message: " << error;
    return Outcome::kFailed;
  }
  EXPECT_EQ(network.ssid, kSsid) << "a wrong network reported as success";
  EXPECT_EQ(next, f.openedState) << "a wrong state reported as success";
  return Outcome::kSucceeded;
}

// ---- the C interface: no exception may cross it ----

Outcome attemptCOpen(Injection injection) {
  const Fixture& f = fixture();
  std::array<std::uint8_t, ZEZI_VIDAD_SSID_MAX_SIZE> ssid{};
  std::array<char, ZEZI_VIDAD_PSK_BUFFER_SIZE> psk{};
  std::size_t ssidLength = 0;
  zezi_vidad_status status = ZEZI_VIDAD_OK;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    status = zezi_vidad_open(f.envelope.data(), f.envelope.size(), f.fleetScalar.data(),
                             ssid.data(), ssid.size(), &ssidLength, psk.data(), psk.size());
  } catch (...) {
    ADD_FAILURE() << "an exception crossed the C interface";
    return Outcome::kBadAlloc;
  }
  if (status != ZEZI_VIDAD_OK) {
    EXPECT_EQ(ssidLength, 0U) << "a failed open wrote the SSID length";
    EXPECT_EQ(psk[0], '\0') << "a failed open wrote the PSK";
    return Outcome::kFailed;
  }
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(ssid.data()), ssidLength), kSsid);
  EXPECT_EQ(std::string_view(psk.data()), kTestPsk);
  return Outcome::kSucceeded;
}

Outcome attemptCSeal(Injection injection) {
  const Fixture& f = fixture();
  std::array<char, ZEZI_VIDAD_ENVELOPE_BUFFER_SIZE> envelope{};
  std::size_t length = 0;
  zezi_vidad_status status = ZEZI_VIDAD_OK;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    status = zezi_vidad_seal(
        f.fleetRawPublicKey.data(), reinterpret_cast<const std::uint8_t*>(kSsid.data()),
        kSsid.size(), kTestPsk.data(), kTestPsk.size(), envelope.data(), envelope.size(), &length);
  } catch (...) {
    ADD_FAILURE() << "an exception crossed the C interface";
    return Outcome::kBadAlloc;
  }
  if (status != ZEZI_VIDAD_OK) {
    EXPECT_TRUE(status == ZEZI_VIDAD_E_NO_MEMORY || status == ZEZI_VIDAD_E_INTERNAL ||
                status == ZEZI_VIDAD_E_PUBLIC_KEY)
        << zezi_vidad_strerror(status);
    EXPECT_EQ(envelope[0], '\0') << "a failed seal wrote the envelope";
    return Outcome::kFailed;
  }
  Network network;
  EXPECT_TRUE(
      openEnvelope(std::string_view(envelope.data(), length), f.fleetScalar, &network, nullptr) &&
      network.ssid == kSsid)
      << "a sealed envelope that does not open to its network";
  return Outcome::kSucceeded;
}

// The fixture's signed envelope opened through the C interface on a fresh device; the
// outputs to `*out` when it is not null.
struct SignedOutputs {
  std::array<std::uint8_t, ZEZI_VIDAD_REPLAY_RECORD_SIZE> record{};
  std::size_t recordLength = 0;
  std::array<std::uint8_t, ZEZI_VIDAD_SSID_MAX_SIZE> ssid{};
  std::size_t ssidLength = 0;
  std::array<char, ZEZI_VIDAD_PSK_BUFFER_SIZE> psk{};
};

zezi_vidad_status openSignedWith(const zezi_vidad_opener* opener,
                                 const zezi_vidad_trust_list* trustList, SignedOutputs* out) {
  const Fixture& f = fixture();
  return zezi_vidad_open_signed(
      opener, trustList, f.envelope.data(), f.envelope.size(), f.signatureFile.data(),
      f.signatureFile.size(), ZEZI_VIDAD_SIGNATURE_REQUIRED, nullptr, nullptr, 0,
      out->record.data(), &out->recordLength, out->ssid.data(), out->ssid.size(), &out->ssidLength,
      out->psk.data(), out->psk.size());
}

Outcome attemptCOpenSigned(Injection injection) {
  const Fixture& f = fixture();
  SignedOutputs out;
  zezi_vidad_status status = ZEZI_VIDAD_OK;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    status = openSignedWith(f.cOpener.get(), f.cTrustList.get(), &out);
  } catch (...) {
    ADD_FAILURE() << "an exception crossed the C interface";
    return Outcome::kBadAlloc;
  }
  if (status != ZEZI_VIDAD_OK) {
    // The opener's point decoding cannot tell a failed allocation from a point off the
    // curve, as with the C++ FleetOpener.
    EXPECT_TRUE(status == ZEZI_VIDAD_E_NO_MEMORY || status == ZEZI_VIDAD_E_INTERNAL ||
                status == ZEZI_VIDAD_E_SIGNATURE_UNCHECKED || status == ZEZI_VIDAD_E_ENVELOPE_VALUE)
        << zezi_vidad_strerror(status);
    EXPECT_EQ(out.recordLength, 0U) << "a failed open wrote the record";
    EXPECT_EQ(out.ssidLength, 0U) << "a failed open wrote the SSID length";
    EXPECT_EQ(out.psk[0], '\0') << "a failed open wrote the PSK";
    return Outcome::kFailed;
  }
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(out.ssid.data()), out.ssidLength),
            kSsid);
  EXPECT_EQ(std::string_view(out.psk.data()), kTestPsk);
  EXPECT_EQ(hexEncode(Bytes(out.record.begin(), out.record.begin() + out.recordLength)),
            hexEncode(encodeReplayState(f.openedState)))
      << "a wrong record reported as success";
  return Outcome::kSucceeded;
}

// An opener made under an armed failure is either none or one that opens rightly.
Outcome attemptCOpenerNew(Injection injection) {
  const Fixture& f = fixture();
  zezi_vidad_opener* made = nullptr;
  zezi_vidad_status status = ZEZI_VIDAD_OK;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    status = zezi_vidad_opener_new(f.fleetScalar.data(), &made);
  } catch (...) {
    ADD_FAILURE() << "an exception crossed the C interface";
    return Outcome::kBadAlloc;
  }
  const std::unique_ptr<zezi_vidad_opener, void (*)(zezi_vidad_opener*)> opener(
      made, zezi_vidad_opener_free);
  if (status != ZEZI_VIDAD_OK) {
    EXPECT_TRUE(status == ZEZI_VIDAD_E_NO_MEMORY || status == ZEZI_VIDAD_E_INTERNAL)
        << zezi_vidad_strerror(status);
    EXPECT_EQ(made, nullptr) << "a failed call wrote the opener";
    return Outcome::kFailed;
  }
  SignedOutputs out;
  EXPECT_EQ(openSignedWith(opener.get(), f.cTrustList.get(), &out), ZEZI_VIDAD_OK)
      << "an opener made under a failure opens wrongly";
  return Outcome::kSucceeded;
}

// An opener from a key reference whose provider is not installed: refused, never made,
// whichever allocation fails. Needs no TPM.
[[maybe_unused]] Outcome attemptCOpenerFromReference(Injection injection) {
  constexpr const char* kNoSuchProvider = "zezi-no-such-provider";
  zezi_vidad_opener* made = nullptr;
  zezi_vidad_status status = ZEZI_VIDAD_OK;
  EXPECT_EQ(setenv(kKeyProviderVariable, kNoSuchProvider, /*overwrite=*/1), 0);
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    status = zezi_vidad_opener_new_from_reference("handle:0x81000001", &made);
  } catch (...) {
    ADD_FAILURE() << "an exception crossed the C interface";
    return Outcome::kBadAlloc;
  }
  EXPECT_EQ(unsetenv(kKeyProviderVariable), 0);
  zezi_vidad_opener_free(made);
  EXPECT_EQ(made, nullptr) << "an opener made without its provider";
  // OpenSSL does not always say that memory ran out while it started a provider: one that
  // did not start, with no module missing, reads as no TPM answering it.
  EXPECT_TRUE(status == ZEZI_VIDAD_E_NO_MEMORY || status == ZEZI_VIDAD_E_KEY_PROVIDER ||
              status == ZEZI_VIDAD_E_TPM_UNREACHABLE)
      << zezi_vidad_strerror(status);
  return status == ZEZI_VIDAD_OK ? Outcome::kSucceeded : Outcome::kFailed;
}

// A trust list made under an armed failure is either none or one that takes the fixture's
// signature.
Outcome attemptCTrustListNew(Injection injection) {
  const Fixture& f = fixture();
  zezi_vidad_trust_list* made = nullptr;
  zezi_vidad_status status = ZEZI_VIDAD_OK;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    status = zezi_vidad_trust_list_new(f.signerRawPublicKey.data(), 1, f.fleetRawPublicKey.data(),
                                       1, 0, 0, &made);
  } catch (...) {
    ADD_FAILURE() << "an exception crossed the C interface";
    return Outcome::kBadAlloc;
  }
  const std::unique_ptr<zezi_vidad_trust_list, void (*)(zezi_vidad_trust_list*)> list(
      made, zezi_vidad_trust_list_free);
  if (status != ZEZI_VIDAD_OK) {
    // A key OpenSSL could not load is refused as the list's.
    EXPECT_TRUE(status == ZEZI_VIDAD_E_NO_MEMORY || status == ZEZI_VIDAD_E_TRUST_LIST)
        << zezi_vidad_strerror(status);
    EXPECT_EQ(made, nullptr) << "a failed call wrote the trust list";
    return Outcome::kFailed;
  }
  SignedOutputs out;
  EXPECT_EQ(openSignedWith(f.cOpener.get(), list.get(), &out), ZEZI_VIDAD_OK)
      << "a trust list made under a failure refuses the fixture's signature";
  EXPECT_EQ(hexEncode(Bytes(out.record.begin(), out.record.begin() + out.recordLength)),
            hexEncode(encodeReplayState(f.openedState)))
      << "a trust list made under a failure has another digest";
  return Outcome::kSucceeded;
}

// The accepted state's record decoded into its fields and encoded back.
Outcome attemptCReplayRecord(Injection injection) {
  const Fixture& f = fixture();
  const Bytes record = encodeReplayState(f.openedState);
  zezi_vidad_replay_state fields{};
  std::array<std::uint8_t, ZEZI_VIDAD_REPLAY_RECORD_SIZE> again{};
  std::size_t length = 0;
  zezi_vidad_status decoded = ZEZI_VIDAD_OK;
  zezi_vidad_status encoded = ZEZI_VIDAD_OK;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    decoded = zezi_vidad_replay_record_decode(record.data(), record.size(), &fields);
    if (decoded == ZEZI_VIDAD_OK) {
      encoded = zezi_vidad_replay_record_encode(&fields, again.data(), &length);
    }
  } catch (...) {
    ADD_FAILURE() << "an exception crossed the C interface";
    return Outcome::kBadAlloc;
  }
  if (decoded != ZEZI_VIDAD_OK || encoded != ZEZI_VIDAD_OK) {
    // A checksum that could not be computed does not hold.
    EXPECT_TRUE(decoded == ZEZI_VIDAD_OK || decoded == ZEZI_VIDAD_E_NO_MEMORY ||
                decoded == ZEZI_VIDAD_E_REPLAY_STATE)
        << zezi_vidad_strerror(decoded);
    EXPECT_TRUE(encoded == ZEZI_VIDAD_OK || encoded == ZEZI_VIDAD_E_NO_MEMORY ||
                encoded == ZEZI_VIDAD_E_INTERNAL)
        << zezi_vidad_strerror(encoded);
    EXPECT_EQ(length, 0U) << "a failed encoding wrote the length";
    return Outcome::kFailed;
  }
  EXPECT_EQ(hexEncode(Bytes(again.begin(), again.begin() + length)), hexEncode(record))
      << "a record that does not encode back to itself";
  return Outcome::kSucceeded;
}

// ---- runSelfTest ----

Outcome attemptSelfTest(Injection injection) {
  std::string error(kErrorSentinel);
  bool passed = false;
  try {
    const ArmedAllocationFailure armed(injection.failAt, injection.mode);
    passed = runSelfTest(&error);
  } catch (const std::bad_alloc&) {
    return Outcome::kBadAlloc;
  }
  if (!passed) {
    EXPECT_FALSE(error.empty() || error == kErrorSentinel) << "a failed self-test gave no message";
    return Outcome::kFailed;
  }
  EXPECT_EQ(error, kErrorSentinel) << "a passing self-test wrote the error";
  return Outcome::kSucceeded;
}

// ---- the sweep ----

struct InjectedOperation {
  const char* name;
  Outcome (*attempt)(Injection injection);
  bool mustSucceedWithoutFailure;  // false for inputs the operation must refuse anyway
};

const InjectedOperation kOperations[] = {
    {"BuildEnvelopeDrawn", [](Injection k) { return attemptBuild(BuildKind::kDrawn, k); }, true},
    {"BuildEnvelopeSupplied", [](Injection k) { return attemptBuild(BuildKind::kSupplied, k); },
     true},
    {"BuildEnvelopeOffCurveFleetRefused",
     [](Injection k) { return attemptBuild(BuildKind::kOffCurveFleet, k); }, false},
    {"GenerateEphemeralKey", attemptGenerateEphemeralKey, true},
    {"EcdhSharedSecret", attemptEcdh, true},
    {"EcdhPeerOffCurveRefused", attemptEcdhOffCurve, false},
    {"DeriveEnvelopeKey", attemptDeriveKey, true},
    {"SealPayload", attemptSeal, true},
    {"OpenPayload", [](Injection k) { return attemptOpen(k, /*tampered=*/false); }, true},
    {"OpenPayloadTamperedTagRefused", [](Injection k) { return attemptOpen(k, /*tampered=*/true); },
     false},
    {"OpenEnvelope", [](Injection k) { return attemptOpenEnvelope(k, /*tampered=*/false); }, true},
    {"OpenEnvelopeTamperedRefused",
     [](Injection k) { return attemptOpenEnvelope(k, /*tampered=*/true); }, false},
    {"MakeSignatureFile", attemptSign, true},
    {"VerifySignature", [](Injection k) { return attemptVerify(k, /*tampered=*/false); }, true},
    {"VerifySignatureTamperedRefused",
     [](Injection k) { return attemptVerify(k, /*tampered=*/true); }, false},
    {"OpenSignedEnvelope", attemptOpenSigned, true},
    {"RunSelfTest", attemptSelfTest, true},
    {"CInterfaceOpen", attemptCOpen, true},
    {"CInterfaceSeal", attemptCSeal, true},
    {"CInterfaceOpenSigned", attemptCOpenSigned, true},
    {"CInterfaceOpenerNew", attemptCOpenerNew, true},
#ifndef __SANITIZE_ADDRESS__
    // OpenSSL keeps what it had made of a provider when an allocation fails while starting
    // it, which LeakSanitizer would count as ours; the plain build runs this row.
    {"CInterfaceOpenerFromReferenceRefused", attemptCOpenerFromReference, false},
#endif
    {"CInterfaceTrustListNew", attemptCTrustListNew, true},
    {"CInterfaceReplayRecord", attemptCReplayRecord, true},
    {"FleetSealerCreate", [](Injection k) { return attemptCreateSealer(k, /*offCurve=*/false); },
     true},
    {"FleetSealerCreateOffCurveRefused",
     [](Injection k) { return attemptCreateSealer(k, /*offCurve=*/true); }, false},
    {"FleetSealerDrawn",
     [](Injection k) { return attemptBuild(BuildKind::kDrawn, k, SealPath::kFleetSealer); }, true},
    {"FleetSealerSupplied",
     [](Injection k) { return attemptBuild(BuildKind::kSupplied, k, SealPath::kFleetSealer); },
     true},
    {"FleetOpenerCreate", attemptCreateOpener, true},
    {"FleetOpenerOpen",
     [](Injection k) { return attemptOpenEnvelope(k, /*tampered=*/false, /*viaOpener=*/true); },
     true},
    {"FleetOpenerOpenTamperedRefused",
     [](Injection k) { return attemptOpenEnvelope(k, /*tampered=*/true, /*viaOpener=*/true); },
     false},
};

using InjectionCase = std::tuple<InjectedOperation, FailureMode>;

class AllocationFailureTest : public ::testing::TestWithParam<InjectionCase> {};

TEST_P(AllocationFailureTest, EveryFailedAllocationEndsInADocumentedResult) {
  ASSERT_TRUE(fixture().valid()) << "the uninjected fixture could not be built";
  const auto& [operation, mode] = GetParam();
  const Outcome expectedPlain =
      operation.mustSucceedWithoutFailure ? Outcome::kSucceeded : Outcome::kFailed;

  // Lets OpenSSL fill its lazy caches (fetched algorithms, error state, generator) first:
  // a failure there would be one that only the first call ever meets.
  ASSERT_EQ(operation.attempt({0, mode}), expectedPlain) << "the warm-up run";

  std::size_t points = 0;
  std::size_t opensslPoints = 0;
  std::size_t failures = 0;
  std::size_t badAllocs = 0;
  std::size_t successes = 0;
  for (std::size_t k = 1;; ++k) {
    SCOPED_TRACE(::testing::Message() << operation.name << ", allocation #" << k
                                      << (mode == FailureMode::kOnce ? " failed" : " on failed"));
    ERR_clear_error();
    const Outcome outcome = operation.attempt({k, mode});
    if (!testing::allocationFailureFired()) {
      EXPECT_EQ(outcome, expectedPlain) << "the run that met no failure";
      break;
    }
    ++points;
    opensslPoints += testing::allocationFailureHitOpenssl() ? 1 : 0;
    failures += outcome == Outcome::kFailed ? 1 : 0;
    badAllocs += outcome == Outcome::kBadAlloc ? 1 : 0;
    successes += outcome == Outcome::kSucceeded ? 1 : 0;
    if (HasFailure()) {
      break;  // the first fault, reported with its allocation number above
    }
    ASSERT_LT(k, kMaxInjectionPoints) << "the allocation count never stops growing";
  }
  ERR_clear_error();
  std::printf(
      "[ injection] %-31s %-10s %5zu points (%zu OpenSSL, %zu operator new): %zu documented "
      "failures, %zu bad_alloc, %zu correct successes\n",
      operation.name, mode == FailureMode::kOnce ? "once" : "from then", points, opensslPoints,
      points - opensslPoints, failures, badAllocs, successes);
  // Shows that the hooks sit under both allocators this operation uses.
  EXPECT_GT(opensslPoints, 0U);
  EXPECT_GT(points - opensslPoints, 0U);
  // A single failure in OpenSSL's memory must surface as the documented failure at least
  // once. (When every later allocation fails too, building the message itself may throw.)
  if (mode == FailureMode::kOnce) {
    EXPECT_GT(failures, 0U);
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, AllocationFailureTest,
                         ::testing::Combine(::testing::ValuesIn(kOperations),
                                            ::testing::Values(FailureMode::kOnce,
                                                              FailureMode::kFromThenOn)),
                         [](const ::testing::TestParamInfo<InjectionCase>& info) {
                           return std::string(std::get<0>(info.param).name) +
                                  (std::get<1>(info.param) == FailureMode::kOnce ? "_Once"
                                                                                 : "_FromThenOn");
                         });

// The hooks themselves: the k-th allocation of either allocator fails once, and only it.
TEST(AllocationFailureHooks, FailTheArmedAllocationOfEitherAllocatorOnce) {
  {
    const ArmedAllocationFailure armed(2);
    void* first = OPENSSL_malloc(8);
    void* second = OPENSSL_malloc(8);
    void* third = OPENSSL_malloc(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    OPENSSL_free(first);
    OPENSSL_free(third);
    EXPECT_TRUE(testing::allocationFailureHitOpenssl());
  }
  {
    const ArmedAllocationFailure armed(1);
    EXPECT_THROW(static_cast<void>(std::make_unique<int>(1)), std::bad_alloc);
    EXPECT_TRUE(testing::allocationFailureFired());
    EXPECT_FALSE(testing::allocationFailureHitOpenssl());
  }
  {
    const ArmedAllocationFailure armed(1);
    EXPECT_EQ(OPENSSL_realloc(nullptr, 16), nullptr);
    void* block = OPENSSL_malloc(4);
    ASSERT_NE(block, nullptr);
    static_cast<unsigned char*>(block)[3] = 0x7e;
    testing::armAllocationFailure(1);
    EXPECT_EQ(OPENSSL_realloc(block, 64), nullptr) << "a failed realloc keeps the old block";
    testing::armAllocationFailure(0);
    void* grown = OPENSSL_realloc(block, 64);
    ASSERT_NE(grown, nullptr);
    EXPECT_EQ(static_cast<unsigned char*>(grown)[3], 0x7e);
    OPENSSL_free(grown);
  }
  const ArmedAllocationFailure armed(0);
  Bytes grown;
  for (int i = 0; i < 100; ++i) {
    grown.push_back(1);
  }
  EXPECT_GT(testing::allocationsSinceArmed(), 1U);
  EXPECT_FALSE(testing::allocationFailureFired());
}

}  // namespace
}  // namespace zezi
