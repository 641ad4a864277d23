#include "crypto/kdf.h"

#include <openssl/core_names.h>

#include "base/ossl_owners.h"

namespace zezi {
namespace {

// OSSL_PARAM wants a mutable pointer, though the derivation only reads the octets.
OSSL_PARAM octetParam(const char* name, const Bytes& octets) {
  return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(octets.data()),
                                           octets.size());
}

}  // namespace

Bytes deriveEnvelopeKey(std::string_view domain, const Bytes& sharedSecret, const Bytes& salt,
                        const Bytes& ephemeralPoint, const Bytes& fleetPoint) {
  if (sharedSecret.size() != kSharedSecretSize || salt.empty()) {
    return {};
  }
  const Bytes info = buildKdfInfo(domain, ephemeralPoint, fleetPoint);
  if (info.empty()) {
    return {};
  }
  // key = HKDF-SHA256(ikm = shared X, salt, info = domain || eph point || fleet point), 32 octets
  return hkdfSha256(sharedSecret, salt, info, kEnvelopeKeySize);
}

Bytes buildKdfInfo(std::string_view domain, const Bytes& ephemeralPoint, const Bytes& fleetPoint) {
  if (ephemeralPoint.size() != kPointSize || fleetPoint.size() != kPointSize || domain.empty()) {
    return {};
  }
  // info = domain || eph point || fleet point
  Bytes info;
  info.reserve(domain.size() + 2 * kPointSize);
  info.insert(info.end(), domain.begin(), domain.end());
  info.insert(info.end(), ephemeralPoint.begin(), ephemeralPoint.end());
  info.insert(info.end(), fleetPoint.begin(), fleetPoint.end());
  return info;
}

Bytes hkdfSha256(const Bytes& key, const Bytes& salt, const Bytes& info, std::size_t length) {
  if (length == 0 || length > kHkdfSha256MaxLength) {
    return {};
  }
  KdfCtxPtr context;
  {
    const KdfPtr algorithm(EVP_KDF_fetch(/*libctx=*/nullptr, "HKDF", /*properties=*/nullptr));
    if (!algorithm) {
      return {};
    }
    context.reset(EVP_KDF_CTX_new(algorithm.get()));
  }
  if (!context) {
    return {};
  }
  // The default mode, extract then expand. Salt and info are passed only when present.
  OSSL_PARAM params[5];
  std::size_t count = 0;
  params[count++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST,
                                                     const_cast<char*>("SHA256"), /*bsize=*/0);
  params[count++] = octetParam(OSSL_KDF_PARAM_KEY, key);
  if (!salt.empty()) {
    params[count++] = octetParam(OSSL_KDF_PARAM_SALT, salt);
  }
  if (!info.empty()) {
    params[count++] = octetParam(OSSL_KDF_PARAM_INFO, info);
  }
  params[count] = OSSL_PARAM_construct_end();

  // okm = HKDF-Expand(HKDF-Extract(salt, key), info, length)   (RFC 5869)
  Bytes output(length);
  if (EVP_KDF_derive(context.get(), output.data(), output.size(), params) <= 0) {
    return {};
  }
  return output;
}

}  // namespace zezi
