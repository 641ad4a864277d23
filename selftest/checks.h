// The self-test: known answers for the key agreement and the key derivation, then an
// envelope built from fixed inputs and checked against an independent sealing and opener.
#pragma once

#include <string>
#include <string_view>

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

// Runs every check with the fixed inputs. True when all pass, leaving `error` untouched;
// false at the first failing check, whose message then replaces `*error` if it is not null.
[[nodiscard]] bool runSelfTest(std::string* error);

// The same checks with other inputs, so that each check's failure can be provoked.
[[nodiscard]] bool runSelfTestWith(const SelfTestInputs& inputs, std::string* error);

}  // namespace zezi
