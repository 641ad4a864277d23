// Everything the library offers C++ programs: sealing and opening (one envelope at a time,
// or many with one key), key pairs and key files,
// the self-test and the version. The C interface is <zezi_vidad/zezi_vidad.h>.
#pragma once

#include "api/version.h"
#include "crypto/types.h"
#include "opener/fleet_opener.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "opener/replay_store.h"
#include "sealer/builder.h"
#include "sealer/fleet_sealer.h"
#include "sealer/key_files.h"
#include "sealer/key_pair.h"
#include "sealer/signature_file.h"
#include "selftest/run_self_test.h"
