#include "crypto/public_key_text.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"
#include "crypto/private_key_pem.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

// The first PEM public key (SubjectPublicKeyInfo) of `pem`, or null.
PkeyPtr publicKeyOfPem(std::string_view pem) {
  const BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  PkeyPtr key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, refusePassword, nullptr) : nullptr);
  ERR_clear_error();
  return key;
}

}  // namespace

bool holdsPublicKeyPem(std::string_view pem) {
  return publicKeyOfPem(pem) != nullptr;
}

bool readPublicKeyPem(std::string_view pem, Bytes* rawOut, std::string* error) {
  PkeyPtr key = publicKeyOfPem(pem);
  if (!key) {
    // A private key file is accepted too; its public point is derived from the scalar
    // rather than taken from the point the file may carry.
    Bytes scalar;
    const PrivateKeyPemFailure failure = readPrivateKeyPem(pem, &scalar);
    if (failure == PrivateKeyPemFailure::kNotPem) {
      return failWith(error, "not a PEM public or private key");
    }
    if (failure != PrivateKeyPemFailure::kNone) {
      return failWith(error, privateKeyPemFailureText(failure));
    }
    key = loadPrivateKey(scalar);
  }
  if (!key || !isP256Key(key.get())) {
    return failWith(error, "not a P-256 key");
  }
  // Asked for explicitly, since a key read from a file keeps that file's point form.
  Bytes raw;
  if (EVP_PKEY_set_utf8_string_param(key.get(), OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                     "uncompressed") == 1) {
    raw = encodedPublicKey(key.get());
  }
  if (raw.size() != kRawPublicKeySize) {
    return failWith(error, "cannot encode the public key");
  }
  *rawOut = std::move(raw);
  return true;
}

bool readPublicKeyHex(std::string_view hex, Bytes* rawOut, std::string* error) {
  if (hex.size() != 2 * kRawPublicKeySize ||
      hex.find_first_not_of(kHexDigitsEitherCase) != std::string_view::npos) {
    return failWith(error, "raw key must be 128 hex characters");
  }
  Bytes raw = hexDecode(hex);
  if (!loadPublicKey(raw)) {
    return failWith(error, "not a point of P-256");
  }
  *rawOut = std::move(raw);
  return true;
}

Bytes rawPublicKeyOfScalar(const Bytes& scalar) {
  const PkeyPtr key = loadPrivateKey(scalar);
  return key ? encodedPublicKey(key.get()) : Bytes{};
}

}  // namespace zezi
