#include "api/zezi_vidad.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "api/c_guard.h"
#include "api/version.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"
#include "opener/open_failure.h"

namespace zezi {
namespace {

static_assert(ZEZI_VIDAD_SCALAR_SIZE == kScalarSize);
static_assert(ZEZI_VIDAD_PUBLIC_KEY_SIZE == kRawPublicKeySize);
static_assert(ZEZI_VIDAD_SSID_MAX_SIZE == kMaxSsidSize);
static_assert(ZEZI_VIDAD_PSK_LENGTH == kPskHexLength);

// Each status's text, indexed by its value.
constexpr auto kStatusTexts = std::to_array<const char*>({
    "success",
    "a required argument is null",
    "an output buffer is too small",
    "out of memory",
    "the random generator or the cryptographic library failed",
    "private key is not a valid P-256 scalar",
    "public key is not a point of P-256",
    "ssid is empty",
    "psk is not 64 lowercase hex characters",
    "envelope is not a JSON object of at most 64 KiB",
    "envelope members are not format, eph_pub, salt, nonce and sealed, each once as a string",
    "envelope format is not tolvane-wifi-drive/v1",
    "envelope member is not canonical Base64",
    "envelope value has the wrong size or is not a P-256 point",
    "envelope does not open with this key",
    "payload is not one network of a 1 to 32 octet ssid and a 64 hex character psk",
});
static_assert(kStatusTexts.size() == ZEZI_VIDAD_E_PAYLOAD + 1);
constexpr const char* kUnknownStatusText = "unknown status code";

// The status of a refused envelope: the step of the opening order that refused it.
zezi_vidad_status statusOf(OpenFailure failure) {
  switch (failure) {
    case OpenFailure::kNone:
      return ZEZI_VIDAD_OK;
    case OpenFailure::kNoOutput:
      return ZEZI_VIDAD_E_ARGUMENT;
    case OpenFailure::kTooLarge:
    case OpenFailure::kNotJson:
    case OpenFailure::kNotObject:
      return ZEZI_VIDAD_E_ENVELOPE_SYNTAX;
    case OpenFailure::kUnknownMember:
    case OpenFailure::kFormatMissing:
    case OpenFailure::kEphPubMissing:
    case OpenFailure::kSaltMissing:
    case OpenFailure::kNonceMissing:
    case OpenFailure::kSealedMissing:
    case OpenFailure::kFormatRepeated:
    case OpenFailure::kEphPubRepeated:
    case OpenFailure::kSaltRepeated:
    case OpenFailure::kNonceRepeated:
    case OpenFailure::kSealedRepeated:
    case OpenFailure::kFormatNotString:
    case OpenFailure::kEphPubNotString:
    case OpenFailure::kSaltNotString:
    case OpenFailure::kNonceNotString:
    case OpenFailure::kSealedNotString:
      return ZEZI_VIDAD_E_ENVELOPE_MEMBER;
    case OpenFailure::kWrongFormat:
      return ZEZI_VIDAD_E_ENVELOPE_FORMAT;
    case OpenFailure::kEphPubNotBase64:
    case OpenFailure::kSaltNotBase64:
    case OpenFailure::kNonceNotBase64:
    case OpenFailure::kSealedNotBase64:
      return ZEZI_VIDAD_E_ENVELOPE_ENCODING;
    case OpenFailure::kBadEphemeralPoint:
    case OpenFailure::kEmptySalt:
    case OpenFailure::kBadNonceSize:
    case OpenFailure::kSealedTooShort:
      return ZEZI_VIDAD_E_ENVELOPE_VALUE;
    case OpenFailure::kBadFleetScalar:
      return ZEZI_VIDAD_E_PRIVATE_KEY;
    case OpenFailure::kKeyAgreementFailed:
    case OpenFailure::kKeyDerivationFailed:
    case OpenFailure::kDecryptionFailed:
      return ZEZI_VIDAD_E_INTERNAL;
    case OpenFailure::kDoesNotOpen:
      return ZEZI_VIDAD_E_DOES_NOT_OPEN;
    case OpenFailure::kPayloadNotJson:
    case OpenFailure::kPayloadShape:
    case OpenFailure::kNetworkCount:
    case OpenFailure::kNetworkNotObject:
    case OpenFailure::kNetworkUnknownMember:
    case OpenFailure::kNetworkMemberRepeated:
    case OpenFailure::kSsidNotString:
    case OpenFailure::kPskNotString:
    case OpenFailure::kSsidEmpty:
    case OpenFailure::kSsidTooLong:
    case OpenFailure::kBadPsk:
      return ZEZI_VIDAD_E_PAYLOAD;
  }
  return ZEZI_VIDAD_E_INTERNAL;
}

}  // namespace
}  // namespace zezi

// The device's half of the C interface: what libzezi_vidad_device has too.
extern "C" {

const char* zezi_vidad_version(void) {
  return ZEZI_VIDAD_VERSION_STRING;
}

const char* zezi_vidad_strerror(int status) {
  if (status < 0 || static_cast<std::size_t>(status) >= zezi::kStatusTexts.size()) {
    return zezi::kUnknownStatusText;
  }
  return zezi::kStatusTexts.at(static_cast<std::size_t>(status));
}

zezi_vidad_status zezi_vidad_open(const char* envelope, size_t envelope_length,
                                  const uint8_t fleet_scalar[ZEZI_VIDAD_SCALAR_SIZE],
                                  uint8_t* ssid_out, size_t ssid_capacity, size_t* ssid_length_out,
                                  char* psk_out, size_t psk_capacity) {
  return zezi::guarded([&] {
    if ((envelope == nullptr && envelope_length > 0) || fleet_scalar == nullptr ||
        ssid_out == nullptr || ssid_length_out == nullptr || psk_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    if (psk_capacity < ZEZI_VIDAD_PSK_BUFFER_SIZE) {
      return ZEZI_VIDAD_E_BUFFER_TOO_SMALL;
    }
    zezi::Network network;
    const zezi::OpenFailure failure =
        zezi::openEnvelopeFor(std::string_view(envelope, envelope_length),
                              zezi::octets(fleet_scalar, zezi::kScalarSize), &network);
    if (failure != zezi::OpenFailure::kNone) {
      return zezi::statusOf(failure);
    }
    if (network.ssid.size() > ssid_capacity) {
      *ssid_length_out = network.ssid.size();
      return ZEZI_VIDAD_E_BUFFER_TOO_SMALL;
    }
    // Octets, not text: no terminator is written.
    std::copy(network.ssid.begin(), network.ssid.end(), ssid_out);
    *ssid_length_out = network.ssid.size();
    std::memcpy(psk_out, network.psk.c_str(), network.psk.size() + 1);
    return ZEZI_VIDAD_OK;
  });
}

}  // extern "C"
