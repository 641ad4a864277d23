// The device's whole path for a signed envelope: check the signature file against the trust
// list from its firmware and the replay state it keeps, then open the envelope, then hand
// back the network and the replay state to commit.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/export.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"

namespace zezi {

// The trust list: the signer keys whose signatures the device accepts.
inline constexpr std::size_t kMaxTrustedSigners = 4;

// What firmware holds: the settings a trust list is loaded from.
struct TrustSettings {
  // Raw 64-octet public keys, in order: index 0 is the current signer, the others are
  // its successors, kept offline until needed.
  std::vector<Bytes> signerKeys;
  Bytes fleetKey;                 // the fleet's raw 64-octet public key
  std::uint64_t version = 0;      // a higher version starts the replay state afresh
  std::uint64_t serialFloor = 0;  // serials of signer 0 up to this one count as used
  std::uint64_t timeFloor = 0;    // build time, Unix seconds: nothing expiring by then passes
};

class Verifier;

// A trust list that loadTrustList has checked. A default one trusts no signer.
class TrustList {
 public:
  [[nodiscard]] std::size_t size() const { return signerIds_.size(); }
  [[nodiscard]] const Bytes& signerKey(std::size_t index) const {
    return settings_.signerKeys.at(index);
  }
  [[nodiscard]] const Digest& signerId(std::size_t index) const { return signerIds_.at(index); }
  // The signer's key, loaded once when the list was.
  [[nodiscard]] const Verifier* signerVerifier(std::size_t index) const {
    return verifiers_.at(index).get();
  }
  // The index of the signer with this key id, if the list holds it.
  [[nodiscard]] std::optional<std::size_t> indexOf(const Digest& signerId) const {
    const auto found = std::find(signerIds_.begin(), signerIds_.end(), signerId);
    if (found == signerIds_.end()) {
      return std::nullopt;
    }
    return static_cast<std::size_t>(found - signerIds_.begin());
  }
  [[nodiscard]] const Bytes& fleetKey() const { return settings_.fleetKey; }
  [[nodiscard]] const Digest& fleetId() const { return fleetId_; }
  [[nodiscard]] std::uint64_t version() const { return settings_.version; }
  [[nodiscard]] std::uint64_t serialFloor() const { return settings_.serialFloor; }
  [[nodiscard]] std::uint64_t timeFloor() const { return settings_.timeFloor; }
  // SHA-256 of the whole list (version, floors, fleet key and signer keys in order), which
  // the replay state records so that it is never read under another list.
  [[nodiscard]] const Digest& digest() const { return digest_; }

 private:
  friend ZEZI_VIDAD_EXPORT bool loadTrustList(const TrustSettings& settings,
                                              TrustList* trustListOut, std::string* errorOut);

  TrustSettings settings_;
  std::vector<Digest> signerIds_;
  std::vector<std::shared_ptr<const Verifier>> verifiers_;  // shared by copies of the list
  Digest fleetId_{};
  Digest digest_{};
};

// Checks `settings`: 1 to 4 signer keys, each a point of P-256, no key twice, no signer
// key equal to the fleet key (which every device holds and so must never sign), and a
// fleet key on the curve. On success writes the list and returns true; on failure
// returns false, leaves `*trustListOut` untouched and writes a fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool loadTrustList(const TrustSettings& settings,
                                                   TrustList* trustListOut, std::string* errorOut);

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

// What to do with an envelope that has no signature file beside it.
enum class SignaturePolicy : std::uint8_t {
  kRequired,    // refuse it
  kTransition,  // accept it until a signed envelope has been accepted; keep no state for it
};

struct SignatureInput {
  std::string_view envelope;                      // the envelope file's exact octets
  std::optional<std::string_view> signatureFile;  // absent: no signature file exists
  // The stored replay state; null when the store could not read it, which always fails.
  const ReplayState* state = nullptr;
  SignaturePolicy policy = SignaturePolicy::kRequired;
  // A trusted current time, Unix seconds, if any; issued_at may then be at most 300
  // seconds after it.
  std::optional<std::uint64_t> now;
};

struct VerifiedSignature {
  bool isSigned = false;     // false: an unsigned envelope that the transition policy let in
  std::size_t keyIndex = 0;  // the signer's index in the trust list
  Statement statement;       // the signed statement's fields
};

// Checks the signature file against the trust list and the replay state, in the order of
// docs/format.md section 9, then (only when it passes) opens the envelope as openEnvelope
// does with the fleet's 32-octet private scalar, whose public key must be the trust list's fleet
// key. On success writes the network, what was verified and the new replay state, and returns true;
// the caller commits the state before using the network. `verifiedOut` and `stateOut` may be null
// when the caller has no use for them. On failure returns false, leaves every
// output untouched and, when `errorOut` is not null, writes one fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool openSignedEnvelope(
    const SignatureInput& input, const TrustList& trustList, const Bytes& fleetScalar,
    Network* networkOut, VerifiedSignature* verifiedOut, ReplayState* stateOut,
    std::string* errorOut);

}  // namespace zezi
