// Private keys that never leave where they are kept: a TPM-wrapped key file ("TSS2 PRIVATE
// KEY" PEM) or a persistent handle ("handle:0x81000001"), loaded once through an OpenSSL
// provider (tpm2 unless told otherwise) in a library context of our own, and then used
// for key agreement and signing inside that provider, never in the default one. Not
// installed: the tool and the library's own steps use it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

inline constexpr std::string_view kDefaultKeyProvider = "tpm2";
// The environment variable naming the OpenSSL provider that holds keys; tpm2 without it.
inline constexpr const char* kKeyProviderVariable = "ZEZI_VIDAD_KEY_PROVIDER";
inline constexpr std::string_view kKeyHandlePrefix = "handle:";
inline constexpr std::string_view kWrappedKeyBegin = "-----BEGIN TSS2 PRIVATE KEY-----";

// Why a key reference cannot be loaded or made. One fixed message each.
enum class KeyReferenceFailure : std::uint8_t {
  kNone,
  kNoProvider,    // the provider's module is not installed
  kUnreachable,   // the module is there but did not start: no TPM answered it
  kNoSuchHandle,  // nothing the provider can load at that handle
  kNotLoadable,   // the wrapped key does not load: made for another TPM, or damaged
  kNotP256,       // it loaded, but it is not a P-256 key
  kRefused,       // the TPM refused to make the key or to hand out its wrapped form
};
inline constexpr KeyReferenceFailure kLastKeyReferenceFailure = KeyReferenceFailure::kRefused;

// The fixed message of a failure; empty for kNone.
[[nodiscard]] std::string_view keyReferenceFailureText(KeyReferenceFailure failure);

// The provider that holds keys, for the tool and the C interface alike:
// $ZEZI_VIDAD_KEY_PROVIDER when set, else tpm2. False when the variable holds something that
// cannot be a provider's name (only letters, digits, - _ and . can).
[[nodiscard]] bool chosenKeyProvider(std::string* name);

// Whether `text` names a persistent handle: "handle:" then 0x and one to eight hex digits.
[[nodiscard]] bool isKeyHandle(std::string_view text);

// Whether `pem` holds a TPM-wrapped key (its first PEM label is TSS2 PRIVATE KEY).
[[nodiscard]] bool isWrappedKey(std::string_view pem);

// What a KeyReference holds: its library context, providers and key (key_reference.cpp).
struct HeldKey;

// A P-256 private key held by a provider. Every member is const and makes its working
// state per call, so one reference may be used by several threads at once (the provider
// serialises its device).
class KeyReference {
 public:
  // Each returns kNone with the reference in `*referenceOut`, else why it cannot be made
  // (the C interface gives each cause its own status), `*referenceOut` untouched.

  // The key at a persistent handle ("handle:0x..."), through `provider`.
  [[nodiscard]] static KeyReferenceFailure loadHandle(std::string_view handle,
                                                      std::string_view provider,
                                                      std::unique_ptr<KeyReference>* referenceOut);
  // The key of a wrapped key file's text, through `provider`.
  [[nodiscard]] static KeyReferenceFailure loadWrapped(std::string_view pem,
                                                       std::string_view provider,
                                                       std::unique_ptr<KeyReference>* referenceOut);
  // A fresh P-256 key made inside the provider's device.
  [[nodiscard]] static KeyReferenceFailure generate(std::string_view provider,
                                                    std::unique_ptr<KeyReference>* referenceOut);

  ~KeyReference();
  KeyReference(const KeyReference&) = delete;
  KeyReference& operator=(const KeyReference&) = delete;

  // The 64-octet raw public key.
  [[nodiscard]] const Bytes& rawPublicKey() const;

  // The 32-octet X of key * peer, computed by the provider (EVP_PKEY_derive); empty when
  // the peer is not a point of P-256 or the provider refuses.
  [[nodiscard]] Bytes agree(const Bytes& peerRawPublicKey) const;

  // The DER ECDSA signature over SHA-256 of `message`, made by the provider
  // (EVP_DigestSign); empty when it refuses.
  [[nodiscard]] Bytes signDer(std::span<const std::uint8_t> message) const;

  // The wrapped key's PEM as the provider writes it (what generate() made, to keep).
  [[nodiscard]] bool wrappedPem(SecretText* pemOut) const;

 private:
  explicit KeyReference(std::unique_ptr<HeldKey> held);

  std::unique_ptr<HeldKey> held_;
};

}  // namespace zezi
