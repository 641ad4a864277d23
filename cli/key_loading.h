// The keys as the commands of both programs take them: from PEM files or as raw hex, and
// private keys that a TPM holds, by their wrapped key file or their persistent handle.
// Nothing here signs or makes a key (cli/held_keys.h), so the device's program carries it.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "crypto/types.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"

namespace zezi {

class KeyReference;

// A private key as --private, --key and --sign-key give it: its scalar in memory (a PEM
// file), or a key a provider holds, loaded once.
struct PrivateKey {
  Bytes scalar;                                   // empty when `reference` is set
  std::shared_ptr<const KeyReference> reference;  // a TPM-wrapped key file or a handle

  [[nodiscard]] Bytes rawPublicKey() const;
};

// The provider that holds keys: $ZEZI_VIDAD_KEY_PROVIDER when set, else tpm2. False with a
// usage message when the variable holds something that cannot be a provider's name.
[[nodiscard]] bool keyProvider(std::string* name, std::string* error);

// `text` as a private key option takes it: "handle:0x..." (a persistent handle), or a file
// holding a PEM private key or a TPM-wrapped key ("TSS2 PRIVATE KEY"). `option` names it in
// messages. A key the provider cannot load is a failure, never replaced by another.
[[nodiscard]] bool loadPrivateKey(const std::string& text, std::string_view option, PrivateKey* key,
                                  std::string* error);

// The TSS libraries under the tpm2 provider write their own warnings to standard error;
// quiet unless the operator asked for them, so that a failure is our one line.
void quietKeyStack();

// openEnvelope with `key` in whichever form it came; a TPM's refusal is said as such.
[[nodiscard]] bool openEnvelopeWith(const PrivateKey& key, std::string_view envelope,
                                    Network* network, std::string* error);

// openSignedEnvelope with `key` in whichever form it came; a TPM's refusal is said as such.
[[nodiscard]] bool openSignedEnvelopeWith(const PrivateKey& key, const SignatureInput& input,
                                          const TrustList& trustList, Network* network,
                                          VerifiedSignature* verified, ReplayState* state,
                                          std::string* error);

// The 32-octet scalar of the PEM private key in the file at `path`.
[[nodiscard]] bool loadPrivateScalar(const std::string& path, Bytes* scalar, std::string* error);

// The 64-octet raw public key from `text`: 128 hex characters are the key itself,
// anything else names a file holding them or a PEM public or private key. `what` names
// the key and `option` the option it came with, in messages.
[[nodiscard]] bool loadPublicKeyText(const std::string& text, std::string_view what,
                                     std::string_view option, Bytes* raw, std::string* error);

// loadPublicKeyText for the fleet key of --fleet-key.
[[nodiscard]] bool loadFleetKey(const std::string& text, Bytes* raw, std::string* error);

// Takes the 64 octets of a public key and says whether they are a point of P-256.
using PointCheck = std::function<bool(const Bytes& raw)>;

// loadFleetKey for a caller that decodes the point itself (the batch's FleetSealer): the
// key is checked once, by `checkPoint`, with loadFleetKey's messages.
[[nodiscard]] bool loadFleetKey(const std::string& text, const PointCheck& checkPoint,
                                std::string* error);

}  // namespace zezi
