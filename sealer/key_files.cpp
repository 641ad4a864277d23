#include "sealer/key_files.h"

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

// Refuses encrypted keys instead of letting OpenSSL ask for a password on the terminal.
int noPassword(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) {
  return -1;
}

BioPtr readOnlyBio(std::string_view text) {
  return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

// The contents of a memory BIO, appended to `out`.
template <typename Text>
bool takeBioText(BIO* bio, Text* out) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  if (size <= 0 || data == nullptr) {
    return false;
  }
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

}  // namespace

bool privateKeyPem(const Bytes& scalar, SecretText* pemOut) {
  const PkeyPtr key = loadPrivateKey(scalar);
  // A secure-heap buffer: BUF_MEM cleanses it when the BIO is released.
  const BioPtr bio(BIO_new(BIO_s_secmem()));
  if (!key || !bio ||
      PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
    return false;
  }
  return takeBioText(bio.get(), pemOut);
}

std::string publicKeyPem(const Bytes& rawPublicKey) {
  const PkeyPtr key = loadPublicKey(rawPublicKey);
  const BioPtr bio(BIO_new(BIO_s_mem()));
  std::string pem;
  if (!key || !bio || PEM_write_bio_PUBKEY(bio.get(), key.get()) != 1 ||
      !takeBioText(bio.get(), &pem)) {
    return {};
  }
  return pem;
}

bool privateScalarFromPem(std::string_view pem, Bytes* scalarOut, std::string* error) {
  const PrivateKeyPemFailure failure = readPrivateKeyPem(pem, scalarOut);
  return failure == PrivateKeyPemFailure::kNone ||
         failWith(error, privateKeyPemFailureText(failure));
}

bool rawPublicKeyFromPem(std::string_view pem, Bytes* rawOut, std::string* error) {
  const BioPtr bio = readOnlyBio(pem);
  PkeyPtr key(bio ? PEM_read_bio_PUBKEY(bio.get(), nullptr, noPassword, nullptr) : nullptr);
  ERR_clear_error();
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

bool rawPublicKeyFromHex(std::string_view hex, Bytes* rawOut, std::string* error) {
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

}  // namespace zezi
