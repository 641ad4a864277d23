// What a device remembers between signed envelopes, so that none is replayed or rolled
// back, and the small record it is stored as.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/export.h"
#include "crypto/types.h"
#include "opener/trust_list.h"

namespace zezi {

struct ZEZI_VIDAD_EXPORT ReplayState {
  std::uint64_t trustListVersion = 0;  // the trust list this state belongs to
  std::uint16_t minKeyIndex = 0;       // signer keys below this index are superseded
  std::uint64_t highestSerial = 0;     // of the signer at minKeyIndex
  Digest acceptedEnvelopeSha256{};     // all zeros until a signed envelope is accepted
  std::uint64_t timeFloor = 0;         // issued_at of the last accepted signature, or later

  [[nodiscard]] bool hasAcceptedSignature() const;
  bool operator==(const ReplayState& other) const = default;
};

// The state of a device that has accepted nothing yet: the firmware's floors.
[[nodiscard]] ZEZI_VIDAD_EXPORT ReplayState freshReplayState(const TrustList& trustList);

// The record: "ZVRS", record version 1 (2 octets), minKeyIndex (2), trustListVersion,
// highestSerial and timeFloor (8 each), the accepted envelope hash (32), then SHA-256 of
// the 64 octets before it. Integers unsigned big-endian.
inline constexpr std::size_t kReplayRecordSize = 96;

// The record of `state`, or empty when OpenSSL fails.
[[nodiscard]] ZEZI_VIDAD_EXPORT Bytes encodeReplayState(const ReplayState& state);

// The state in a record that encodeReplayState wrote. False, with `*stateOut` untouched,
// for any other length, magic, record version or checksum.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool decodeReplayState(const Bytes& record, ReplayState* stateOut);

}  // namespace zezi
