// Reads an envelope back into its members for the tests, decoding Base64 with OpenSSL
// rather than with the library's own encoder.
#pragma once

#include <openssl/evp.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <nlohmann/json.hpp>

#include "crypto/types.h"

namespace zezi::testing {

// Standard Base64 with "=" fill, or nothing when OpenSSL refuses the text.
inline std::optional<Bytes> base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return std::nullopt;
  }
  Bytes octets(text.size() / 4 * 3 + 1);
  const int written =
      EVP_DecodeBlock(octets.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (written < 0) {
    return std::nullopt;
  }
  // EVP_DecodeBlock counts the zero octets that the fill stands for.
  std::size_t fill = 0;
  while (fill < 2 && fill < text.size() && text[text.size() - 1 - fill] == '=') {
    ++fill;
  }
  octets.resize(static_cast<std::size_t>(written) - fill);
  return octets;
}

struct EnvelopeFields {
  nlohmann::json members;  // the parsed object, for the members' text
  std::string format;
  Bytes ephemeralPoint;
  Bytes salt;
  Bytes nonce;
  Bytes sealed;
};

// The five members of `envelope`, or nothing unless it is a JSON object of exactly those
// five strings with the four binary ones in valid Base64.
inline std::optional<EnvelopeFields> parseEnvelope(std::string_view envelope) {
  EnvelopeFields fields;
  fields.members = nlohmann::json::parse(envelope, nullptr, /*allow_exceptions=*/false);
  if (!fields.members.is_object() || fields.members.size() != 5) {
    return std::nullopt;
  }
  const auto text = [&fields](const char* key) -> std::optional<std::string> {
    const auto member = fields.members.find(key);
    if (member == fields.members.end() || !member->is_string()) {
      return std::nullopt;
    }
    return member->get<std::string>();
  };
  const auto format = text("format");
  if (!format) {
    return std::nullopt;
  }
  fields.format = *format;
  const std::pair<const char*, Bytes*> binaryMembers[] = {{"eph_pub", &fields.ephemeralPoint},
                                                          {"salt", &fields.salt},
                                                          {"nonce", &fields.nonce},
                                                          {"sealed", &fields.sealed}};
  for (const auto& [key, out] : binaryMembers) {
    const auto encoded = text(key);
    const auto decoded = encoded ? base64Decode(*encoded) : std::nullopt;
    if (!decoded) {
      return std::nullopt;
    }
    *out = *decoded;
  }
  return fields;
}

}  // namespace zezi::testing
