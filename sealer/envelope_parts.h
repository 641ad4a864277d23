// The pieces of an envelope that buildEnvelope and FleetSealer write alike, so that the
// two produce the same octets. Private to the sealing floor.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// The supplied value, or `drawnSize` fresh random octets when it is empty; empty when the
// generator fails.
[[nodiscard]] Bytes suppliedOrDrawn(const Bytes& supplied, std::size_t drawnSize);

// The plaintext {"networks":[{"ssid":"<escaped ssid>","psk":"<psk>"}]}, with no white
// space. Built as Bytes because it holds the PSK.
[[nodiscard]] Bytes payloadJson(std::string_view ssid, std::string_view psk);

// Seven lines: braces around the five members, each `  "key": "value"`.
[[nodiscard]] std::string envelopeJson(const Bytes& ephemeralPoint, const Bytes& salt,
                                       const Bytes& nonce, const Bytes& sealed);

}  // namespace zezi
