// A small JSON reader (RFC 8259 grammar) for envelopes and their payloads.
//
// Strings are read as octet strings: the builder copies SSID octets 0x80 and up as they
// are, so raw octets at or above 0x80 pass through without UTF-8 validation. Escapes are
// decoded, \uXXXX (with surrogate pairs) to UTF-8. Objects keep their members in document
// order, repeated keys included, so that callers can refuse repeats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "crypto/types.h"

namespace zezi {

// Deepest nesting of arrays and objects accepted; it also bounds the reader's recursion.
inline constexpr std::size_t kMaxJsonDepth = 32;

enum class JsonKind : std::uint8_t { kNull, kBoolean, kNumber, kString, kArray, kObject };

struct JsonMember;

// One parsed value. Payload strings hold the PSK, so text and containers are cleansed.
struct JsonValue {
  JsonKind kind = JsonKind::kNull;
  bool boolean = false;
  SecretText text;  // a string's decoded octets, or a number exactly as written
  std::vector<JsonValue, CleansingAllocator<JsonValue>> items;      // array elements
  std::vector<JsonMember, CleansingAllocator<JsonMember>> members;  // object members
};

struct JsonMember {
  SecretText key;
  JsonValue value;
};

// The one value that `text` holds, with only white space around it, or nothing when the
// text is not JSON or nests deeper than kMaxJsonDepth.
[[nodiscard]] std::optional<JsonValue> parseJson(std::string_view text);

}  // namespace zezi
