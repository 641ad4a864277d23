// The sealing half of the C interface: key pairs and sealing, in the full library only.
#include "api/zezi_vidad.h"

#include <cstring>
#include <string>
#include <string_view>

#include "api/c_guard.h"
#include "crypto/p256_keys.h"
#include "crypto/types.h"
#include "encoding/hex.h"
#include "sealer/builder.h"
#include "sealer/key_files.h"

extern "C" {

zezi_vidad_status zezi_vidad_generate_key_pair(uint8_t scalar_out[ZEZI_VIDAD_SCALAR_SIZE],
                                               uint8_t public_key_out[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  return zezi::guarded([&] {
    if (scalar_out == nullptr || public_key_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    zezi::Bytes scalar;
    zezi::Bytes publicKey;
    if (!zezi::generateKeyPair(&scalar, &publicKey)) {
      return ZEZI_VIDAD_E_INTERNAL;
    }
    std::memcpy(scalar_out, scalar.data(), scalar.size());
    std::memcpy(public_key_out, publicKey.data(), publicKey.size());
    return ZEZI_VIDAD_OK;
  });
}

zezi_vidad_status zezi_vidad_public_key(const uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE],
                                        uint8_t public_key_out[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  return zezi::guarded([&] {
    if (scalar == nullptr || public_key_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    const zezi::Bytes ownScalar = zezi::octets(scalar, zezi::kScalarSize);
    if (!zezi::isUsableScalar(ownScalar)) {
      return ZEZI_VIDAD_E_PRIVATE_KEY;
    }
    const zezi::Bytes publicKey = zezi::publicKeyOfScalar(ownScalar);
    if (publicKey.size() != zezi::kRawPublicKeySize) {
      return ZEZI_VIDAD_E_INTERNAL;
    }
    std::memcpy(public_key_out, publicKey.data(), publicKey.size());
    return ZEZI_VIDAD_OK;
  });
}

zezi_vidad_status zezi_vidad_seal(const uint8_t fleet_public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE],
                                  const uint8_t* ssid, size_t ssid_length, const char* psk,
                                  size_t psk_length, char* envelope_out, size_t envelope_capacity,
                                  size_t* envelope_length_out) {
  return zezi::guarded([&] {
    if (fleet_public_key == nullptr || (ssid == nullptr && ssid_length > 0) ||
        (psk == nullptr && psk_length > 0) || envelope_out == nullptr ||
        envelope_length_out == nullptr) {
      return ZEZI_VIDAD_E_ARGUMENT;
    }
    const zezi::Bytes fleetKey = zezi::octets(fleet_public_key, zezi::kRawPublicKeySize);
    if (!zezi::loadPublicKey(fleetKey)) {
      return ZEZI_VIDAD_E_PUBLIC_KEY;
    }
    const std::string_view pskText(psk, psk_length);
    if (!zezi::isLowercaseHex(pskText, zezi::kPskSize)) {
      return ZEZI_VIDAD_E_PSK;
    }
    if (ssid_length == 0) {
      return ZEZI_VIDAD_E_SSID;
    }
    const std::string_view ssidText(reinterpret_cast<const char*>(ssid), ssid_length);
    std::string envelope;
    if (!zezi::buildEnvelope(ssidText, pskText, fleetKey, &envelope, nullptr)) {
      return ZEZI_VIDAD_E_INTERNAL;
    }
    *envelope_length_out = envelope.size();
    if (envelope.size() >= envelope_capacity) {
      return ZEZI_VIDAD_E_BUFFER_TOO_SMALL;
    }
    std::memcpy(envelope_out, envelope.c_str(), envelope.size() + 1);
    return ZEZI_VIDAD_OK;
  });
}

}  // extern "C"
