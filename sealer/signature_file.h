// The detached signature file of an envelope, written beside it as "<envelope file>.sig":
// a JSON object of three strings, "format" (tolvane-wifi-drive-sig/v1), "statement" (Base64
// of the 120-octet statement) and "signature" (Base64 of the 64-octet raw r || s).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// What the signer states about the envelope besides its hash and the two key ids.
struct SignatureTerms {
  std::uint64_t serial = 0;     // at least 1, above every serial this signer key used before
  std::uint64_t issuedAt = 0;   // Unix seconds, UTC
  std::uint64_t expiresAt = 0;  // later than issuedAt
};

// Signs `envelope` (its exact octets) for the fleet with the signer's 32-octet scalar.
// The signer key must not be the fleet key. The signature is checked before it is handed
// out. On success writes the file's text to `*signatureFileOut` and returns true, leaving
// `*errorOut` untouched; on failure returns false, leaves `*signatureFileOut` untouched and,
// when `errorOut` is not null, replaces its contents with a fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool makeSignatureFile(
    const Bytes& signerScalar, const Bytes& fleetRawPublicKey, std::string_view envelope,
    const SignatureTerms& terms, std::string* signatureFileOut, std::string* errorOut);

}  // namespace zezi
