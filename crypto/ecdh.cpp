#include "crypto/ecdh.h"

#include "base/ossl_owners.h"
#include "crypto/p256_keys.h"

namespace zezi {

Bytes ecdhSharedSecret(const Bytes& privateScalar, const Bytes& peerRawPublicKey) {
  const PkeyPtr privateKey = loadPrivateKey(privateScalar);
  const PkeyPtr peerKey = loadPublicKey(peerRawPublicKey);
  if (!privateKey || !peerKey) {
    return {};
  }
  // shared = X(scalar * peer point), 32 octets
  const PkeyCtxPtr context(EVP_PKEY_CTX_new(privateKey.get(), /*engine=*/nullptr));
  if (!context || EVP_PKEY_derive_init(context.get()) <= 0 ||
      EVP_PKEY_derive_set_peer(context.get(), peerKey.get()) <= 0) {
    return {};
  }
  std::size_t size = 0;
  if (EVP_PKEY_derive(context.get(), nullptr, &size) <= 0) {
    return {};
  }
  Bytes secret(size);
  if (EVP_PKEY_derive(context.get(), secret.data(), &size) <= 0) {
    return {};
  }
  secret.resize(size);
  if (secret.size() != kSharedSecretSize) {
    return {};
  }
  return secret;
}

}  // namespace zezi
