// What only the operator's tool does with private keys: makes one in a TPM, and signs.
#pragma once

#include <memory>
#include <string>

#include "cli/key_loading.h"

namespace zezi {

class Signer;

// A new P-256 key made inside the provider's TPM, for keygen --tpm.
[[nodiscard]] bool generateHeldKey(PrivateKey* key, std::string* error);

// The signer of `key`; null (with a message) when it cannot sign.
[[nodiscard]] std::unique_ptr<Signer> signerOf(const PrivateKey& key, std::string* error);

}  // namespace zezi
