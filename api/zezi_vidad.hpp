// Everything the library offers C++ programs: sealing and opening (one envelope at a time,
// or many with one key), key pairs and key files,
// the self-test and the version. The C interface is <zezi_vidad/zezi_vidad.h>.
#pragma once

#include "api/version.h"
#include "envelope/builder.h"
#include "envelope/fleet_sealer.h"
#include "envelope/key_files.h"
#include "envelope/key_pair.h"
#include "envelope/signature_file.h"
#include "envelope/types.h"
#include "opener/fleet_opener.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "selftest/run_self_test.h"
