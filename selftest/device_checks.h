// The device's self-test: what a device that only opens can prove of itself, with no
// sealing code to lean on. The known answers of the key agreement, seen from the fleet's
// side, and of the derivation; then an envelope assembled here from the known inputs and
// opened by the device's own opening, and refused once tampered with.
#pragma once

#include <string>

namespace zezi {

// True when every check passes; otherwise false with the first failure in `*error`.
[[nodiscard]] bool runDeviceSelfTest(std::string* error);

}  // namespace zezi
