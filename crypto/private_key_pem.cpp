#include "crypto/private_key_pem.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>

#include "base/failure.h"
#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"

namespace zezi {
namespace {

constexpr auto kFailureTexts = failureTable<PrivateKeyPemFailure, std::string_view>(
    {
        {PrivateKeyPemFailure::kNone, ""},
        {PrivateKeyPemFailure::kNotPem, "not an unencrypted PEM private key"},
        {PrivateKeyPemFailure::kNotP256, "not a P-256 key"},
        {PrivateKeyPemFailure::kScalarUnreadable, "cannot read the private scalar"},
        {PrivateKeyPemFailure::kBadScalar, "not a usable P-256 private scalar"},
    },
    kLastPrivateKeyPemFailure);
static_assert(kFailureTexts.inOrder() && kFailureTexts.oneRowEach());

}  // namespace

int refusePassword(char* /*buffer*/, int /*size*/, int /*writing*/, void* /*data*/) {
  return -1;
}

std::string_view privateKeyPemFailureText(PrivateKeyPemFailure failure) {
  return kFailureTexts(failure);
}

PrivateKeyPemFailure readPrivateKeyPem(std::string_view pem, Bytes* scalarOut) {
  const BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  const PkeyPtr key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, refusePassword, nullptr)
                        : nullptr);
  ERR_clear_error();
  if (!key) {
    return PrivateKeyPemFailure::kNotPem;
  }
  if (!isP256Key(key.get())) {
    return PrivateKeyPemFailure::kNotP256;
  }
  BIGNUM* number = nullptr;
  if (EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &number) != 1) {
    return PrivateKeyPemFailure::kScalarUnreadable;
  }
  const BignumPtr owned(number);
  Bytes scalar(kScalarSize);
  // Checked here rather than trusted to the file: OpenSSL reads a scalar of n or more and
  // would reduce it.
  if (BN_bn2binpad(owned.get(), scalar.data(), static_cast<int>(scalar.size())) !=
          static_cast<int>(kScalarSize) ||
      !isUsableScalar(scalar)) {
    return PrivateKeyPemFailure::kBadScalar;
  }
  *scalarOut = std::move(scalar);
  return PrivateKeyPemFailure::kNone;
}

}  // namespace zezi
