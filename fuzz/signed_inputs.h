// The fixed inputs of the signed-envelope fuzzers: two signer keys, the trust list of both
// for the self-test's fleet key, and the self-test's envelope. The seeds in fuzz/corpus/ are
// signer 0's signature files for that envelope.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "crypto/p256_keys.h"
#include "encoding/hex.h"
#include "fuzz_check.h"
#include "opener/open_signed_envelope.h"
#include "sealer/fixed_inputs.h"
#include "selftest/known_answers.h"

namespace zezi::fuzz {

inline constexpr std::array<std::string_view, 2> kSignerScalars = {
    "bba93954db7d454e1c61496264a968118cd1abcec0176808ab24afd057ae654e",
    "5d74d345726961678c7b885066809eda6da72d63726d46e453b5d4baffa3d9ed"};

inline Bytes rawPublicOf(const Bytes& scalar) {
  return encodedPublicKey(loadPrivateKey(scalar).get());
}

inline const Bytes& fleetKey() {
  static const Bytes raw = rawPublicOf(hexDecode(kTestFleetScalarHex));
  return raw;
}

inline const TrustList& trustList() {
  static const TrustList list = [] {
    TrustSettings settings;
    for (const std::string_view scalar : kSignerScalars) {
      settings.signerKeys.push_back(rawPublicOf(hexDecode(scalar)));
    }
    settings.fleetKey = fleetKey();
    settings.version = 1;
    TrustList loaded;
    FUZZ_CHECK(loadTrustList(settings, &loaded, nullptr));
    return loaded;
  }();
  return list;
}

// The self-test's envelope: its fixed inputs sealing "Tournament".
inline const std::string& envelope() {
  static const std::string text = [] {
    std::string built;
    FUZZ_CHECK(buildEnvelope("Tournament", kTestPsk, fleetKey(), &built, nullptr,
                             hexDecode(kTestSaltHex), hexDecode(kTestNonceHex),
                             hexDecode(kTestEphemeralScalarHex)));
    return built;
  }();
  return text;
}

}  // namespace zezi::fuzz
