// The C interface of the full library (zezi_vidad): everything the device's half
// (<zezi_vidad/device.h>, included here) declares, and key pairs and sealing, which the
// device library (zezi_vidad_device) does not have. The conventions of statuses, outputs and
// secrets are those of <zezi_vidad/device.h>.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "api/device.h"

#ifdef __cplusplus
extern "C" {
#endif

// Enough for the envelope, with its terminating NUL, of any SSID of up to 32 octets.
#define ZEZI_VIDAD_ENVELOPE_BUFFER_SIZE 1024

// A fresh fleet key pair. The scalar is secret: it goes into the devices' firmware.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_generate_key_pair(
    uint8_t scalar_out[ZEZI_VIDAD_SCALAR_SIZE], uint8_t public_key_out[ZEZI_VIDAD_PUBLIC_KEY_SIZE]);

// The public key of a private scalar.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status
zezi_vidad_public_key(const uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE],
                      uint8_t public_key_out[ZEZI_VIDAD_PUBLIC_KEY_SIZE]);

// Seals one network for the holder of the fleet private key. `ssid` is 1 or more octets
// (longer than 32 seals, but no device opens it); `psk` is `psk_length` characters, which
// must be 64 lowercase hex digits. Writes the envelope text and a terminating NUL to
// `envelope_out` and its length without the NUL to `*envelope_length_out`. When
// `envelope_capacity` is too small, returns ZEZI_VIDAD_E_BUFFER_TOO_SMALL with only
// `*envelope_length_out` written: a buffer of that length plus one is enough.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status
zezi_vidad_seal(const uint8_t fleet_public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE], const uint8_t* ssid,
                size_t ssid_length, const char* psk, size_t psk_length, char* envelope_out,
                size_t envelope_capacity, size_t* envelope_length_out);

#ifdef __cplusplus
}
#endif
