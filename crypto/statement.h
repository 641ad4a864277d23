// The statement a signer signs about one envelope, and the message M that is signed.
//
// A statement is 120 octets, integers unsigned big-endian:
//   0  signer_key_id    32  SHA-256 of the signer's 65-octet uncompressed public point
//   32 fleet_id         32  SHA-256 of the fleet's 65-octet uncompressed public point
//   64 envelope_sha256  32  SHA-256 of the envelope file's exact octets
//   96 serial            8  at least 1, strictly increasing per signer key
//   104 issued_at        8  Unix seconds, UTC
//   112 expires_at       8  later than issued_at
// M = "tolvane-wifi-drive-sig/v1" || 0x00 || statement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// The signature file's "format" and the prefix of every signed message.
inline constexpr std::string_view kSignatureDomain = "tolvane-wifi-drive-sig/v1";
inline constexpr std::size_t kStatementSize = 120;
// The signature file beside an envelope, "<envelope file>.sig", both as the sealer writes
// it and as the device reads it: its name's suffix and the largest size read.
inline constexpr std::size_t kMaxSignatureFileSize = 1024;
inline constexpr std::string_view kSignatureFileSuffix = ".sig";

struct Statement {
  Digest signerKeyId{};
  Digest fleetId{};
  Digest envelopeSha256{};
  std::uint64_t serial = 0;
  std::uint64_t issuedAt = 0;
  std::uint64_t expiresAt = 0;

  bool operator==(const Statement& other) const = default;
};

// The 120 octets of `statement`.
[[nodiscard]] ZEZI_VIDAD_EXPORT Bytes encodeStatement(const Statement& statement);

// The fields of 120 octets, as they are (no field is judged here). False, with
// `*statementOut` untouched, for any other length.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool decodeStatement(const Bytes& octets, Statement* statementOut);

// M for the statement's octets exactly as received.
[[nodiscard]] ZEZI_VIDAD_EXPORT Bytes signedMessage(const Bytes& statementOctets);

// SHA-256 of 0x04 || raw: the key id of a signer key and the fleet id of a fleet key. False
// unless `rawPublicKey` has 64 octets (its curve membership is not checked here).
[[nodiscard]] ZEZI_VIDAD_EXPORT bool keyIdOf(const Bytes& rawPublicKey, Digest* idOut);

}  // namespace zezi
