// What the trust list's digest covers (the list itself is public, in
// open_signed_envelope.h). Never installed.
#pragma once

#include <string_view>

#include "opener/open_signed_envelope.h"

namespace zezi {

// The octets a trust list's digest covers: "tolvane-wifi-drive-trust/v1", a zero octet,
// version, serial floor and time floor (8 octets each, big-endian), then the fleet point
// and each signer point in order (65 octets each, 04 || X || Y).
inline constexpr std::string_view kTrustListDomain = "tolvane-wifi-drive-trust/v1";

}  // namespace zezi
