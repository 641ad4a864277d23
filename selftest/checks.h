// The self-test's checks with inputs of the caller's choosing, so that each check's failure
// can be provoked. Private: runSelfTest (selftest/run_self_test.h) is the public entry.
#pragma once

#include <string>
#include <string_view>

#include "selftest/run_self_test.h"

namespace zezi {

// The seven fixed inputs of a run, as hex texts.
struct SelfTestInputs {
  std::string_view fleetScalarHex;
  std::string_view ephemeralScalarHex;
  std::string_view saltHex;
  std::string_view nonceHex;
  std::string_view expectedSharedSecretHex;
  std::string_view expectedEnvelopeKeyHex;
  std::string_view psk;
};

// The inputs of known_answers.h.
[[nodiscard]] SelfTestInputs fixedSelfTestInputs();

// The same checks with other inputs, so that each check's failure can be provoked.
[[nodiscard]] bool runSelfTestWith(const SelfTestInputs& inputs, std::string* error);

}  // namespace zezi
