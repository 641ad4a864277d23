// The reference opener on arbitrary key, nonce, additional data and sealing: it never
// crashes, leaves its output alone on every status but success, and never accepts a
// valid sealing with one bit changed.
#include <cstddef>
#include <cstdint>

#include <fuzzer/FuzzedDataProvider.h>

#include "crypto/aead.h"
#include "fuzz_check.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // Mostly the right lengths, so that the cipher is reached, sometimes any length.
  const bool rightLengths = input.ConsumeBool();
  const zezi::Bytes key =
      rightLengths ? zezi::fuzz::takeBytes(input, 32) : zezi::fuzz::takeUpTo(input, 40);
  const zezi::Bytes nonce =
      rightLengths ? zezi::fuzz::takeBytes(input, 12) : zezi::fuzz::takeUpTo(input, 20);
  const zezi::Bytes aad = zezi::fuzz::takeUpTo(input, 64);
  const std::size_t flippedBit = input.ConsumeIntegral<std::uint16_t>();
  const zezi::Bytes sealed = zezi::fuzz::takeRest(input);

  const zezi::Bytes sentinel = {0xde, 0xad};
  zezi::Bytes plaintext = sentinel;
  const zezi::OpenStatus status = zezi::openPayload(key, nonce, aad, sealed, &plaintext);
  FUZZ_CHECK(status >= zezi::kOpenOk && status <= zezi::kOpenInternalError);
  if (status == zezi::kOpenOk) {
    FUZZ_CHECK(plaintext.size() + zezi::kTagSize == sealed.size());
  } else {
    FUZZ_CHECK(plaintext == sentinel);
  }

  // Treat the arbitrary octets as a message: its sealing opens, and no altered copy does.
  const zezi::Bytes valid = zezi::sealPayload(key, nonce, aad, sealed);
  if (valid.empty()) {
    FUZZ_CHECK(key.size() != zezi::kEnvelopeKeySize || nonce.size() != zezi::kNonceSize);
    return 0;
  }
  zezi::Bytes opened;
  FUZZ_CHECK(zezi::openPayload(key, nonce, aad, valid, &opened) == zezi::kOpenOk);
  FUZZ_CHECK(opened == sealed);

  zezi::Bytes altered = valid;
  const std::size_t bit = flippedBit % (altered.size() * 8);
  altered[bit / 8] ^= static_cast<std::uint8_t>(1U << (bit % 8));
  zezi::Bytes untouched = sentinel;
  FUZZ_CHECK(zezi::openPayload(key, nonce, aad, altered, &untouched) ==
             zezi::kOpenAuthenticationFailed);
  FUZZ_CHECK(untouched == sentinel);
  return 0;
}
