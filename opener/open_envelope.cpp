#include "opener/open_envelope.h"

#include <algorithm>
#include <array>
#include <optional>

#include "base/failure.h"
#include "crypto/aead.h"
#include "crypto/json_reader.h"
#include "crypto/p256_keys.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "opener/fleet_opener.h"
#include "opener/open_failure.h"

namespace zezi {
namespace {

// Every failure with its message, in the order of OpenFailure (kNone has none).
struct FailureText {
  OpenFailure failure;
  // Read through the table, which cppcheck does not follow.
  // cppcheck-suppress unusedStructMember
  std::string_view text;
};
constexpr auto kFailureTexts = std::to_array<FailureText>({
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
});

// Row i of the table holds failure i + 1, so a failure finds its text by its value.
constexpr bool tableFollowsTheFailures() {
  for (std::size_t i = 0; i < kFailureTexts.size(); ++i) {
    if (static_cast<std::size_t>(kFailureTexts[i].failure) != i + 1) {
      return false;
    }
  }
  return kFailureTexts.back().failure == kLastOpenFailure;
}
static_assert(tableFollowsTheFailures());

// The envelope's members and the failures each one can cause.
struct MemberFailures {
  std::string_view key;
  OpenFailure missing;
  OpenFailure repeated;
  OpenFailure notString;
  OpenFailure notBase64;  // kNone for "format", which is text
};
constexpr std::array<MemberFailures, 5> kEnvelopeMembers = {{
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
constexpr std::size_t kFormat = 0;
constexpr std::size_t kFirstBinary = 1;  // eph_pub, salt, nonce and sealed hold Base64

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
using BinaryMembers = std::array<Bytes, kEnvelopeMembers.size() - kFirstBinary>;

// Checks the envelope's JSON form: exactly the five members, each a string, the right
// format, and canonical Base64 in the other four, which it decodes into `*binaryOut`.
[[nodiscard]] OpenFailure readEnvelope(std::string_view envelope, BinaryMembers* binaryOut) {
  const std::optional<JsonValue> document = parseJson(envelope);
  if (!document) {
    return OpenFailure::kNotJson;
  }
  if (document->kind != JsonKind::kObject) {
    return OpenFailure::kNotObject;
  }
  std::array<const JsonValue*, kEnvelopeMembers.size()> values{};
  std::array<std::size_t, kEnvelopeMembers.size()> counts{};
  for (const JsonMember& member : document->members) {
    const auto* known =
        std::find_if(kEnvelopeMembers.begin(), kEnvelopeMembers.end(),
                     [&member](const MemberFailures& m) { return m.key == member.key; });
    if (known == kEnvelopeMembers.end()) {
      return OpenFailure::kUnknownMember;
    }
    const auto index = static_cast<std::size_t>(known - kEnvelopeMembers.begin());
    ++counts[index];
    values[index] = &member.value;
  }
  for (std::size_t i = 0; i < kEnvelopeMembers.size(); ++i) {
    if (counts[i] == 0) {
      return kEnvelopeMembers[i].missing;
    }
    if (counts[i] > 1) {
      return kEnvelopeMembers[i].repeated;
    }
    if (values[i]->kind != JsonKind::kString) {
      return kEnvelopeMembers[i].notString;
    }
  }
  if (std::string_view(values[kFormat]->text) != kEnvelopeDomain) {
    return OpenFailure::kWrongFormat;
  }
  for (std::size_t i = 0; i < binaryOut->size(); ++i) {
    if (!base64Decode(values[kFirstBinary + i]->text, &(*binaryOut)[i])) {
      return kEnvelopeMembers[kFirstBinary + i].notBase64;
    }
  }
  return OpenFailure::kNone;
}

// With no opener (the fleet scalar was refused) every check before the key still runs, so
// that the first failing check is the one reported.
[[nodiscard]] OpenFailure openWith(std::string_view envelope, const FleetOpener* opener,
                                   Network* networkOut) {
  if (envelope.size() > kMaxEnvelopeSize) {
    return OpenFailure::kTooLarge;
  }
  if (networkOut == nullptr) {
    return OpenFailure::kNoOutput;
  }
  BinaryMembers binary;
  if (const OpenFailure failure = readEnvelope(envelope, &binary); failure != OpenFailure::kNone) {
    return failure;
  }
  const auto& [ephemeralPoint, salt, nonce, sealed] = binary;

  if (ephemeralPoint.size() != kPointSize || ephemeralPoint[0] != kUncompressedPointPrefix) {
    return OpenFailure::kBadEphemeralPoint;
  }
  // The agreement checks the point, once, before multiplying it.
  using Agreement = FleetOpener::Agreement;
  Bytes sharedSecret;
  Agreement agreement = Agreement::kFailed;
  if (opener != nullptr) {
    agreement = opener->agree(ephemeralPoint, &sharedSecret);
  } else if (!loadPublicKey(Bytes(ephemeralPoint.begin() + 1, ephemeralPoint.end()))) {
    agreement = Agreement::kNotACurvePoint;
  }
  if (agreement == Agreement::kNotACurvePoint) {
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

  if (opener == nullptr) {
    return OpenFailure::kBadFleetScalar;
  }
  if (agreement != Agreement::kAgreed) {
    return OpenFailure::kKeyAgreementFailed;
  }
  const Bytes key = opener->envelopeKey(sharedSecret, salt, ephemeralPoint);
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
  const auto index = static_cast<std::size_t>(failure);
  return index == 0 || index > kFailureTexts.size() ? std::string_view()
                                                    : kFailureTexts[index - 1].text;
}

OpenFailure openEnvelopeFor(std::string_view envelope, const Bytes& fleetScalar,
                            Network* networkOut) {
  return openWith(envelope, FleetOpener::create(fleetScalar).get(), networkOut);
}

OpenFailure openEnvelopeFor(std::string_view envelope, const FleetOpener& opener,
                            Network* networkOut) {
  return openWith(envelope, &opener, networkOut);
}

bool openEnvelope(std::string_view envelope, const Bytes& fleetScalar, Network* networkOut,
                  std::string* errorOut) {
  const OpenFailure failure = openEnvelopeFor(envelope, fleetScalar, networkOut);
  return failure == OpenFailure::kNone || failWith(errorOut, openFailureText(failure));
}

}  // namespace zezi
