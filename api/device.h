// The device's half of the C interface: open envelopes, signed ones against a trust list and
// the stored replay record, name the errors. Everything declared here is in both libraries,
// the device library (libzezi_vidad_device: ZeziVidad::device in CMake, zezi-vidad-device in
// pkg-config) and the full one (zezi_vidad), and nothing else is: a device program that
// includes this header alone cannot call a sealing function. <zezi_vidad/zezi_vidad.h>, the
// full library's C header, includes this one and adds key pairs and sealing.
//
// Each function that does work returns a zezi_vidad_status, ZEZI_VIDAD_OK (zero) on
// success, and zezi_vidad_status_class_of says what to do about any other. No exception
// leaves the library through these functions: running out of memory is
// ZEZI_VIDAD_E_NO_MEMORY. On any other status nothing is written to an output, except
// where a length output is said to give the size needed.
//
// Secrets written to a caller's buffer (a private scalar, a PSK) are the caller's to wipe
// when done, for instance with explicit_bzero or OPENSSL_cleanse. The library wipes its
// own copies.
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
// A trust list holds 1 to this many signer keys.
#define ZEZI_VIDAD_MAX_TRUSTED_SIGNERS 4
// A SHA-256 digest: a key id, a trust list's digest, an envelope's hash.
#define ZEZI_VIDAD_DIGEST_SIZE 32
// The replay record a device stores between signed envelopes: version 3 is what the library
// writes; records of version 2 (before sets) and 1 (before the record named its key by id)
// are still read.
#define ZEZI_VIDAD_REPLAY_RECORD_SIZE 1584
#define ZEZI_VIDAD_REPLAY_RECORD_V2_SIZE 160
#define ZEZI_VIDAD_REPLAY_RECORD_V1_SIZE 96

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
  ZEZI_VIDAD_E_PAYLOAD = 15,
  // The trust list's settings are not 1 to 4 distinct P-256 signer keys and a P-256 fleet
  // key that is none of them.
  ZEZI_VIDAD_E_TRUST_LIST = 16,
  // The opener's fleet scalar is not the private key of the trust list's fleet key.
  ZEZI_VIDAD_E_FLEET_KEY_MISMATCH = 17,
  // The signature checks of a signed envelope, one status per check in the order they run
  // (docs/format.md section 9), each with the message the C++ openSignedEnvelope writes.
  // The replay record does not decode, or names a key the trust list does not hold.
  ZEZI_VIDAD_E_REPLAY_STATE = 18,
  ZEZI_VIDAD_E_TRUST_LIST_DIFFERS = 19,
  ZEZI_VIDAD_E_SIGNATURE_MISSING = 20,
  ZEZI_VIDAD_E_SIGNATURE_FILE_TOO_LARGE = 21,
  ZEZI_VIDAD_E_SIGNATURE_FILE_NOT_JSON = 22,
  ZEZI_VIDAD_E_SIGNATURE_FILE_NOT_OBJECT = 23,
  ZEZI_VIDAD_E_SIGNATURE_FILE_UNKNOWN_MEMBER = 24,
  ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT_MISSING = 25,
  ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_MISSING = 26,
  ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_MISSING = 27,
  ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT_REPEATED = 28,
  ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_REPEATED = 29,
  ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_REPEATED = 30,
  ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT_NOT_STRING = 31,
  ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_NOT_STRING = 32,
  ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_NOT_STRING = 33,
  ZEZI_VIDAD_E_SIGNATURE_FILE_FORMAT = 34,
  ZEZI_VIDAD_E_SIGNATURE_FILE_STATEMENT_NOT_BASE64 = 35,
  ZEZI_VIDAD_E_SIGNATURE_FILE_SIGNATURE_NOT_BASE64 = 36,
  ZEZI_VIDAD_E_STATEMENT_SIZE = 37,
  ZEZI_VIDAD_E_SIGNATURE_SIZE = 38,
  ZEZI_VIDAD_E_UNKNOWN_SIGNER = 39,
  ZEZI_VIDAD_E_SUPERSEDED_SIGNER = 40,
  ZEZI_VIDAD_E_SIGNATURE_NOT_CANONICAL = 41,
  // The cryptographic library failed while checking the signature.
  ZEZI_VIDAD_E_SIGNATURE_UNCHECKED = 42,
  ZEZI_VIDAD_E_SIGNATURE_DOES_NOT_VERIFY = 43,
  ZEZI_VIDAD_E_OTHER_FLEET = 44,
  ZEZI_VIDAD_E_OTHER_ENVELOPE = 45,
  ZEZI_VIDAD_E_STATEMENT_MALFORMED = 46,
  ZEZI_VIDAD_E_SIGNATURE_EXPIRED = 47,
  ZEZI_VIDAD_E_SIGNATURE_NOT_YET_VALID = 48,
  ZEZI_VIDAD_E_SERIAL_OLDER = 49,
  ZEZI_VIDAD_E_SERIAL_REUSED = 50,
  // A fleet key held in a TPM (zezi_vidad_opener_new_from_reference), with the texts the
  // tool prints for each: the key provider (tpm2, or ZEZI_VIDAD_KEY_PROVIDER) is not
  // installed, or that variable names none; no TPM answers the provider; nothing usable at
  // the persistent handle; the wrapped key file does not load (made for another TPM, or
  // damaged); the key is not a P-256 key; the TPM refused the key operation (the agreement
  // of an opening too: the fleet key must be imported for decryption).
  ZEZI_VIDAD_E_KEY_PROVIDER = 51,
  ZEZI_VIDAD_E_TPM_UNREACHABLE = 52,
  ZEZI_VIDAD_E_KEY_HANDLE = 53,
  ZEZI_VIDAD_E_WRAPPED_KEY = 54,
  ZEZI_VIDAD_E_KEY_NOT_P256 = 55,
  ZEZI_VIDAD_E_TPM_REFUSED = 56,
  // The key reference is neither "handle:0x" and 1 to 8 hex digits nor the path of a
  // readable TPM-wrapped key file ("TSS2 PRIVATE KEY" PEM, at most 64 KiB).
  ZEZI_VIDAD_E_NOT_KEY_REFERENCE = 57,
  // Two more signature checks, after ZEZI_VIDAD_E_SERIAL_REUSED in their order: another
  // envelope of the current set when it holds ZEZI_VIDAD_MAX_SET_SIZE networks; and, once
  // the envelope has opened, another envelope of the set holds its SSID.
  ZEZI_VIDAD_E_SET_FULL = 58,
  ZEZI_VIDAD_E_SET_SSID_TAKEN = 59,
  // A file the device reads (zezi_vidad_opener_new_from_pem_file,
  // zezi_vidad_trust_list_new_from_file) is missing, is not a regular file, cannot be read,
  // or is larger than its kind may be (a key file 64 KiB, a trust list file 1 KiB).
  ZEZI_VIDAD_E_FILE = 60,
  // The fleet's private key file: it is not an unencrypted PEM private key ("EC PRIVATE KEY"
  // or PKCS#8 "PRIVATE KEY"; an encrypted key, a TPM-wrapped key, anything else); it holds a
  // public key where the private key belongs; its key is not of P-256.
  ZEZI_VIDAD_E_KEY_FILE_NOT_PEM = 61,
  ZEZI_VIDAD_E_KEY_FILE_PUBLIC = 62,
  ZEZI_VIDAD_E_KEY_FILE_NOT_P256 = 63,
  // The trust list file (docs/format.md 9.9), one status per fault in the order the reading
  // meets them, each with the message the tool prints: a byte order mark; a CR; no line
  // feed at the end; another first line; line 2, 3 or 4 is not "version", "serial-floor" or
  // "time-floor" and a whole number; a time floor of 0; no signer line; more than 4; a line
  // that is not "signer" and 130 lowercase hex characters; a signer key that does not start
  // with 04.
  ZEZI_VIDAD_E_TRUST_LIST_FILE_BYTE_ORDER_MARK = 64,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_CARRIAGE_RETURN = 65,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_NO_FINAL_LINE_FEED = 66,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_FIRST_LINE = 67,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_VERSION = 68,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_SERIAL_FLOOR = 69,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_TIME_FLOOR = 70,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_TIME_FLOOR_ZERO = 71,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_NO_SIGNER = 72,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_TOO_MANY_SIGNERS = 73,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_SIGNER_LINE = 74,
  ZEZI_VIDAD_E_TRUST_LIST_FILE_SIGNER_NOT_UNCOMPRESSED = 75
} zezi_vidad_status;

// The last status there is; zezi_vidad_strerror gives any larger code the unknown text.
#define ZEZI_VIDAD_STATUS_LAST ZEZI_VIDAD_E_TRUST_LIST_FILE_SIGNER_NOT_UNCOMPRESSED

// What a caller does about a status: each status is in one class, which
// zezi_vidad_status_class_of gives, so that firmware can switch on the few classes and log
// zezi_vidad_strerror's text for the detail. The statuses keep their numbers; a status added
// later comes with its class.
typedef enum zezi_vidad_status_class {
  // ZEZI_VIDAD_OK: use what the call wrote.
  ZEZI_VIDAD_CLASS_OK = 0,
  // The call itself is wrong: a null pointer, a buffer too small (the length output gives the
  // size needed), an SSID or PSK that cannot be sealed, or a code that is no status. Fix the
  // caller; the same call fails again.
  ZEZI_VIDAD_CLASS_ARGUMENT = 1,
  // Out of memory, or the random generator or the cryptographic library failed, checking a
  // signature included. Nothing is wrong with the inputs: try again later.
  ZEZI_VIDAD_CLASS_RESOURCE = 2,
  // The device's own setup: its fleet key (a scalar, a key file, a TPM and its key), its trust
  // list or its file, a fleet key that is not the trust list's, or a stored replay record that
  // does not decode or belongs to another list. No envelope opens until it is fixed: stop and
  // report, rather than try the next envelope.
  ZEZI_VIDAD_CLASS_SETUP = 3,
  // The envelope or its signature file is damaged, forged, or sealed for another key: any
  // fault of their text, a signature that does not verify or is not canonical, a statement for
  // another envelope. Skip it and report it; the other envelopes may open.
  ZEZI_VIDAD_CLASS_DAMAGED = 4,
  // Whole, but not for this device to take: no signature file where one is required, a signer
  // the trust list does not hold or has superseded, a statement for another fleet. Skip it
  // and report it (an old trust list, or a drive of someone else's).
  ZEZI_VIDAD_CLASS_UNTRUSTED = 5,
  // Signed by a trusted signer but refused by the replay state or the clock: expired, not yet
  // valid, a serial older than or used before what the device holds, a set that is full or
  // holds the SSID from another envelope. Skip it: an old drive, nothing to repair.
  ZEZI_VIDAD_CLASS_STALE = 6
} zezi_vidad_status_class;

// The library's version, "MAJOR.MINOR.PATCH", which may differ from the header's
// ZEZI_VIDAD_VERSION_STRING when a shared library was replaced. Static storage.
ZEZI_VIDAD_EXPORT const char* zezi_vidad_version(void);

// A fixed, lowercase description of `status`, or of an unknown code. Static storage.
ZEZI_VIDAD_EXPORT const char* zezi_vidad_strerror(int status);

// The class of `status`: ZEZI_VIDAD_CLASS_OK for ZEZI_VIDAD_OK alone, and
// ZEZI_VIDAD_CLASS_ARGUMENT for a code that is no status.
ZEZI_VIDAD_EXPORT zezi_vidad_status_class zezi_vidad_status_class_of(int status);

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

// ---- Signed envelopes: what `zezi-vidad apply` does on a device, short of writing files.

// The fleet's private key, a scalar or a TPM-held key, checked and loaded once for any number
// of openings. Never changed once made, so one opener may be used by many threads at once.
typedef struct zezi_vidad_opener zezi_vidad_opener;

// The signer keys a device accepts, from its firmware, loaded once. Never changed after
// zezi_vidad_trust_list_new; calls that use one list from several threads at once should
// hold a lock of their own.
typedef struct zezi_vidad_trust_list zezi_vidad_trust_list;

typedef enum zezi_vidad_signature_policy {
  // An envelope without a signature file is refused.
  ZEZI_VIDAD_SIGNATURE_REQUIRED = 0,
  // ... accepted until a signed envelope has been accepted; no state is kept for it.
  ZEZI_VIDAD_SIGNATURE_TRANSITION = 1
} zezi_vidad_signature_policy;

// The most networks one set holds: the envelopes signed with one serial.
#define ZEZI_VIDAD_MAX_SET_SIZE 16

// A network of the set a device holds (docs/format.md 9.5).
typedef struct zezi_vidad_set_member {
  uint8_t envelope_sha256[ZEZI_VIDAD_DIGEST_SIZE];  // the envelope it came from
  uint64_t issued_at;                               // 0 while unknown (from an older record)
  uint64_t expires_at;                              // likewise
  uint8_t ssid[ZEZI_VIDAD_SSID_MAX_SIZE];           // octets, not text
  size_t ssid_length;  // 0 while unknown: learnt when its envelope is opened again
} zezi_vidad_set_member;

// The fields of a replay record. Integers are host order; digests are SHA-256 values.
typedef struct zezi_vidad_replay_state {
  uint64_t trust_list_version;                        // the trust list it was written under
  uint8_t trust_list_digest[ZEZI_VIDAD_DIGEST_SIZE];  // and that list's digest
  uint8_t key_id[ZEZI_VIDAD_DIGEST_SIZE];             // the highest accepted signer key
  uint64_t highest_serial;                            // of that key
  uint64_t time_floor;  // of that key: its last accepted issued_at, or later
  // The set: the networks of the newest accepted serial, the key that signed them (zeros
  // until a signed envelope is accepted), and whether it was accepted under an older list.
  uint8_t set_key_id[ZEZI_VIDAD_DIGEST_SIZE];
  uint64_t set_serial;
  int set_carried;
  size_t set_size;
  zezi_vidad_set_member set[ZEZI_VIDAD_MAX_SET_SIZE];
  // Nonzero only for a version-1 record, which names its key by `legacy_key_index` in the
  // trust list and holds no key id or digest (those two are zeros).
  int legacy;
  uint16_t legacy_key_index;
} zezi_vidad_replay_state;

// An opener for the fleet's private scalar, which the library copies and wipes when the
// opener is freed: ZEZI_VIDAD_E_PRIVATE_KEY unless it is in [1, n - 1]. Free it with
// zezi_vidad_opener_free.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_opener_new(
    const uint8_t fleet_scalar[ZEZI_VIDAD_SCALAR_SIZE], zezi_vidad_opener** opener_out);

// An opener for a fleet key that a TPM holds and never releases: `key_reference` is
// "handle:0x81000001" (a persistent handle) or the path of a TPM-wrapped key file, as
// tools/tpm-import-fleet-key.sh makes them (docs/tpm.md). The key is loaded once, through the
// OpenSSL provider that ZEZI_VIDAD_KEY_PROVIDER names (tpm2 when unset), in a library context
// of the opener's own; that provider finds its TPM as TPM2OPENSSL_TCTI says. Each opening is
// then one key agreement inside the TPM. Failures: ZEZI_VIDAD_E_NOT_KEY_REFERENCE (a plain PEM
// key file is one too: it goes to zezi_vidad_opener_new_from_pem_file), then
// ZEZI_VIDAD_E_KEY_PROVIDER to ZEZI_VIDAD_E_TPM_REFUSED as the provider reports. The TSS libraries
// under the provider log to standard error as TSS2_LOG says. Free it with zezi_vidad_opener_free.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status
zezi_vidad_opener_new_from_reference(const char* key_reference, zezi_vidad_opener** opener_out);

// An opener for the fleet's private key in the PEM file at `path`, as `zezi-vidad keygen` and
// openssl write it: unencrypted PKCS#8 ("PRIVATE KEY") or SEC1 ("EC PRIVATE KEY") of P-256, at
// most 64 KiB. The library wipes its copies of the file's text and of the scalar. Failures, in
// the order they are found: ZEZI_VIDAD_E_FILE; ZEZI_VIDAD_E_KEY_FILE_PUBLIC for a PEM public key
// and ZEZI_VIDAD_E_KEY_FILE_NOT_PEM for anything else that is no PEM private key (a TPM-wrapped
// key file goes to zezi_vidad_opener_new_from_reference); ZEZI_VIDAD_E_KEY_FILE_NOT_P256;
// ZEZI_VIDAD_E_PRIVATE_KEY for a scalar outside [1, n - 1]. Free it with zezi_vidad_opener_free.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status
zezi_vidad_opener_new_from_pem_file(const char* path, zezi_vidad_opener** opener_out);

// The fleet's raw public key, of an opener's key however it was made: what a trust list
// names as its fleet key (zezi_vidad_trust_list_new_from_file takes it).
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_opener_public_key(
    const zezi_vidad_opener* opener, uint8_t public_key_out[ZEZI_VIDAD_PUBLIC_KEY_SIZE]);

// Frees an opener; NULL is allowed.
ZEZI_VIDAD_EXPORT void zezi_vidad_opener_free(zezi_vidad_opener* opener);

// zezi_vidad_open with an opener's key instead of a scalar: the same checks, statuses and
// outputs, and ZEZI_VIDAD_E_TPM_REFUSED when a TPM-held key's agreement is refused.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status
zezi_vidad_open_with(const zezi_vidad_opener* opener, const char* envelope, size_t envelope_length,
                     uint8_t* ssid_out, size_t ssid_capacity, size_t* ssid_length_out,
                     char* psk_out, size_t psk_capacity);

// A trust list: `signer_count` raw public keys of ZEZI_VIDAD_PUBLIC_KEY_SIZE octets each,
// one after the other in `signer_keys`, index 0 the current signer and the others its
// successors; the fleet's raw public key; the list's version (a higher one starts the replay
// state afresh); the serial floor (serials of signer 0 up to it count as used) and the time
// floor (Unix seconds: nothing expiring by then passes). ZEZI_VIDAD_E_TRUST_LIST for 0 or
// more than ZEZI_VIDAD_MAX_TRUSTED_SIGNERS keys, a key that is not a point of P-256, a key
// given twice or a signer key equal to the fleet key. Free it with zezi_vidad_trust_list_free.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_trust_list_new(
    const uint8_t* signer_keys, size_t signer_count,
    const uint8_t fleet_public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE], uint64_t version,
    uint64_t serial_floor, uint64_t time_floor, zezi_vidad_trust_list** trust_list_out);

// A trust list from the file at `path` as firmware ships it (docs/format.md 9.9; at most
// 1 KiB, the format `zezi-vidad` reads with --trust-list) and the fleet's raw public key,
// which the file does not hold (zezi_vidad_opener_public_key gives it). Failures:
// ZEZI_VIDAD_E_FILE; the ZEZI_VIDAD_E_TRUST_LIST_FILE_* status of the first fault of the
// text; then ZEZI_VIDAD_E_TRUST_LIST as zezi_vidad_trust_list_new gives it. Free it with
// zezi_vidad_trust_list_free.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_trust_list_new_from_file(
    const char* path, const uint8_t fleet_public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE],
    zezi_vidad_trust_list** trust_list_out);

// Frees a trust list; NULL is allowed.
ZEZI_VIDAD_EXPORT void zezi_vidad_trust_list_free(zezi_vidad_trust_list* trust_list);

// Opens a signed envelope as a device does: checks the signature file against the trust
// list and the stored replay record, then opens the envelope with the opener, whose key
// must be the trust list's fleet key (a TPM that refuses its agreement: ZEZI_VIDAD_E_TPM_REFUSED).
//
// `envelope` and `signature` are the exact octets of the envelope file and of the `.sig`
// file beside it; a NULL `signature` means there is no signature file, which `policy`
// decides about. `now` points to a trusted current time in Unix seconds, or is NULL when
// the device has no trusted clock. `record` is the stored replay record (either version);
// a `record_length` of 0 means none is stored yet (a fresh device), and a record that does
// not decode gives ZEZI_VIDAD_E_REPLAY_STATE.
//
// On ZEZI_VIDAD_OK writes the SSID and PSK as zezi_vidad_open does, and the record to store:
// `*record_length_out` is ZEZI_VIDAD_REPLAY_RECORD_SIZE when `record_out` holds a new
// record, or 0 when the stored record stays as it is (an envelope of the set, read again,
// or an unsigned envelope the transition policy let in). On any other status nothing is
// written; the buffer statuses are those of zezi_vidad_open.
//
// Every envelope passes every check each time, those of the set the device holds
// included. The envelopes signed with one serial are one set, and the device holds the
// networks of the newest set alone. So read a drive as a whole: call this for each of its
// envelopes in turn, passing the record the call before gave (or the stored one), and
// write each network; then remove the networks that the stored record's set holds and the
// last record's set does not (compare the SSIDs zezi_vidad_replay_record_decode gives);
// then store the last record durably, and only then use the networks.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_open_signed(
    const zezi_vidad_opener* opener, const zezi_vidad_trust_list* trust_list, const char* envelope,
    size_t envelope_length, const char* signature, size_t signature_length,
    zezi_vidad_signature_policy policy, const uint64_t* now, const uint8_t* record,
    size_t record_length, uint8_t record_out[ZEZI_VIDAD_REPLAY_RECORD_SIZE],
    size_t* record_length_out, uint8_t* ssid_out, size_t ssid_capacity, size_t* ssid_length_out,
    char* psk_out, size_t psk_capacity);

// The fields of a stored record of either version: ZEZI_VIDAD_E_REPLAY_STATE for any other
// length, magic, record version or checksum.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_replay_record_decode(
    const uint8_t* record, size_t record_length, zezi_vidad_replay_state* state_out);

// The record of `state`: version 3 (ZEZI_VIDAD_REPLAY_RECORD_SIZE octets), or version 1
// (ZEZI_VIDAD_REPLAY_RECORD_V1_SIZE) again for a legacy state; its length goes to
// `*record_length_out`. ZEZI_VIDAD_E_REPLAY_STATE for a state no record can hold: more than
// ZEZI_VIDAD_MAX_SET_SIZE networks, an SSID over 32 octets, two networks with the same
// envelope or SSID, networks without a set key, or a legacy state of more than one.
ZEZI_VIDAD_EXPORT ZEZI_VIDAD_MUST_USE zezi_vidad_status zezi_vidad_replay_record_encode(
    const zezi_vidad_replay_state* state, uint8_t record_out[ZEZI_VIDAD_REPLAY_RECORD_SIZE],
    size_t* record_length_out);

#ifdef __cplusplus
}
#endif
