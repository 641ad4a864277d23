// Everything the full library offers C++ programs: the device's side (<zezi_vidad/device.hpp>,
// included here), and sealing (one envelope at a time, or many with one key), key pairs and
// key files, signing an envelope and the self-test. The C interface is
// <zezi_vidad/zezi_vidad.h>.
//
// Installed as <zezi_vidad/device.hpp>'s include and these headers' text, one after the other
// (cmake/PublicHeaders.cmake): each holds public declarations alone.
#pragma once

#include "api/device.hpp"
#include "sealer/builder.h"
#include "sealer/fleet_sealer.h"
#include "sealer/key_files.h"
#include "sealer/signature_file.h"
#include "selftest/run_self_test.h"
