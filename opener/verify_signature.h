// The device's check of a signed envelope's signature file, against its trust list and
// replay state, before the envelope is opened.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/export.h"
#include "crypto/statement.h"
#include "opener/replay_state.h"
#include "opener/trust_list.h"

namespace zezi {

// How far in the future issued_at may be when a trusted clock is given.
inline constexpr std::uint64_t kMaxClockSkewSeconds = 300;

// What to do with an envelope that has no signature file beside it.
enum class SignaturePolicy : std::uint8_t {
  kRequired,    // refuse it
  kTransition,  // accept it until a signed envelope has been accepted; keep no state for it
};

struct SignatureInput {
  std::string_view envelope;                      // the envelope file's exact octets
  std::optional<std::string_view> signatureFile;  // absent: no signature file exists
  // The stored replay state; null when the store could not read it, which always fails.
  const ReplayState* state = nullptr;
  SignaturePolicy policy = SignaturePolicy::kRequired;
  std::optional<std::uint64_t> now;  // a trusted current time, Unix seconds, if any
};

struct VerifiedSignature {
  bool isSigned = false;     // false: an unsigned envelope that the transition policy let in
  std::size_t keyIndex = 0;  // the signer's index in the trust list
  Statement statement;       // the signed statement's fields
};

// Runs the checks in their fixed order. On success writes what was verified and the new
// replay state (for the caller to commit once the envelope has opened) and returns true,
// leaving `*errorOut` untouched. On failure returns false, leaves both outputs untouched
// and, when `errorOut` is not null, replaces its contents with one fixed message.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool verifySignature(const SignatureInput& input,
                                                     const TrustList& trustList,
                                                     VerifiedSignature* verifiedOut,
                                                     ReplayState* stateOut, std::string* errorOut);

}  // namespace zezi
