// The self-test: known answers for the key agreement and the key derivation, then an
// envelope built from fixed inputs, its expected payload sealed again here and opened with
// the device's AEAD opening, and the envelope's text.
#pragma once

#include <string>

#include "base/export.h"

namespace zezi {

// Runs every check with the fixed inputs. True when all pass, leaving `*errorOut`
// untouched; false at the first failing check, whose message then replaces `*errorOut` if
// it is not null.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool runSelfTest(std::string* errorOut);

}  // namespace zezi
