#include "crypto/aead.h"

#include <openssl/evp.h>

#include "base/ossl_owners.h"

namespace zezi {

Bytes sealPayload(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& plaintext) {
  if (key.size() != kEnvelopeKeySize || nonce.size() != kNonceSize ||
      aad.size() > kMaxAeadInputSize || plaintext.size() > kMaxAeadInputSize) {
    return {};
  }
  const CipherCtxPtr context(EVP_CIPHER_CTX_new());
  if (!context) {
    return {};
  }
  if (EVP_EncryptInit_ex(context.get(), EVP_aes_256_gcm(), /*impl=*/nullptr, /*key=*/nullptr,
                         /*iv=*/nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()),
                          nullptr) != 1 ||
      EVP_EncryptInit_ex(context.get(), /*cipher=*/nullptr, /*impl=*/nullptr, key.data(),
                         nonce.data()) != 1) {
    return {};
  }
  int written = 0;
  if (!aad.empty() && EVP_EncryptUpdate(context.get(), /*out=*/nullptr, &written, aad.data(),
                                        static_cast<int>(aad.size())) != 1) {
    return {};
  }
  // One buffer, sized for the tag too, so appending the tag never reallocates.
  Bytes sealed(plaintext.size() + kTagSize);
  int updateCount = 0;
  if (EVP_EncryptUpdate(context.get(), sealed.data(), &updateCount, plaintext.data(),
                        static_cast<int>(plaintext.size())) != 1) {
    return {};
  }
  int finalCount = 0;
  if (EVP_EncryptFinal_ex(context.get(), sealed.data() + updateCount, &finalCount) != 1) {
    return {};
  }
  std::uint8_t tag[kTagSize] = {};
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagSize), tag) !=
      1) {
    return {};
  }
  sealed.resize(static_cast<std::size_t>(updateCount) + static_cast<std::size_t>(finalCount));
  sealed.insert(sealed.end(), tag, tag + kTagSize);
  return sealed;
}

}  // namespace zezi
