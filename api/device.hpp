// What the device library offers C++ programs: opening (one envelope, many with one key, or a
// signed one against the device's trust list and replay state) and the version; nothing that
// seals, makes keys, signs or runs the self-test, so a device program that includes this
// header alone cannot call what the device library does not have. The full library's
// <zezi_vidad/zezi_vidad.hpp> includes this one and adds those. The C interface is
// <zezi_vidad/device.h>.
//
// Installed as these headers' text, one after the other (cmake/PublicHeaders.cmake): each
// holds public declarations alone.
#pragma once

#include "api/version.h"
#include "base/bytes.h"
#include "base/export.h"
#include "crypto/types.h"
#include "opener/fleet_opener.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_state.h"
#include "opener/trust_list.h"
