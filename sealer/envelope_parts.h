// The steps of sealing that buildEnvelope and FleetSealer share, so that the two produce
// the same octets with the same messages: each makes its own key agreement, on its own
// P-256 code, and everything after it is one path. Private to the sealing floor.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "crypto/types.h"

namespace zezi {

// The network's checks, in this order: a PSK of 64 lowercase hex characters, a non-empty
// SSID. False with the fixed message in `*errorOut` (when not null) at the first refusal.
[[nodiscard]] bool checkNetwork(std::string_view ssid, std::string_view psk, std::string* errorOut);

// How fresh salts and nonces are drawn: buildEnvelope draws the salt, then the nonce, each
// with its own failure message; the fleet sealer saves a call by drawing both at once.
enum class Draws : std::uint8_t { kSaltThenNonce, kOneCall };

// The supplied salt and nonce, or fresh ones (16 and 12 octets) for those that are empty.
// A supplied nonce of the wrong length is left for the sealing to refuse. False with a
// fixed message when the generator fails.
[[nodiscard]] bool saltAndNonce(const Bytes& salt, const Bytes& nonce, Bytes* saltOut,
                                Bytes* nonceOut, std::string* errorOut, Draws draws);

// What one envelope's key agreement leaves for the steps after it.
struct AgreedEnvelope {
  Bytes sharedSecret;    // the X coordinate of the shared point, 32 octets
  Bytes ephemeralPoint;  // 65 octets, 04 || X || Y
  Bytes salt;
  Bytes nonce;
};

// Everything after the key agreement: the envelope key (HKDF-SHA256 over the domain and
// both points), the payload {"networks":[{"ssid":…,"psk":…}]}, AES-256-GCM with the domain
// as additional data, and the envelope's seven lines of text into `*envelopeOut`. False
// with a fixed message when a step fails, leaving `*envelopeOut` untouched.
[[nodiscard]] bool finishEnvelope(const AgreedEnvelope& agreed, const Bytes& fleetPoint,
                                  std::string_view ssid, std::string_view psk,
                                  std::string* envelopeOut, std::string* errorOut);

}  // namespace zezi
