// The byte strings every floor passes around: octets and secret text, both cleansed when
// their memory is released.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/cleansing_allocator.h"

namespace zezi {

// An owning, growable octet string. An empty value is the failure result of every
// operation that returns one. Keys, secrets and plaintexts all pass through this type, so
// its memory is cleansed whenever it is released, reallocation included.
using Bytes = std::vector<std::uint8_t, CleansingAllocator<std::uint8_t>>;

// Text that holds a secret (a PSK, a passphrase), cleansed like Bytes when released. Up to
// 15 characters live inside the object itself, where the allocator cannot reach them.
using SecretText = std::basic_string<char, std::char_traits<char>, CleansingAllocator<char>>;

// The octets of `text`, in order, without a terminator.
[[nodiscard]] inline Bytes textToBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

}  // namespace zezi
