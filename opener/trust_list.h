// The trust list: the signer keys whose signatures a device accepts, from its firmware,
// checked once when loaded.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// The most signer keys a trust list holds.
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

}  // namespace zezi
