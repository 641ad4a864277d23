// The C interface from a program written in C11, as device firmware would use it: built
// in the suite against the staged public headers, and by tools/check-install.sh against an
// installed tree. Prints one line per failed check and exits 1 if there was any. With
// ZEZI_VIDAD_DEVICE_ONLY defined it makes only the device library's calls (open, strerror,
// version), and links against that library alone.
#include <openssl/crypto.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

// zezi_vidad.h alone: it names ZEZI_VIDAD_VERSION_STRING, so it brings version.h.
#include <zezi_vidad/zezi_vidad.h>

static int failures = 0;

#define CHECK(condition)                                                   \
  do {                                                                     \
    if (!(condition)) {                                                    \
      printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                          \
    }                                                                      \
  } while (0)

#define CHECK_STATUS(call, expected)                                                        \
  do {                                                                                      \
    const zezi_vidad_status got_ = (call);                                                  \
    if (got_ != (expected)) {                                                               \
      printf("%s:%d: %s gave %d (%s), expected %s\n", __FILE__, __LINE__, #call, (int)got_, \
             zezi_vidad_strerror(got_), #expected);                                         \
      ++failures;                                                                           \
    }                                                                                       \
  } while (0)

// Order n of the P-256 group: the first scalar that is not a key.
static const uint8_t group_order[ZEZI_VIDAD_SCALAR_SIZE] = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};

struct opened {
  uint8_t ssid[ZEZI_VIDAD_SSID_MAX_SIZE];
  size_t ssid_length;
  char psk[ZEZI_VIDAD_PSK_BUFFER_SIZE];
};

static void fill(struct opened* out) {
  memset(out, 0x5a, sizeof *out);
}

// Whether a refused opening left every output as fill() made it.
static int untouched(const struct opened* out) {
  struct opened filled;
  fill(&filled);
  return memcmp(out, &filled, sizeof filled) == 0;
}

static zezi_vidad_status open_into(const char* envelope, size_t length,
                                   const uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE],
                                   struct opened* out) {
  fill(out);
  return zezi_vidad_open(envelope, length, scalar, out->ssid, sizeof out->ssid, &out->ssid_length,
                         out->psk, sizeof out->psk);
}

// A published vector (tests/vectors/envelopes.json, "valid-plain-ssid"): an envelope sealed
// elsewhere, which the device side alone opens to a known network.
static const uint8_t vector_scalar[ZEZI_VIDAD_SCALAR_SIZE] = {
    0xab, 0x6b, 0x56, 0x55, 0x27, 0xc7, 0xd2, 0x94, 0x32, 0x78, 0xc6, 0x2a, 0x41, 0x10, 0xc3, 0x5c,
    0xe4, 0x46, 0xc7, 0xb3, 0x87, 0x6b, 0x4d, 0x42, 0xce, 0x05, 0x57, 0x7b, 0x2e, 0x81, 0xaf, 0xaf,
};
static const char vector_envelope[] =
    "{\n"
    "  \"format\": \"tolvane-wifi-drive/v1\",\n"
    "  \"eph_pub\": "
    "\"BCz1CTe08Xk7QYzErmZyJm7fwrmklIIN2th5tz/7BOjtuJOGlBzXgRDWtAvtF/hLuUAD0Tp/"
    "y4Li3bGsuOYrYXA=\",\n"
    "  \"salt\": \"HcpTvZrGsK62lJIzgSpdSw==\",\n"
    "  \"nonce\": \"xOnVY6dTL0DTHH7Y\",\n"
    "  \"sealed\": "
    "\"tbIuL1yb/Z6wGzdo186KIw9vDDW8auARkFtYMHUcTrnGwIU/"
    "cgtp4+70RvysiK9Dugpi9nR9IZWN0MtNzSfobhOpkEiU/"
    "T346ti0KIjWS16dFlGSse2s9tJN5qj4xpV10dSRsagd1elZm8hzRcip+WmHH1+BMst9IOdvRcs=\"\n"
    "}\n";
static const char vector_ssid[] = "Tournament";
static const char vector_psk[] = "d4b8bd9cbea7d29f65747d41124baab829800db18ef09a911f6fa54b6c007af5";

static void check_known_envelope(void) {
  const size_t length = strlen(vector_envelope);
  struct opened out;
  CHECK_STATUS(open_into(vector_envelope, length, vector_scalar, &out), ZEZI_VIDAD_OK);
  CHECK(out.ssid_length == strlen(vector_ssid) &&
        memcmp(out.ssid, vector_ssid, out.ssid_length) == 0);
  CHECK(strcmp(out.psk, vector_psk) == 0);
  OPENSSL_cleanse(&out, sizeof out);

  // Another key, a scalar that is no key, a cut text, no scalar: refused, nothing written.
  uint8_t other_scalar[ZEZI_VIDAD_SCALAR_SIZE];
  memcpy(other_scalar, vector_scalar, sizeof other_scalar);
  other_scalar[ZEZI_VIDAD_SCALAR_SIZE - 1] ^= 0x01;
  CHECK_STATUS(open_into(vector_envelope, length, other_scalar, &out), ZEZI_VIDAD_E_DOES_NOT_OPEN);
  CHECK(untouched(&out));
  CHECK_STATUS(open_into(vector_envelope, length, group_order, &out), ZEZI_VIDAD_E_PRIVATE_KEY);
  CHECK(untouched(&out));
  CHECK_STATUS(open_into(vector_envelope, length - 3, vector_scalar, &out),
               ZEZI_VIDAD_E_ENVELOPE_SYNTAX);
  CHECK(untouched(&out));
  CHECK_STATUS(open_into(vector_envelope, length, NULL, &out), ZEZI_VIDAD_E_ARGUMENT);
}

static void check_version_and_texts(void) {
  CHECK(strcmp(zezi_vidad_version(), ZEZI_VIDAD_VERSION_STRING) == 0);
  // Every status has its own text; anything else has one shared text.
  for (int status = ZEZI_VIDAD_OK; status <= ZEZI_VIDAD_E_PAYLOAD; ++status) {
    const char* text = zezi_vidad_strerror(status);
    CHECK(text != NULL && text[0] != '\0');
    CHECK(strcmp(text, zezi_vidad_strerror(-1)) != 0);
    for (int other = ZEZI_VIDAD_OK; other < status; ++other) {
      CHECK(strcmp(text, zezi_vidad_strerror(other)) != 0);
    }
  }
  CHECK(strcmp(zezi_vidad_strerror(ZEZI_VIDAD_E_PAYLOAD + 1), zezi_vidad_strerror(-1)) == 0);
}

#ifndef ZEZI_VIDAD_DEVICE_ONLY
static const char psk[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

static void check_keys(uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE],
                       uint8_t public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  CHECK_STATUS(zezi_vidad_generate_key_pair(scalar, public_key), ZEZI_VIDAD_OK);
  uint8_t again[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  CHECK_STATUS(zezi_vidad_public_key(scalar, again), ZEZI_VIDAD_OK);
  CHECK(memcmp(again, public_key, sizeof again) == 0);

  uint8_t other_scalar[ZEZI_VIDAD_SCALAR_SIZE];
  uint8_t other_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  CHECK_STATUS(zezi_vidad_generate_key_pair(other_scalar, other_key), ZEZI_VIDAD_OK);
  CHECK(memcmp(other_scalar, scalar, sizeof other_scalar) != 0);

  uint8_t untouched[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  memset(untouched, 0x77, sizeof untouched);
  CHECK_STATUS(zezi_vidad_public_key(group_order, untouched), ZEZI_VIDAD_E_PRIVATE_KEY);
  const uint8_t zero[ZEZI_VIDAD_SCALAR_SIZE] = {0};
  CHECK_STATUS(zezi_vidad_public_key(zero, untouched), ZEZI_VIDAD_E_PRIVATE_KEY);
  CHECK(untouched[0] == 0x77 && untouched[ZEZI_VIDAD_PUBLIC_KEY_SIZE - 1] == 0x77);
  CHECK_STATUS(zezi_vidad_public_key(NULL, untouched), ZEZI_VIDAD_E_ARGUMENT);
  CHECK_STATUS(zezi_vidad_generate_key_pair(NULL, untouched), ZEZI_VIDAD_E_ARGUMENT);
}

static void check_round_trip(const uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE],
                             const uint8_t public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  // NUL, quote and backslash inside; 32 octets, the most a device takes.
  uint8_t ssid[ZEZI_VIDAD_SSID_MAX_SIZE];
  for (size_t i = 0; i < sizeof ssid; ++i) {
    ssid[i] = (uint8_t)(i * 37);
  }
  ssid[1] = '"';
  ssid[2] = '\\';
  char envelope[ZEZI_VIDAD_ENVELOPE_BUFFER_SIZE];
  size_t length = 0;
  CHECK_STATUS(zezi_vidad_seal(public_key, ssid, sizeof ssid, psk, strlen(psk), envelope,
                               sizeof envelope, &length),
               ZEZI_VIDAD_OK);
  CHECK(length == strlen(envelope));

  struct opened out;
  CHECK_STATUS(open_into(envelope, length, scalar, &out), ZEZI_VIDAD_OK);
  CHECK(out.ssid_length == sizeof ssid && memcmp(out.ssid, ssid, sizeof ssid) == 0);
  CHECK(strcmp(out.psk, psk) == 0);

  // One octet altered anywhere in the sealed text, or another key: nothing opens.
  uint8_t other_scalar[ZEZI_VIDAD_SCALAR_SIZE];
  uint8_t other_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  CHECK_STATUS(zezi_vidad_generate_key_pair(other_scalar, other_key), ZEZI_VIDAD_OK);
  CHECK_STATUS(open_into(envelope, length, other_scalar, &out), ZEZI_VIDAD_E_DOES_NOT_OPEN);
  CHECK(untouched(&out));
  OPENSSL_cleanse(other_scalar, sizeof other_scalar);
  CHECK_STATUS(open_into(envelope, length, group_order, &out), ZEZI_VIDAD_E_PRIVATE_KEY);
  CHECK(untouched(&out));
  CHECK_STATUS(open_into(envelope, length / 2, scalar, &out), ZEZI_VIDAD_E_ENVELOPE_SYNTAX);
  CHECK_STATUS(open_into("{}", 2, scalar, &out), ZEZI_VIDAD_E_ENVELOPE_MEMBER);
  CHECK(untouched(&out));
  // The caller wipes the PSK it was given.
  CHECK_STATUS(open_into(envelope, length, scalar, &out), ZEZI_VIDAD_OK);
  OPENSSL_cleanse(&out, sizeof out);
}

// The envelope of the longest SSID that escapes most fits the documented buffer size.
static void check_buffer_sizes(const uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE],
                               const uint8_t public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  uint8_t controls[ZEZI_VIDAD_SSID_MAX_SIZE];
  memset(controls, 0x01, sizeof controls);
  char envelope[ZEZI_VIDAD_ENVELOPE_BUFFER_SIZE];
  size_t length = 0;
  CHECK_STATUS(zezi_vidad_seal(public_key, controls, sizeof controls, psk, strlen(psk), envelope,
                               sizeof envelope, &length),
               ZEZI_VIDAD_OK);

  // One octet short of the text and its NUL: the length needed, nothing else written.
  char small[ZEZI_VIDAD_ENVELOPE_BUFFER_SIZE];
  memset(small, 0x5a, sizeof small);
  size_t needed = 0;
  CHECK_STATUS(zezi_vidad_seal(public_key, controls, sizeof controls, psk, strlen(psk), small,
                               length, &needed),
               ZEZI_VIDAD_E_BUFFER_TOO_SMALL);
  CHECK(needed == length && small[0] == 0x5a);

  uint8_t ssid[ZEZI_VIDAD_SSID_MAX_SIZE - 1];
  char opened_psk[ZEZI_VIDAD_PSK_BUFFER_SIZE];
  size_t ssid_length = 0;
  memset(opened_psk, 0x5a, sizeof opened_psk);
  CHECK_STATUS(zezi_vidad_open(envelope, length, scalar, ssid, sizeof ssid, &ssid_length,
                               opened_psk, sizeof opened_psk),
               ZEZI_VIDAD_E_BUFFER_TOO_SMALL);
  CHECK(ssid_length == ZEZI_VIDAD_SSID_MAX_SIZE && opened_psk[0] == 0x5a);
  CHECK_STATUS(zezi_vidad_open(envelope, length, scalar, ssid, sizeof ssid, &ssid_length,
                               opened_psk, ZEZI_VIDAD_PSK_LENGTH),
               ZEZI_VIDAD_E_BUFFER_TOO_SMALL);
}

static void check_refused_inputs(const uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE],
                                 const uint8_t public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  const uint8_t ssid[] = "Office";
  char envelope[ZEZI_VIDAD_ENVELOPE_BUFFER_SIZE];
  size_t length = 0;
  uint8_t off_curve[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  memcpy(off_curve, public_key, sizeof off_curve);
  off_curve[ZEZI_VIDAD_PUBLIC_KEY_SIZE - 1] ^= 0x01;
  CHECK_STATUS(
      zezi_vidad_seal(off_curve, ssid, 6, psk, strlen(psk), envelope, sizeof envelope, &length),
      ZEZI_VIDAD_E_PUBLIC_KEY);
  CHECK_STATUS(zezi_vidad_seal(public_key, ssid, 6, psk, strlen(psk) - 1, envelope, sizeof envelope,
                               &length),
               ZEZI_VIDAD_E_PSK);
  char upper_psk[sizeof psk];
  memcpy(upper_psk, psk, sizeof psk);
  upper_psk[10] = 'A';
  CHECK_STATUS(zezi_vidad_seal(public_key, ssid, 6, upper_psk, strlen(upper_psk), envelope,
                               sizeof envelope, &length),
               ZEZI_VIDAD_E_PSK);
  CHECK_STATUS(
      zezi_vidad_seal(public_key, ssid, 0, psk, strlen(psk), envelope, sizeof envelope, &length),
      ZEZI_VIDAD_E_SSID);
  CHECK_STATUS(zezi_vidad_seal(public_key, ssid, 6, psk, strlen(psk), NULL, 0, &length),
               ZEZI_VIDAD_E_ARGUMENT);

  // Sealed, since the sealing side takes any length, but no device opens it.
  uint8_t long_ssid[ZEZI_VIDAD_SSID_MAX_SIZE + 1];
  memset(long_ssid, 'w', sizeof long_ssid);
  CHECK_STATUS(zezi_vidad_seal(public_key, long_ssid, sizeof long_ssid, psk, strlen(psk), envelope,
                               sizeof envelope, &length),
               ZEZI_VIDAD_OK);
  struct opened out;
  CHECK_STATUS(open_into(envelope, length, scalar, &out), ZEZI_VIDAD_E_PAYLOAD);
  CHECK(untouched(&out));
  CHECK_STATUS(open_into(NULL, 0, scalar, &out), ZEZI_VIDAD_E_ENVELOPE_SYNTAX);
  CHECK_STATUS(open_into(envelope, length, NULL, &out), ZEZI_VIDAD_E_ARGUMENT);
}

#endif  // ZEZI_VIDAD_DEVICE_ONLY

int main(void) {
  check_version_and_texts();
  check_known_envelope();
#ifndef ZEZI_VIDAD_DEVICE_ONLY
  uint8_t scalar[ZEZI_VIDAD_SCALAR_SIZE];
  uint8_t public_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  check_keys(scalar, public_key);
  check_round_trip(scalar, public_key);
  check_buffer_sizes(scalar, public_key);
  check_refused_inputs(scalar, public_key);
  // The scalar is a secret the library handed over: the caller wipes it.
  OPENSSL_cleanse(scalar, sizeof scalar);
#endif
  if (failures > 0) {
    printf("c interface: %d check(s) failed\n", failures);
    return 1;
  }
#ifdef ZEZI_VIDAD_DEVICE_ONLY
  printf("c interface, device calls only: every check passed (zezi_vidad %s)\n",
         zezi_vidad_version());
#else
  printf("c interface: every check passed (zezi_vidad %s)\n", zezi_vidad_version());
#endif
  return 0;
}
