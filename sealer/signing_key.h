// Signature files signed by a key that is loaded once and held (crypto/signer.h's
// Signer), for a tool that signs many envelopes or a key kept outside the process. Not
// installed: consumers call makeSignatureFile with a scalar (sealer/signature_file.h).
#pragma once

#include <string>
#include <string_view>

#include "crypto/signer.h"
#include "sealer/signature_file.h"

namespace zezi {

// makeSignatureFile with the signer's key, with the same checks after the scalar's and
// the same messages; the signature is checked with the signer's public key before it is
// handed out.
[[nodiscard]] bool makeSignatureFile(const Signer& signer, const Bytes& fleetRawPublicKey,
                                     std::string_view envelope, const SignatureTerms& terms,
                                     std::string* signatureFileOut, std::string* errorOut);

}  // namespace zezi
