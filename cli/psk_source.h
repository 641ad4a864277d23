// Where `seal` gets the network's PSK: a PSK file, a passphrase file, or the terminal.
#pragma once

#include <string>

#include "crypto/types.h"

namespace zezi {

// The files seal reads the secret from, as given; both empty to ask on the terminal.
struct SecretFiles {
  std::string pskFile;
  std::string passphraseFile;
};

// The lowercase hex PSK for the network `ssid`: read from --psk-file, derived from the
// passphrase in --passphrase-file, or from what is typed twice on the terminal when neither
// is given.
[[nodiscard]] bool obtainPsk(const SecretFiles& files, const std::string& ssid, SecretText* psk,
                             std::string* error);

}  // namespace zezi
