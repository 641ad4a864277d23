#include "sealer/key_files.h"

#include <openssl/pem.h>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"
#include "crypto/private_key_pem.h"
#include "crypto/public_key_text.h"

namespace zezi {
namespace {

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
  return readPublicKeyPem(pem, rawOut, error);
}

bool rawPublicKeyFromHex(std::string_view hex, Bytes* rawOut, std::string* error) {
  return readPublicKeyHex(hex, rawOut, error);
}

}  // namespace zezi
