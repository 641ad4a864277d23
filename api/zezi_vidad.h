// The C interface: seal and open envelopes, make fleet key pairs, name the errors.
//
// Each function that does work returns a zezi_vidad_status, ZEZI_VIDAD_OK (zero) on
// success. No exception leaves the library through these functions: running out of memory
// is ZEZI_VIDAD_E_NO_MEMORY. On any other status nothing is written to an output, except
// where a length output is said to give the size needed.
//
// Secrets written to a caller's buffer (a private scalar, a PSK) are the caller's to wipe
// when done, for instance with explicit_bzero or OPENSSL_cleanse. The library wipes its
// own copies.
//
// The device library (libzezi_vidad_device: ZeziVidad::device in CMake, zezi-vidad-device
// in pkg-config) has zezi_vidad_version, zezi_vidad_strerror and zezi_vidad_open only; the
// key pair and sealing calls are in the full library (zezi_vidad) alone.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "api/version.h"
#include "base/export.h"

#ifdef __cplusplus
extern "C" {
#endif

// A P-256 private scalar: 32 octets, unsigned big-endian, in [1, n - 1].
#define ZEZI_VIDAD_SCALAR_SIZE 32
// A P-256 public key in raw form: X then Y, each 32 octets big-endian.
#define ZEZI_VIDAD_PUBLIC_KEY_SIZE 64
// The longest SSID an envelope opens to.
#define ZEZI_VIDAD_SSID_MAX_SIZE 32
// A PSK: 64 lowercase hex characters; opened PSKs also get a terminating NUL.
#define ZEZI_VIDAD_PSK_LENGTH 64
#define ZEZI_VIDAD_PSK_BUFFER_SIZE (ZEZI_VIDAD_PSK_LENGTH + 1)
// Enough for the envelope, with its terminating NUL, of any SSID of up to 32 octets.
#define ZEZI_VIDAD_ENVELOPE_BUFFER_SIZE 1024

#if defined(__GNUC__) || defined(__clang__)
#define ZEZI_VIDAD_MUST_USE __attribute__((warn_unused_result))
#else
#define ZEZI_VIDAD_MUST_USE
#endif

typedef enum zezi_vidad_status {
  ZEZI_VIDAD_OK = 0,
  // A required pointer is null.
  ZEZI_VIDAD_E_ARGUMENT = 1,
  // An output buffer is too small; see the function for the size it needs.
  ZEZI_VIDAD_E_BUFFER_TOO_SMALL = 2,
  ZEZI_VIDAD_E_NO_MEMORY = 3,
  // The random generator or the cryptographic library failed.
  ZEZI_VIDAD_E_INTERNAL = 4,
  // The private scalar is not in [1, n - 1].
  ZEZI_VIDAD_E_PRIVATE_KEY = 5,
  // The public key is not a point of P-256.
  ZEZI_VIDAD_E_PUBLIC_KEY = 6,
  // The SSID to seal is empty.
  ZEZI_VIDAD_E_SSID = 7,
  // The PSK to seal is not 64 lowercase hex characters.
  ZEZI_VIDAD_E_PSK = 8,
  // Opening, one status per step of the format's opening order: the envelope is over
  // 64 KiB, not JSON or not an object; its members are not exactly the five, each once and
  // a string; its format is another; a binary member is not canonical Base64; a decoded
  // value has the wrong size or is not a point; the sealed payload does not authenticate
  // under this fleet key; the payload is not one network of an SSID of 1 to 32 octets and a
  // PSK of 64 lowercase hex characters.
  ZEZI_VIDAD_E_ENVELOPE_SYNTAX = 9,
  ZEZI_VIDAD_E_ENVELOPE_MEMBER = 10,
  ZEZI_VIDAD_E_ENVELOPE_FORMAT = 11,
  ZEZI_VIDAD_E_ENVELOPE_ENCODING = 12,
  ZEZI_VIDAD_E_ENVELOPE_VALUE = 13,
  ZEZI_VIDAD_E_DOES_NOT_OPEN = 14,
  ZEZI_VIDAD_E_PAYLOAD = 15
} zezi_vidad_status;

// The library's version, "MAJOR.MINOR.PATCH", which may differ from the header's
// ZEZI_VIDAD_VERSION_STRING when a shared library was replaced. Static storage.
ZEZI_VIDAD_EXPORT const char* zezi_vidad_version(void);

// A fixed, lowercase description of `status`, or of an unknown code. Static storage.
ZEZI_VIDAD_EXPORT const char* zezi_vidad_strerror(int status);

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

// Opens an envelope (any JSON layout) with the fleet's private scalar, as a device does.
// Writes the SSID's octets, which may include NUL, to `ssid_out` and their count to
// `*ssid_length_out`, and the PSK as 64 characters and a terminating NUL to `psk_out`.
// `psk_capacity` must be at least ZEZI_VIDAD_PSK_BUFFER_SIZE. An `ssid_capacity` of
// ZEZI_VIDAD_SSID_MAX_SIZE always suffices; a smaller one that the SSID does not fit gives
// ZEZI_VIDAD_E_BUFFER_TOO_SMALL with only `*ssid_length_out` written.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status
zezi_vidad_open(const char* envelope, size_t envelope_length,
                const uint8_t fleet_scalar[ZEZI_VIDAD_SCALAR_SIZE], uint8_t* ssid_out,
                size_t ssid_capacity, size_t* ssid_length_out, char* psk_out, size_t psk_capacity);

#ifdef __cplusplus
}
#endif
