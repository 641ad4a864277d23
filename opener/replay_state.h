// What a device remembers between signed envelopes, so that none is replayed or rolled
// back, and the small record it is stored as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "base/export.h"
#include "crypto/types.h"
#include "opener/trust_list.h"

namespace zezi {

struct ZEZI_VIDAD_EXPORT ReplayState {
  std::uint64_t trustListVersion = 0;  // the trust list this state belongs to
  Digest trustListDigest{};            // and that list's digest()
  Digest keyId{};                      // the highest accepted signer key; signer 0 when fresh
  std::uint64_t highestSerial = 0;     // of that key
  Digest acceptedEnvelopeSha256{};     // all zeros until a signed envelope is accepted
  std::uint64_t timeFloor = 0;         // of that key: its last accepted issued_at, or later
  // Only in a state read from a version-1 record, which held the key's index in the trust
  // list instead of its id and no digest: verifySignature maps it to the key of the list.
  std::optional<std::uint16_t> legacyKeyIndex;

  [[nodiscard]] bool hasAcceptedSignature() const;
  bool operator==(const ReplayState& other) const = default;
};

// The state of a device that has accepted nothing yet: signer 0 and the firmware's floors.
[[nodiscard]] ZEZI_VIDAD_EXPORT ReplayState freshReplayState(const TrustList& trustList);

// The record, version 2: "ZVRS", the record version (2 octets), 2 zero octets,
// trustListVersion, highestSerial and timeFloor (8 each), the accepted envelope hash, the
// key id and the trust list digest (32 each), then SHA-256 of the 128 octets before it.
// Integers unsigned big-endian.
inline constexpr std::size_t kReplayRecordSize = 160;
// Version 1, still read: the key's index (2 octets) where version 2 has zeros, and no key
// id or digest, so its checksum is at 64.
inline constexpr std::size_t kReplayRecordV1Size = 96;

// The record of `state`: version 2, or version 1 again for a state read from one. Empty
// when OpenSSL fails.
[[nodiscard]] ZEZI_VIDAD_EXPORT Bytes encodeReplayState(const ReplayState& state);

// The state in a record that encodeReplayState wrote, of either version. False, with
// `*stateOut` untouched, for any other length, magic, record version or checksum.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool decodeReplayState(const Bytes& record, ReplayState* stateOut);

}  // namespace zezi
