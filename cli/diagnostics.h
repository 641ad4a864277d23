// How the tool reports what went wrong.
#pragma once

#include <string_view>

#include "base/exit_status.h"

namespace zezi {

// Writes "zezi-vidad: <message>" to standard error as one line in lower case without a
// full stop, and returns `status` for the caller to exit with.
int reportFailure(std::string_view message, int status = kExitFailure);

}  // namespace zezi
