#include "opener/open_envelope.h"

#include <algorithm>
#include <array>
#include <optional>

#include "base/failure.h"
#include "crypto/aead.h"
#include "crypto/p256_keys.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "encoding/json_reader.h"
#include "opener/fleet_opener_steps.h"
#include "opener/open_failure.h"

namespace zezi {
namespace {

// Every failure with its message, in the order of OpenFailure (kNone has none).
constexpr auto kFailureTexts = failureTable<OpenFailure, std::string_view>(
    {
        {OpenFailure::kTooLarge, "envelope is too large"},
        {OpenFailure::kNoOutput, "no output for the network"},
        {OpenFailure::kNotJson, "envelope is not valid JSON"},
        {OpenFailure::kNotObject, "envelope is not a JSON object"},
        {OpenFailure::kUnknownMember, "envelope has an unknown member"},
        {OpenFailure::kFormatMissing, "envelope member \"format\" is missing"},
        {OpenFailure::kEphPubMissing, "envelope member \"eph_pub\" is missing"},
        {OpenFailure::kSaltMissing, "envelope member \"salt\" is missing"},
        {OpenFailure::kNonceMissing, "envelope member \"nonce\" is missing"},
        {OpenFailure::kSealedMissing, "envelope member \"sealed\" is missing"},
        {OpenFailure::kFormatRepeated, "envelope member \"format\" appears more than once"},
        {OpenFailure::kEphPubRepeated, "envelope member \"eph_pub\" appears more than once"},
        {OpenFailure::kSaltRepeated, "envelope member \"salt\" appears more than once"},
        {OpenFailure::kNonceRepeated, "envelope member \"nonce\" appears more than once"},
        {OpenFailure::kSealedRepeated, "envelope member \"sealed\" appears more than once"},
        {OpenFailure::kFormatNotString, "envelope member \"format\" is not a string"},
        {OpenFailure::kEphPubNotString, "envelope member \"eph_pub\" is not a string"},
        {OpenFailure::kSaltNotString, "envelope member \"salt\" is not a string"},
        {OpenFailure::kNonceNotString, "envelope member \"nonce\" is not a string"},
        {OpenFailure::kSealedNotString, "envelope member \"sealed\" is not a string"},
        {OpenFailure::kWrongFormat, "envelope format is not tolvane-wifi-drive/v1"},
        {OpenFailure::kEphPubNotBase64, "envelope member \"eph_pub\" is not canonical Base64"},
        {OpenFailure::kSaltNotBase64, "envelope member \"salt\" is not canonical Base64"},
        {OpenFailure::kNonceNotBase64, "envelope member \"nonce\" is not canonical Base64"},
        {OpenFailure::kSealedNotBase64, "envelope member \"sealed\" is not canonical Base64"},
        {OpenFailure::kBadEphemeralPoint, "envelope eph_pub is not a P-256 public point"},
        {OpenFailure::kEmptySalt, "envelope salt is empty"},
        {OpenFailure::kBadNonceSize, "envelope nonce is not 12 octets"},
        {OpenFailure::kSealedTooShort, "envelope sealed payload is too short"},
        {OpenFailure::kBadFleetScalar, "fleet private key is not a valid P-256 scalar"},
        {OpenFailure::kKeyAgreementFailed, "key agreement failed"},
        {OpenFailure::kKeyDerivationFailed, "key derivation failed"},
        {OpenFailure::kDoesNotOpen, "envelope does not open with this key"},
        {OpenFailure::kDecryptionFailed, "payload decryption failed"},
        {OpenFailure::kPayloadNotJson, "payload is not valid JSON"},
        {OpenFailure::kPayloadShape, "payload is not an object holding only a networks array"},
        {OpenFailure::kNetworkCount, "payload does not hold exactly one network"},
        {OpenFailure::kNetworkNotObject, "payload network is not a JSON object"},
        {OpenFailure::kNetworkUnknownMember, "payload network has an unknown member"},
        {OpenFailure::kNetworkMemberRepeated, "payload network member appears more than once"},
        {OpenFailure::kSsidNotString, "payload ssid is missing or not a string"},
        {OpenFailure::kPskNotString, "payload psk is missing or not a string"},
        {OpenFailure::kSsidEmpty, "payload ssid is empty"},
        {OpenFailure::kSsidTooLong, "payload ssid is longer than 32 octets"},
        {OpenFailure::kBadPsk, "payload psk is not 64 lowercase hex characters"},
    },
    kLastOpenFailure);

static_assert(kFailureTexts.inOrder() && kFailureTexts.oneRowEach());

// The envelope's members and the failures each one can cause.
constexpr ObjectFailures<OpenFailure> kEnvelopeObject = {
    OpenFailure::kNotJson, OpenFailure::kNotObject, OpenFailure::kUnknownMember, kEnvelopeDomain,
    OpenFailure::kWrongFormat};
constexpr std::array<MemberFailures<OpenFailure>, 5> kEnvelopeMembers = {{
    {"format", OpenFailure::kFormatMissing, OpenFailure::kFormatRepeated,
     OpenFailure::kFormatNotString, OpenFailure::kNone},
    {"eph_pub", OpenFailure::kEphPubMissing, OpenFailure::kEphPubRepeated,
     OpenFailure::kEphPubNotString, OpenFailure::kEphPubNotBase64},
    {"salt", OpenFailure::kSaltMissing, OpenFailure::kSaltRepeated, OpenFailure::kSaltNotString,
     OpenFailure::kSaltNotBase64},
    {"nonce", OpenFailure::kNonceMissing, OpenFailure::kNonceRepeated, OpenFailure::kNonceNotString,
     OpenFailure::kNonceNotBase64},
    {"sealed", OpenFailure::kSealedMissing, OpenFailure::kSealedRepeated,
     OpenFailure::kSealedNotString, OpenFailure::kSealedNotBase64},
}};

// Checks the decrypted payload and only then writes the network out.
[[nodiscard]] OpenFailure readPayload(const Bytes& payload, Network* networkOut) {
  const std::optional<JsonValue> document =
      parseJson(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
  if (!document) {
    return OpenFailure::kPayloadNotJson;
  }
  if (document->kind != JsonKind::kObject || document->members.size() != 1 ||
      document->members[0].key != "networks" ||
      document->members[0].value.kind != JsonKind::kArray) {
    return OpenFailure::kPayloadShape;
  }
  const auto& networks = document->members[0].value.items;
  if (networks.size() != 1) {
    return OpenFailure::kNetworkCount;
  }
  if (networks[0].kind != JsonKind::kObject) {
    return OpenFailure::kNetworkNotObject;
  }
  const JsonValue* ssid = nullptr;
  const JsonValue* psk = nullptr;
  for (const JsonMember& member : networks[0].members) {
    const JsonValue** slot = member.key == "ssid" ? &ssid : member.key == "psk" ? &psk : nullptr;
    if (slot == nullptr) {
      return OpenFailure::kNetworkUnknownMember;
    }
    if (*slot != nullptr) {
      return OpenFailure::kNetworkMemberRepeated;
    }
    *slot = &member.value;
  }
  if (ssid == nullptr || ssid->kind != JsonKind::kString) {
    return OpenFailure::kSsidNotString;
  }
  if (psk == nullptr || psk->kind != JsonKind::kString) {
    return OpenFailure::kPskNotString;
  }
  if (ssid->text.empty()) {
    return OpenFailure::kSsidEmpty;
  }
  if (ssid->text.size() > kMaxSsidSize) {
    return OpenFailure::kSsidTooLong;
  }
  if (!isLowercaseHex(psk->text, kPskSize)) {
    return OpenFailure::kBadPsk;
  }
  networkOut->ssid.assign(ssid->text.begin(), ssid->text.end());
  // Room first, so the PSK is written once into heap memory that is cleansed on release.
  networkOut->psk.clear();
  networkOut->psk.reserve(kPskHexLength);
  networkOut->psk.append(psk->text);
  return OpenFailure::kNone;
}

// The decoded eph_pub, salt, nonce and sealed, in that order.
using BinaryMembers = std::array<Bytes, kEnvelopeMembers.size() - 1>;

// What the envelope's own checks leave for the key's steps.
struct EnvelopeParts {
  BinaryMembers binary;  // eph_pub, salt, nonce, sealed
  FleetOpenerSteps::Agreement agreement = FleetOpenerSteps::Agreement::kFailed;
  Bytes sharedSecret;  // when the agreement ran and agreed
};

// Every check of the envelope's own, in order: kNone when it is whole. With an opener the
// agreement is the point's check, so that the point is decoded once; without one (the fleet
// scalar was refused, or only the envelope is asked about) the point is decoded on its own.
[[nodiscard]] OpenFailure readEnvelope(std::string_view envelope, const FleetOpener* opener,
                                       EnvelopeParts* parts) {
  if (envelope.size() > kMaxEnvelopeSize) {
    return OpenFailure::kTooLarge;
  }
  if (const OpenFailure failure =
          readStrictObject(envelope, kEnvelopeObject, kEnvelopeMembers, &parts->binary);
      failure != OpenFailure::kNone) {
    return failure;
  }
  const auto& [ephemeralPoint, salt, nonce, sealed] = parts->binary;

  if (ephemeralPoint.size() != kPointSize || ephemeralPoint[0] != kUncompressedPointPrefix) {
    return OpenFailure::kBadEphemeralPoint;
  }
  using Agreement = FleetOpenerSteps::Agreement;
  if (opener != nullptr) {
    parts->agreement = FleetOpenerSteps::agree(*opener, ephemeralPoint, &parts->sharedSecret);
  } else if (!loadPublicKey(Bytes(ephemeralPoint.begin() + 1, ephemeralPoint.end()))) {
    parts->agreement = Agreement::kNotACurvePoint;
  }
  if (parts->agreement == Agreement::kNotACurvePoint) {
    return OpenFailure::kBadEphemeralPoint;
  }
  if (salt.empty()) {
    return OpenFailure::kEmptySalt;
  }
  if (nonce.size() != kNonceSize) {
    return OpenFailure::kBadNonceSize;
  }
  if (sealed.size() < kTagSize) {
    return OpenFailure::kSealedTooShort;
  }
  return OpenFailure::kNone;
}

// With no opener (the fleet scalar was refused) every check of the envelope still runs, so
// that the first failing check is the one reported.
[[nodiscard]] OpenFailure openWith(std::string_view envelope, const FleetOpener* opener,
                                   Network* networkOut) {
  if (envelope.size() > kMaxEnvelopeSize) {
    return OpenFailure::kTooLarge;
  }
  if (networkOut == nullptr) {
    return OpenFailure::kNoOutput;
  }
  EnvelopeParts parts;
  if (const OpenFailure failure = readEnvelope(envelope, opener, &parts);
      failure != OpenFailure::kNone) {
    return failure;
  }
  if (opener == nullptr) {
    return OpenFailure::kBadFleetScalar;
  }
  if (parts.agreement != FleetOpenerSteps::Agreement::kAgreed) {
    return OpenFailure::kKeyAgreementFailed;
  }
  const auto& [ephemeralPoint, salt, nonce, sealed] = parts.binary;
  const Bytes key =
      FleetOpenerSteps::envelopeKey(*opener, parts.sharedSecret, salt, ephemeralPoint);
  if (key.size() != kEnvelopeKeySize) {
    return OpenFailure::kKeyDerivationFailed;
  }
  Bytes payload;
  const OpenStatus status = openPayload(key, nonce, textToBytes(kEnvelopeDomain), sealed, &payload);
  if (status == kOpenAuthenticationFailed) {
    return OpenFailure::kDoesNotOpen;
  }
  if (status != kOpenOk) {
    return OpenFailure::kDecryptionFailed;
  }
  return readPayload(payload, networkOut);
}

}  // namespace

std::string_view openFailureText(OpenFailure failure) {
  return kFailureTexts(failure);
}

bool isOpenFailureText(std::string_view text) {
  return kFailureTexts.holds(text);
}

OpenFailure openEnvelopeFor(std::string_view envelope, const Bytes& fleetScalar,
                            Network* networkOut) {
  return openWith(envelope, FleetOpener::create(fleetScalar).get(), networkOut);
}

OpenFailure openEnvelopeFor(std::string_view envelope, const FleetOpener& opener,
                            Network* networkOut) {
  return openWith(envelope, &opener, networkOut);
}

bool isWholeEnvelope(std::string_view envelope) {
  EnvelopeParts parts;
  return readEnvelope(envelope, /*opener=*/nullptr, &parts) == OpenFailure::kNone;
}

bool openEnvelope(std::string_view envelope, const Bytes& fleetScalar, Network* networkOut,
                  std::string* errorOut) {
  const OpenFailure failure = openEnvelopeFor(envelope, fleetScalar, networkOut);
  return failure == OpenFailure::kNone || failWith(errorOut, openFailureText(failure));
}

}  // namespace zezi
