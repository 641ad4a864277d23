// A small JSON reader (RFC 8259 grammar) for envelopes and their payloads.
//
// Strings are read as octet strings: the builder copies SSID octets 0x80 and up as they
// are, so raw octets at or above 0x80 pass through without UTF-8 validation. Escapes are
// decoded, \uXXXX (with surrogate pairs) to UTF-8. Objects keep their members in document
// order, repeated keys included, so that callers can refuse repeats.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/bytes.h"

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

// ---- The strict object of the envelope and of the signature file ----

// What is wrong with a strict object, in the order the checks run.
enum class ObjectFault : std::uint8_t {
  kNone,
  kNotJson,
  kNotObject,
  kUnknownMember,
  kMissing,    // of `member`
  kRepeated,   // of `member`
  kNotString,  // of `member`
  kWrongFormat,
  kNotBase64,  // of `member`
};

struct ObjectReading {
  ObjectFault fault = ObjectFault::kNone;
  std::size_t member = 0;  // the index into the keys of the member at fault
};

// The most members a strict object may have.
inline constexpr std::size_t kMaxStrictMembers = 8;

// Reads `text` as a JSON object of exactly the members `keys` (at most kMaxStrictMembers), each
// once, each a string, in any order, checking them in this order: the text is JSON, it is an
// object, it has no other member, then for each key in turn that it is there, once, as a string.
// The first key's value must be `format` exactly; the others must be canonical Base64, decoded in
// turn into `decodedOut[i - 1]` (which must have keys.size() - 1 elements).
[[nodiscard]] ObjectReading readStrictObject(std::string_view text,
                                             std::span<const std::string_view> keys,
                                             std::string_view format, std::span<Bytes> decodedOut);

// A strict object's member and the failures, in a caller's own enum, that it can cause.
template <typename Failure>
struct MemberFailures {
  std::string_view key;
  Failure missing;
  Failure repeated;
  Failure notString;
  Failure notBase64;  // unused for the first member, the format
};

// The failures of the object as a whole, and its format.
template <typename Failure>
struct ObjectFailures {
  Failure notJson;
  Failure notObject;
  Failure unknownMember;
  std::string_view format;
  Failure wrongFormat;
};

// readStrictObject with a caller's members and failures: Failure{} when the object is
// good and its Base64 members are decoded into `*decodedOut`.
template <typename Failure, std::size_t N>
[[nodiscard]] Failure readStrictObject(std::string_view text, const ObjectFailures<Failure>& object,
                                       const std::array<MemberFailures<Failure>, N>& members,
                                       std::array<Bytes, N - 1>* decodedOut) {
  std::array<std::string_view, N> keys{};
  for (std::size_t i = 0; i < N; ++i) {
    keys[i] = members[i].key;
  }
  const ObjectReading reading = readStrictObject(text, keys, object.format, *decodedOut);
  const MemberFailures<Failure>& member = members[reading.member];
  switch (reading.fault) {
    case ObjectFault::kNone:
      break;
    case ObjectFault::kNotJson:
      return object.notJson;
    case ObjectFault::kNotObject:
      return object.notObject;
    case ObjectFault::kUnknownMember:
      return object.unknownMember;
    case ObjectFault::kMissing:
      return member.missing;
    case ObjectFault::kRepeated:
      return member.repeated;
    case ObjectFault::kNotString:
      return member.notString;
    case ObjectFault::kWrongFormat:
      return object.wrongFormat;
    case ObjectFault::kNotBase64:
      return member.notBase64;
  }
  return Failure{};
}

}  // namespace zezi
