// The statement's octets and the message M that is signed: the steps of signing and of
// verifying, private to the library (the Statement itself is in crypto/types.h).
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

#include "crypto/types.h"

namespace zezi {

// The 120 octets of `statement`.
[[nodiscard]] Bytes encodeStatement(const Statement& statement);

// The fields of 120 octets, as they are (no field is judged here). False, with
// `*statementOut` untouched, for any other length.
[[nodiscard]] bool decodeStatement(const Bytes& octets, Statement* statementOut);

// M for the statement's octets exactly as received.
[[nodiscard]] Bytes signedMessage(const Bytes& statementOctets);

// SHA-256 of 0x04 || raw: the key id of a signer key and the fleet id of a fleet key. False
// unless `rawPublicKey` has 64 octets (its curve membership is not checked here).
[[nodiscard]] bool keyIdOf(const Bytes& rawPublicKey, Digest* idOut);

}  // namespace zezi
