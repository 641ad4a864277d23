#include "cli/held_keys.h"

#include "base/failure.h"
#include "crypto/key_reference.h"
#include "crypto/signer.h"

namespace zezi {

bool generateHeldKey(PrivateKey* key, std::string* error) {
  std::string provider;
  if (!keyProvider(&provider, error)) {
    return false;
  }
  quietKeyStack();
  std::unique_ptr<KeyReference> reference;
  if (const KeyReferenceFailure failure = KeyReference::generate(provider, &reference);
      failure != KeyReferenceFailure::kNone) {
    return failWith(
        error, "cannot make the key in the TPM: " + std::string(keyReferenceFailureText(failure)));
  }
  key->scalar.clear();
  key->reference = std::move(reference);
  return true;
}

std::unique_ptr<Signer> signerOf(const PrivateKey& key, std::string* error) {
  std::unique_ptr<Signer> signer =
      key.reference ? Signer::fromReference(key.reference) : Signer::create(key.scalar);
  if (!signer) {
    static_cast<void>(failWith(error, "signer private key is not a valid P-256 scalar"));
  }
  return signer;
}

}  // namespace zezi
