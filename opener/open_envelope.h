// The receiving side: opens a whole envelope with the fleet private key, as a device does.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "envelope/types.h"

namespace zezi {

// Envelopes are a few hundred octets; anything far larger is refused before parsing.
inline constexpr std::size_t kMaxEnvelopeSize = 64 * 1024;

// Every message openEnvelope can write to *errorOut, one per cause of failure, in the
// order the checks run.
inline constexpr auto kOpenEnvelopeMessages = std::to_array<std::string_view>({
    "envelope is too large",
    "no output for the network",
    "envelope is not valid JSON",
    "envelope is not a JSON object",
    "envelope has an unknown member",
    "envelope member \"format\" is missing",
    "envelope member \"eph_pub\" is missing",
    "envelope member \"salt\" is missing",
    "envelope member \"nonce\" is missing",
    "envelope member \"sealed\" is missing",
    "envelope member \"format\" appears more than once",
    "envelope member \"eph_pub\" appears more than once",
    "envelope member \"salt\" appears more than once",
    "envelope member \"nonce\" appears more than once",
    "envelope member \"sealed\" appears more than once",
    "envelope member \"format\" is not a string",
    "envelope member \"eph_pub\" is not a string",
    "envelope member \"salt\" is not a string",
    "envelope member \"nonce\" is not a string",
    "envelope member \"sealed\" is not a string",
    "envelope format is not tolvane-wifi-drive/v1",
    "envelope member \"eph_pub\" is not canonical Base64",
    "envelope member \"salt\" is not canonical Base64",
    "envelope member \"nonce\" is not canonical Base64",
    "envelope member \"sealed\" is not canonical Base64",
    "envelope eph_pub is not a P-256 public point",
    "envelope salt is empty",
    "envelope nonce is not 12 octets",
    "envelope sealed payload is too short",
    "fleet private key is not a valid P-256 scalar",
    "key agreement failed",
    "key derivation failed",
    "envelope does not open with this key",
    "payload decryption failed",
    "payload is not valid JSON",
    "payload is not an object holding only a networks array",
    "payload does not hold exactly one network",
    "payload network is not a JSON object",
    "payload network has an unknown member",
    "payload network member appears more than once",
    "payload ssid is missing or not a string",
    "payload psk is missing or not a string",
    "payload ssid is empty",
    "payload psk is not 64 lowercase hex characters",
});

// The network an envelope carries.
struct Network {
  std::string ssid;  // the SSID's octets exactly as sealed, not necessarily UTF-8
  SecretText psk;    // 64 lowercase hex characters
};

// Opens `envelope` (any JSON formatting of the five members) with the fleet's 32-octet
// private scalar. On success writes the network to `*networkOut` and returns true, leaving
// `*errorOut` untouched. On failure returns false, leaves `*networkOut` untouched and, when
// `errorOut` is not null, replaces its contents with one fixed message.
[[nodiscard]] bool openEnvelope(std::string_view envelope, const Bytes& fleetScalar,
                                Network* networkOut, std::string* errorOut);

}  // namespace zezi
