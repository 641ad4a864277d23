// The receiving side: opens a whole envelope with the fleet private key, as a device does.
// With the key loaded once for many envelopes: opener/fleet_opener.h.
#pragma once

#include <cstddef>
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

}  // namespace zezi
