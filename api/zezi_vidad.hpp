// Everything the library offers C++ programs: sealing (one envelope at a time, or many with
// one key), key pairs and key files, signing an envelope, opening (one envelope, many with
// one key, or a signed one against the device's trust list and replay state), the
// self-test and the version. The C interface is <zezi_vidad/zezi_vidad.h>.
#pragma once

#include "api/version.h"
#include "crypto/types.h"
#include "opener/open_envelope.h"
#include "opener/open_signed_envelope.h"
#include "sealer/builder.h"
#include "sealer/key_files.h"
#include "sealer/signature_file.h"
#include "selftest/run_self_test.h"
