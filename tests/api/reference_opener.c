// A device's opening through the C interface with a fleet key its TPM holds, for
// tests/cli/tpm_keys_test.sh: an opener from a key reference, then zezi_vidad_open_with, or
// zezi_vidad_open_signed (a fresh device, the signature required) when a signer and the
// fleet's public key are given. Linked against the device library alone.
//
// usage: reference_opener KEY_REFERENCE ENVELOPE [SIGNER_KEY_HEX FLEET_KEY_HEX]
//
// Prints the network as "<SSID in hex> <PSK>" and exits 0; on a refusal prints the status's
// name and text on standard error and exits 1; 2 for a wrong command line.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <zezi_vidad/device.h>

#define MAX_FILE_SIZE 65536

// The names of the statuses the TPM rows expect; any other is shown by its number.
#define NAMED(status) \
  { status, #status }
static const struct {
  zezi_vidad_status status;
  const char* name;
} status_names[] = {
    NAMED(ZEZI_VIDAD_E_DOES_NOT_OPEN),     NAMED(ZEZI_VIDAD_E_FLEET_KEY_MISMATCH),
    NAMED(ZEZI_VIDAD_E_KEY_PROVIDER),      NAMED(ZEZI_VIDAD_E_TPM_UNREACHABLE),
    NAMED(ZEZI_VIDAD_E_KEY_HANDLE),        NAMED(ZEZI_VIDAD_E_WRAPPED_KEY),
    NAMED(ZEZI_VIDAD_E_KEY_NOT_P256),      NAMED(ZEZI_VIDAD_E_TPM_REFUSED),
    NAMED(ZEZI_VIDAD_E_NOT_KEY_REFERENCE),
};

static int refused(zezi_vidad_status status) {
  for (size_t i = 0; i < sizeof status_names / sizeof status_names[0]; ++i) {
    if (status_names[i].status == status) {
      fprintf(stderr, "%s: %s\n", status_names[i].name, zezi_vidad_strerror(status));
      return 1;
    }
  }
  fprintf(stderr, "status %d: %s\n", (int)status, zezi_vidad_strerror(status));
  return 1;
}

// The whole file at `path` into `buffer`; -1 when it cannot be read or is too large.
static long read_file(const char* path, char* buffer) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) {
    return -1;
  }
  const size_t length = fread(buffer, 1, MAX_FILE_SIZE + 1, file);
  const int failed = ferror(file);
  fclose(file);
  return failed || length > MAX_FILE_SIZE ? -1 : (long)length;
}

// A raw public key from its 128 hex characters.
static int key_of_hex(const char* hex, uint8_t key[ZEZI_VIDAD_PUBLIC_KEY_SIZE]) {
  if (strlen(hex) != 2 * ZEZI_VIDAD_PUBLIC_KEY_SIZE) {
    return 0;
  }
  for (size_t i = 0; i < ZEZI_VIDAD_PUBLIC_KEY_SIZE; ++i) {
    unsigned value = 0;
    if (sscanf(hex + 2 * i, "%2x", &value) != 1) {
      return 0;
    }
    key[i] = (uint8_t)value;
  }
  return 1;
}

static char envelope[MAX_FILE_SIZE + 1];
static char signature[MAX_FILE_SIZE + 1];

// zezi_vidad_open_signed on a fresh device, the signature file beside the envelope.
static zezi_vidad_status open_signed(const zezi_vidad_opener* opener, const char* envelope_path,
                                     long envelope_length, const uint8_t* signer_key,
                                     const uint8_t* fleet_key, uint8_t* ssid, size_t* ssid_length,
                                     char* psk) {
  char signature_path[4096];
  snprintf(signature_path, sizeof signature_path, "%s.sig", envelope_path);
  const long signature_length = read_file(signature_path, signature);
  zezi_vidad_trust_list* trust_list = NULL;
  zezi_vidad_status status =
      zezi_vidad_trust_list_new(signer_key, 1, fleet_key, 1, 0, 0, &trust_list);
  if (status == ZEZI_VIDAD_OK) {
    uint8_t record[ZEZI_VIDAD_REPLAY_RECORD_SIZE];
    size_t record_length = 0;
    status = zezi_vidad_open_signed(opener, trust_list, envelope, (size_t)envelope_length,
                                    signature_length < 0 ? NULL : signature,
                                    signature_length < 0 ? 0 : (size_t)signature_length,
                                    ZEZI_VIDAD_SIGNATURE_REQUIRED, NULL, NULL, 0, record,
                                    &record_length, ssid, ZEZI_VIDAD_SSID_MAX_SIZE, ssid_length,
                                    psk, ZEZI_VIDAD_PSK_BUFFER_SIZE);
  }
  zezi_vidad_trust_list_free(trust_list);
  return status;
}

int main(int argc, char** argv) {
  uint8_t signer_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  uint8_t fleet_key[ZEZI_VIDAD_PUBLIC_KEY_SIZE];
  const int is_signed = argc == 5;
  if ((argc != 3 && !is_signed) ||
      (is_signed && (!key_of_hex(argv[3], signer_key) || !key_of_hex(argv[4], fleet_key)))) {
    fprintf(stderr,
            "usage: reference_opener KEY_REFERENCE ENVELOPE [SIGNER_KEY_HEX FLEET_KEY_HEX]\n");
    return 2;
  }
  const long envelope_length = read_file(argv[2], envelope);
  if (envelope_length < 0) {
    fprintf(stderr, "reference_opener: cannot read the envelope\n");
    return 1;
  }
  zezi_vidad_opener* opener = NULL;
  zezi_vidad_status status = zezi_vidad_opener_new_from_reference(argv[1], &opener);
  uint8_t ssid[ZEZI_VIDAD_SSID_MAX_SIZE];
  size_t ssid_length = 0;
  char psk[ZEZI_VIDAD_PSK_BUFFER_SIZE];
  if (status == ZEZI_VIDAD_OK) {
    status = is_signed ? open_signed(opener, argv[2], envelope_length, signer_key, fleet_key, ssid,
                                     &ssid_length, psk)
                       : zezi_vidad_open_with(opener, envelope, (size_t)envelope_length, ssid,
                                              sizeof ssid, &ssid_length, psk, sizeof psk);
  }
  zezi_vidad_opener_free(opener);
  if (status != ZEZI_VIDAD_OK) {
    return refused(status);
  }
  for (size_t i = 0; i < ssid_length; ++i) {
    printf("%02x", ssid[i]);
  }
  printf(" %s\n", psk);
  return 0;
}
