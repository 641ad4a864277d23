// The receiving side: opens a whole envelope with the fleet private key, as a device does,
// one envelope at a time or many with the key loaded once (FleetOpener).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/types.h"

namespace zezi {

// Envelopes are a few hundred octets; anything far larger is refused before parsing.
inline constexpr std::size_t kMaxEnvelopeSize = 64 * 1024;
// A WiFi stack holds an SSID of at most 32 octets; a longer one is refused, not cut.
inline constexpr std::size_t kMaxSsidSize = 32;

// The network an envelope carries.
struct Network {
  std::string ssid;  // the SSID's octets exactly as sealed, not necessarily UTF-8
  SecretText psk;    // 64 lowercase hex characters
};

// Opens `envelope` (any JSON formatting of the five members) with the fleet's 32-octet
// private scalar. On success writes the network to `*networkOut` and returns true, leaving
// `*errorOut` untouched. On failure returns false, leaves `*networkOut` untouched and, when
// `errorOut` is not null, replaces its contents with one fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool openEnvelope(std::string_view envelope,
                                                  const Bytes& fleetScalar, Network* networkOut,
                                                  std::string* errorOut);

// The device side with a key held for many openings: the fleet scalar is checked and its
// public point derived once, and each envelope then costs one check of its ephemeral point
// and one variable-base multiplication.
//
// Thread safety: every member is const and keeps its working state to itself, so one
// opener may be used by any number of threads at once.
class FleetOpener {
 public:
  // An opener for the fleet's 32-octet private scalar; null unless it is in [1, n-1].
  [[nodiscard]] ZEZI_VIDAD_EXPORT static std::unique_ptr<FleetOpener> create(
      const Bytes& fleetScalar);

  ZEZI_VIDAD_EXPORT ~FleetOpener();
  FleetOpener(const FleetOpener&) = delete;
  FleetOpener& operator=(const FleetOpener&) = delete;

 private:
  struct Key;
  friend struct FleetOpenerSteps;  // the library's own steps, never installed
  explicit FleetOpener(std::unique_ptr<const Key> key);

  std::unique_ptr<const Key> key_;
};

// Opens `envelope` exactly as the openEnvelope above does, with the same checks in the same
// order and the same messages, but with the opener's key.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool openEnvelope(std::string_view envelope,
                                                  const FleetOpener& opener, Network* networkOut,
                                                  std::string* errorOut);

}  // namespace zezi
