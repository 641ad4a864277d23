// What a device remembers between signed envelopes, so that none is replayed or rolled back,
// and the record it keeps it in.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/export.h"
#include "crypto/types.h"
#include "opener/trust_list.h"

namespace zezi {

// The most networks one set (the envelopes signed with one serial) may hold.
inline constexpr std::size_t kMaxSetSize = 16;

// One network of the set a device holds: the envelope it came from and, once that
// envelope has opened under this record, its SSID.
struct SetMember {
  Digest envelopeSha256{};
  std::uint64_t issuedAt = 0;       // 0 while unknown (a member carried over from an older record)
  std::uint64_t expiresAt = 0;      // likewise
  std::optional<std::string> ssid;  // the SSID's octets; unknown for such a member

  bool operator==(const SetMember& other) const = default;
};

// What a device remembers between signed envelopes, so that none is replayed or rolled
// back, and which networks it holds: those of the newest set, the envelopes its operator
// signed with one serial.
struct ReplayState {
  std::uint64_t trustListVersion = 0;  // the trust list this state belongs to
  Digest trustListDigest{};            // and that list's digest()
  Digest keyId{};                      // the highest accepted signer key; signer 0 when fresh
  std::uint64_t highestSerial = 0;     // of that key
  std::uint64_t timeFloor = 0;         // of that key: its last accepted issued_at, or later
  Digest setKeyId{};                   // the key that signed the set; zeros until one is accepted
  std::uint64_t setSerial = 0;         // the set's serial
  bool setCarried = false;             // accepted under an older trust list
  std::vector<SetMember> set;          // the set's networks, in the order accepted
  // Only in a state read from a version-1 record, which held the key's index in the trust
  // list instead of its id and no digest: the check maps it to the key of the list.
  std::optional<std::uint16_t> legacyKeyIndex;

  // Whether a signed envelope was ever accepted (the transition policy ends there).
  [[nodiscard]] bool hasAcceptedSignature() const {
    return std::any_of(setKeyId.begin(), setKeyId.end(),
                       [](std::uint8_t octet) { return octet != 0; });
  }
  // Whether the set is the one an envelope of key keyId and serial highestSerial joins.
  [[nodiscard]] bool setIsCurrent() const {
    return !setCarried && hasAcceptedSignature() && setKeyId == keyId && setSerial == highestSerial;
  }
  // The member from the envelope with this hash, if the set holds it.
  [[nodiscard]] const SetMember* memberOf(const Digest& envelopeSha256) const {
    const auto found = std::find_if(set.begin(), set.end(), [&](const SetMember& member) {
      return member.envelopeSha256 == envelopeSha256;
    });
    return found == set.end() ? nullptr : &*found;
  }
  bool operator==(const ReplayState& other) const = default;
};

// The state of a device that has accepted nothing yet: signer 0 and the firmware's floors.
[[nodiscard]] inline ReplayState freshReplayState(const TrustList& trustList) {
  ReplayState state;
  state.trustListVersion = trustList.version();
  state.trustListDigest = trustList.digest();
  if (trustList.size() > 0) {
    state.keyId = trustList.signerId(0);
  }
  state.highestSerial = trustList.serialFloor();
  state.timeFloor = trustList.timeFloor();
  return state;
}

// The record, version 3 (docs/format.md 9.5): "ZVRS", the record version (2 octets), 2
// zero octets, trustListVersion, highestSerial and timeFloor (8 each), the key id and the
// trust list digest (32 each), the set's key id (32), serial (8), size and carried flag
// (1 each), 6 zeros, 16 member slots of 88 octets, then SHA-256 of the 1552 octets before
// it. Integers unsigned big-endian.
inline constexpr std::size_t kReplayRecordSize = 1584;
// Version 2, still read: no set, only the hash of the envelope accepted last.
inline constexpr std::size_t kReplayRecordV2Size = 160;
// Version 1, still read: the key's index (2 octets) where version 2 has zeros, and no key
// id or digest, so its checksum is at 64.
inline constexpr std::size_t kReplayRecordV1Size = 96;

// The record of `state`: version 3, or version 1 again for a state read from one. Empty
// when OpenSSL fails or the state cannot be recorded (over 16 networks, an SSID over 32
// octets).
[[nodiscard]] ZEZI_VIDAD_EXPORT Bytes encodeReplayState(const ReplayState& state);

// The state in a record that encodeReplayState wrote, of any version. False, with
// `*stateOut` untouched, for any other length, magic, record version or checksum, or a
// set that breaks the record's rules.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool decodeReplayState(const Bytes& record, ReplayState* stateOut);

}  // namespace zezi
