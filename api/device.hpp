// What the device library offers C++ programs: opening (one envelope, many with one key, or a
// signed one against the device's trust list and replay state) and the version; nothing that
// seals, makes keys, signs or runs the self-test, so a device program that includes this
// header alone cannot call what the device library does not have. The full library's
// <zezi_vidad/zezi_vidad.hpp> includes this one and adds those. The C interface is
// <zezi_vidad/device.h>.
#pragma once

#include "api/version.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
