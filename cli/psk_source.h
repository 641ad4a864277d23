// Where `seal` gets the network's PSK: a PSK file, a passphrase file, or the terminal.
#pragma once

#include <string>

#include "cli/options.h"
#include "crypto/types.h"

namespace zezi {

// The lowercase hex PSK for `options`: read from --psk-file, derived from the passphrase in
// --passphrase-file, or from what is typed twice on the terminal when neither is given.
[[nodiscard]] bool obtainPsk(const SealOptions& options, SecretText* psk, std::string* error);

}  // namespace zezi
