#include "opener/open_envelope.h"

#include <algorithm>
#include <array>
#include <optional>

#include "base/failure.h"
#include "encoding/base64.h"
#include "encoding/hex.h"
#include "envelope/p256_keys.h"
#include "opener/fleet_opener.h"
#include "opener/json_reader.h"
#include "opener/open_payload.h"

namespace zezi {
namespace {

// The envelope's members; the per-member failures below follow this order.
constexpr std::array<std::string_view, 5> kEnvelopeMembers = {"format", "eph_pub", "salt", "nonce",
                                                              "sealed"};
constexpr std::size_t kFormat = 0;
constexpr std::size_t kFirstBinary = 1;  // eph_pub, salt, nonce and sealed hold Base64

// Indices into kOpenEnvelopeMessages.
enum Failure : std::size_t {
  kTooLarge,
  kNoOutput,
  kNotJson,
  kNotObject,
  kUnknownMember,
  kMemberMissing,
  kMemberRepeated = kMemberMissing + kEnvelopeMembers.size(),
  kMemberNotString = kMemberRepeated + kEnvelopeMembers.size(),
  kWrongFormat = kMemberNotString + kEnvelopeMembers.size(),
  kMemberNotBase64,  // one per binary member, eph_pub first
  kBadEphemeralPoint = kMemberNotBase64 + kEnvelopeMembers.size() - kFirstBinary,
  kEmptySalt,
  kBadNonceSize,
  kSealedTooShort,
  kBadFleetScalar,
  kKeyAgreementFailed,
  kKeyDerivationFailed,
  kDoesNotOpen,
  kDecryptionFailed,
  kPayloadNotJson,
  kPayloadShape,
  kNetworkCount,
  kNetworkNotObject,
  kNetworkUnknownMember,
  kNetworkMemberRepeated,
  kSsidNotString,
  kPskNotString,
  kSsidEmpty,
  kBadPsk,
  kFailureCount
};
static_assert(kFailureCount == kOpenEnvelopeMessages.size());

[[nodiscard]] bool fail(std::string* errorOut, std::size_t failure) {
  return failWith(errorOut, kOpenEnvelopeMessages[failure]);
}

// Checks the decrypted payload and only then writes the network out.
[[nodiscard]] bool readPayload(const Bytes& payload, Network* networkOut, std::string* errorOut) {
  const std::optional<JsonValue> document =
      parseJson(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
  if (!document) {
    return fail(errorOut, kPayloadNotJson);
  }
  if (document->kind != JsonKind::kObject || document->members.size() != 1 ||
      document->members[0].key != "networks" ||
      document->members[0].value.kind != JsonKind::kArray) {
    return fail(errorOut, kPayloadShape);
  }
  const auto& networks = document->members[0].value.items;
  if (networks.size() != 1) {
    return fail(errorOut, kNetworkCount);
  }
  if (networks[0].kind != JsonKind::kObject) {
    return fail(errorOut, kNetworkNotObject);
  }
  const JsonValue* ssid = nullptr;
  const JsonValue* psk = nullptr;
  for (const JsonMember& member : networks[0].members) {
    const JsonValue** slot = member.key == "ssid" ? &ssid : member.key == "psk" ? &psk : nullptr;
    if (slot == nullptr) {
      return fail(errorOut, kNetworkUnknownMember);
    }
    if (*slot != nullptr) {
      return fail(errorOut, kNetworkMemberRepeated);
    }
    *slot = &member.value;
  }
  if (ssid == nullptr || ssid->kind != JsonKind::kString) {
    return fail(errorOut, kSsidNotString);
  }
  if (psk == nullptr || psk->kind != JsonKind::kString) {
    return fail(errorOut, kPskNotString);
  }
  if (ssid->text.empty()) {
    return fail(errorOut, kSsidEmpty);
  }
  if (!isLowercaseHex(psk->text, kPskSize)) {
    return fail(errorOut, kBadPsk);
  }
  networkOut->ssid.assign(ssid->text.begin(), ssid->text.end());
  // Room first, so the PSK is written once into heap memory that is cleansed on release.
  networkOut->psk.clear();
  networkOut->psk.reserve(kPskHexLength);
  networkOut->psk.append(psk->text);
  return true;
}

// The decoded eph_pub, salt, nonce and sealed, in that order.
using BinaryMembers = std::array<Bytes, kEnvelopeMembers.size() - kFirstBinary>;

// Checks the envelope's JSON form: exactly the five members, each a string, the right
// format, and canonical Base64 in the other four, which it decodes into `*binaryOut`.
[[nodiscard]] bool readEnvelope(std::string_view envelope, BinaryMembers* binaryOut,
                                std::string* errorOut) {
  const std::optional<JsonValue> document = parseJson(envelope);
  if (!document) {
    return fail(errorOut, kNotJson);
  }
  if (document->kind != JsonKind::kObject) {
    return fail(errorOut, kNotObject);
  }
  std::array<const JsonValue*, kEnvelopeMembers.size()> values{};
  std::array<std::size_t, kEnvelopeMembers.size()> counts{};
  for (const JsonMember& member : document->members) {
    const auto* known =
        std::find(kEnvelopeMembers.begin(), kEnvelopeMembers.end(), std::string_view(member.key));
    if (known == kEnvelopeMembers.end()) {
      return fail(errorOut, kUnknownMember);
    }
    const auto index = static_cast<std::size_t>(known - kEnvelopeMembers.begin());
    ++counts[index];
    values[index] = &member.value;
  }
  for (std::size_t i = 0; i < kEnvelopeMembers.size(); ++i) {
    if (counts[i] == 0) {
      return fail(errorOut, kMemberMissing + i);
    }
    if (counts[i] > 1) {
      return fail(errorOut, kMemberRepeated + i);
    }
    if (values[i]->kind != JsonKind::kString) {
      return fail(errorOut, kMemberNotString + i);
    }
  }
  if (std::string_view(values[kFormat]->text) != kEnvelopeDomain) {
    return fail(errorOut, kWrongFormat);
  }
  for (std::size_t i = 0; i < binaryOut->size(); ++i) {
    if (!base64Decode(values[kFirstBinary + i]->text, &(*binaryOut)[i])) {
      return fail(errorOut, kMemberNotBase64 + i);
    }
  }
  return true;
}

// With no opener (the fleet scalar was refused) every check before the key still runs, so
// that the first failing check is the one reported.
bool openWith(std::string_view envelope, const FleetOpener* opener, Network* networkOut,
              std::string* errorOut) {
  if (envelope.size() > kMaxEnvelopeSize) {
    return fail(errorOut, kTooLarge);
  }
  if (networkOut == nullptr) {
    return fail(errorOut, kNoOutput);
  }
  BinaryMembers binary;
  if (!readEnvelope(envelope, &binary, errorOut)) {
    return false;
  }
  const auto& [ephemeralPoint, salt, nonce, sealed] = binary;

  if (ephemeralPoint.size() != kPointSize || ephemeralPoint[0] != kUncompressedPointPrefix) {
    return fail(errorOut, kBadEphemeralPoint);
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
    return fail(errorOut, kBadEphemeralPoint);
  }
  if (salt.empty()) {
    return fail(errorOut, kEmptySalt);
  }
  if (nonce.size() != kNonceSize) {
    return fail(errorOut, kBadNonceSize);
  }
  if (sealed.size() < kTagSize) {
    return fail(errorOut, kSealedTooShort);
  }

  if (opener == nullptr) {
    return fail(errorOut, kBadFleetScalar);
  }
  if (agreement != Agreement::kAgreed) {
    return fail(errorOut, kKeyAgreementFailed);
  }
  const Bytes key = opener->envelopeKey(sharedSecret, salt, ephemeralPoint);
  if (key.size() != kEnvelopeKeySize) {
    return fail(errorOut, kKeyDerivationFailed);
  }
  Bytes payload;
  const OpenStatus status = openPayload(key, nonce, textToBytes(kEnvelopeDomain), sealed, &payload);
  if (status == kOpenAuthenticationFailed) {
    return fail(errorOut, kDoesNotOpen);
  }
  if (status != kOpenOk) {
    return fail(errorOut, kDecryptionFailed);
  }
  return readPayload(payload, networkOut, errorOut);
}

}  // namespace

bool openEnvelope(std::string_view envelope, const Bytes& fleetScalar, Network* networkOut,
                  std::string* errorOut) {
  return openWith(envelope, FleetOpener::create(fleetScalar).get(), networkOut, errorOut);
}

bool openEnvelope(std::string_view envelope, const FleetOpener& opener, Network* networkOut,
                  std::string* errorOut) {
  return openWith(envelope, &opener, networkOut, errorOut);
}

}  // namespace zezi
