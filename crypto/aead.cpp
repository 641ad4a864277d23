#include "crypto/aead.h"

#include <utility>

#include <openssl/evp.h>

#include "base/ossl_owners.h"

namespace zezi {

Bytes sealPayload(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& plaintext) {
  if (key.size() != kEnvelopeKeySize || nonce.size() != kNonceSize ||
      aad.size() > kMaxAeadInputSize || plaintext.size() > kMaxAeadInputSize) {
    return {};
  }
  // sealed = AES-256-GCM(key, nonce, aad, plaintext) = ciphertext || tag
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

OpenStatus openPayload(const Bytes& key, const Bytes& nonce, const Bytes& aad, const Bytes& sealed,
                       Bytes* plaintextOut) {
  if (key.size() != kEnvelopeKeySize) {
    return kOpenBadKeyLength;
  }
  if (nonce.size() != kNonceSize) {
    return kOpenBadNonceLength;
  }
  if (sealed.size() < kTagSize) {
    return kOpenTooShort;
  }
  const std::size_t ciphertextSize = sealed.size() - kTagSize;
  if (aad.size() > kMaxAeadInputSize || ciphertextSize > kMaxAeadInputSize ||
      plaintextOut == nullptr) {
    return kOpenInternalError;
  }
  const std::uint8_t* tag = sealed.data() + ciphertextSize;

  // plaintext = AES-256-GCM-Open(key, nonce, aad, ciphertext, tag), released only when the
  // tag verifies
  const CipherCtxPtr context(EVP_CIPHER_CTX_new());
  if (!context) {
    return kOpenInternalError;
  }
  if (EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), /*impl=*/nullptr, /*key=*/nullptr,
                         /*iv=*/nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(nonce.size()),
                          nullptr) != 1 ||
      EVP_DecryptInit_ex(context.get(), /*cipher=*/nullptr, /*impl=*/nullptr, key.data(),
                         nonce.data()) != 1) {
    return kOpenInternalError;
  }
  int count = 0;
  if (!aad.empty() && EVP_DecryptUpdate(context.get(), /*out=*/nullptr, &count, aad.data(),
                                        static_cast<int>(aad.size())) != 1) {
    return kOpenInternalError;
  }
  // Until the tag has been checked this holds unauthenticated octets; it reaches the
  // caller only on success.
  Bytes plaintext(ciphertextSize);
  int updateCount = 0;
  if (ciphertextSize != 0 &&
      EVP_DecryptUpdate(context.get(), plaintext.data(), &updateCount, sealed.data(),
                        static_cast<int>(ciphertextSize)) != 1) {
    return kOpenInternalError;
  }
  // The library only reads the expected tag, despite the mutable pointer.
  if (EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagSize),
                          const_cast<std::uint8_t*>(tag)) != 1) {
    return kOpenInternalError;
  }
  int finalCount = 0;
  if (EVP_DecryptFinal_ex(context.get(), plaintext.data() + updateCount, &finalCount) <= 0) {
    return kOpenAuthenticationFailed;
  }
  plaintext.resize(static_cast<std::size_t>(updateCount) + static_cast<std::size_t>(finalCount));
  *plaintextOut = std::move(plaintext);
  return kOpenOk;
}

const char* openStatusText(OpenStatus status) {
  switch (status) {
    case kOpenOk:
      return "ok";
    case kOpenBadKeyLength:
      return "bad key length";
    case kOpenBadNonceLength:
      return "bad nonce length";
    case kOpenTooShort:
      return "too short to contain a tag";
    case kOpenAuthenticationFailed:
      return "authentication failed";
    case kOpenInternalError:
      return "internal error";
    default:
      return "unknown";
  }
}

}  // namespace zezi
