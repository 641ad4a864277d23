// Octet strings drawn from a fuzz input, as the library's cleansing Bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include <fuzzer/FuzzedDataProvider.h>

#include "crypto/types.h"

namespace zezi::fuzz {

inline Bytes takeBytes(FuzzedDataProvider& input, std::size_t count) {
  const auto drawn = input.ConsumeBytes<std::uint8_t>(count);
  return {drawn.begin(), drawn.end()};
}

// Up to `maxSize` octets, the count chosen by the input.
inline Bytes takeUpTo(FuzzedDataProvider& input, std::size_t maxSize) {
  return takeBytes(input, input.ConsumeIntegralInRange<std::size_t>(0, maxSize));
}

inline Bytes takeRest(FuzzedDataProvider& input) {
  const auto drawn = input.ConsumeRemainingBytes<std::uint8_t>();
  return {drawn.begin(), drawn.end()};
}

}  // namespace zezi::fuzz
