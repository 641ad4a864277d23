#include "api/zezi_vidad.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "api/c_guard.h"
#include "api/version.h"
#include "base/failure.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"
#include "opener/open_failure.h"

namespace zezi {
namespace {

static_assert(ZEZI_VIDAD_SCALAR_SIZE == kScalarSize);
static_assert(ZEZI_VIDAD_PUBLIC_KEY_SIZE == kRawPublicKeySize);
static_assert(ZEZI_VIDAD_SSID_MAX_SIZE == kMaxSsidSize);
static_assert(ZEZI_VIDAD_PSK_LENGTH == kPskHexLength);

// Each status's text.
constexpr auto kStatusTexts = failureTable<zezi_vidad_status, const char*>(
    {
        {ZEZI_VIDAD_OK, "success"},
        {ZEZI_VIDAD_E_ARGUMENT, "a required argument is null"},
        {ZEZI_VIDAD_E_BUFFER_TOO_SMALL, "an output buffer is too small"},
        {ZEZI_VIDAD_E_NO_MEMORY, "out of memory"},
        {ZEZI_VIDAD_E_INTERNAL, "the random generator or the cryptographic library failed"},
        {ZEZI_VIDAD_E_PRIVATE_KEY, "private key is not a valid P-256 scalar"},
        {ZEZI_VIDAD_E_PUBLIC_KEY, "public key is not a point of P-256"},
        {ZEZI_VIDAD_E_SSID, "ssid is empty"},
        {ZEZI_VIDAD_E_PSK, "psk is not 64 lowercase hex characters"},
        {ZEZI_VIDAD_E_ENVELOPE_SYNTAX, "envelope is not a JSON object of at most 64 KiB"},
        {ZEZI_VIDAD_E_ENVELOPE_MEMBER,
         "envelope members are not format, eph_pub, salt, nonce and sealed, each once as a "
         "string"},
        {ZEZI_VIDAD_E_ENVELOPE_FORMAT, "envelope format is not tolvane-wifi-drive/v1"},
        {ZEZI_VIDAD_E_ENVELOPE_ENCODING, "envelope member is not canonical Base64"},
        {ZEZI_VIDAD_E_ENVELOPE_VALUE, "envelope value has the wrong size or is not a P-256 point"},
        {ZEZI_VIDAD_E_DOES_NOT_OPEN, "envelope does not open with this key"},
        {ZEZI_VIDAD_E_PAYLOAD,
         "payload is not one network of a 1 to 32 octet ssid and a 64 hex character psk"},
    },
    ZEZI_VIDAD_E_PAYLOAD);
static_assert(kStatusTexts.inOrder() && kStatusTexts.oneRowEach());
constexpr const char* kUnknownStatusText = "unknown status code";

// The status of a refused envelope: the step of the opening order that refused it. Each
// row's status holds for its failure and the ones after it, up to the next row's.
constexpr auto kStatusOfFailure = failureTable<OpenFailure, zezi_vidad_status>(
    {
        {OpenFailure::kNone, ZEZI_VIDAD_OK},
        {OpenFailure::kTooLarge, ZEZI_VIDAD_E_ENVELOPE_SYNTAX},
        {OpenFailure::kNoOutput, ZEZI_VIDAD_E_ARGUMENT},
        {OpenFailure::kNotJson, ZEZI_VIDAD_E_ENVELOPE_SYNTAX},
        {OpenFailure::kUnknownMember, ZEZI_VIDAD_E_ENVELOPE_MEMBER},
        {OpenFailure::kWrongFormat, ZEZI_VIDAD_E_ENVELOPE_FORMAT},
        {OpenFailure::kEphPubNotBase64, ZEZI_VIDAD_E_ENVELOPE_ENCODING},
        {OpenFailure::kBadEphemeralPoint, ZEZI_VIDAD_E_ENVELOPE_VALUE},
        {OpenFailure::kBadFleetScalar, ZEZI_VIDAD_E_PRIVATE_KEY},
        {OpenFailure::kKeyAgreementFailed, ZEZI_VIDAD_E_INTERNAL},
        {OpenFailure::kDoesNotOpen, ZEZI_VIDAD_E_DOES_NOT_OPEN},
        {OpenFailure::kDecryptionFailed, ZEZI_VIDAD_E_INTERNAL},
        {OpenFailure::kPayloadNotJson, ZEZI_VIDAD_E_PAYLOAD},
    },
    kLastOpenFailure);
static_assert(kStatusOfFailure.inOrder());

zezi_vidad_status statusOf(OpenFailure failure) {
  return kStatusOfFailure(failure, ZEZI_VIDAD_E_INTERNAL);
}

}  // namespace
}  // namespace zezi

// The device's half of the C interface: what libzezi_vidad_device has too.
extern "C" {

const char* zezi_vidad_version(void) {
  return ZEZI_VIDAD_VERSION_STRING;
}

const char* zezi_vidad_strerror(int status) {
  if (status < 0 || status > static_cast<int>(zezi::kStatusTexts.last)) {
    return zezi::kUnknownStatusText;
  }
  return zezi::kStatusTexts(static_cast<zezi_vidad_status>(status), zezi::kUnknownStatusText);
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
