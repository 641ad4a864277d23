// The self-test: known answers for the key agreement and the key derivation, then an
// envelope built from fixed inputs, its payload sealed with the derived key and opened back
// (and refused under another domain), and the envelope's members checked.
#pragma once

#include <string>

#include "base/export.h"

namespace zezi {

// Runs every check with the fixed inputs. True when all pass, leaving `*errorOut`
// untouched; false at the first failing check, whose message then replaces `*errorOut` if
// it is not null.
[[nodiscard]] ZEZI_VIDAD_EXPORT bool runSelfTest(std::string* errorOut);

}  // namespace zezi
