// The bash completion of a program, written from its command table at build time, so that
// a new command or option completes without a list kept by hand.
#pragma once

#include <string>

#include "cli/options.h"

namespace zezi {

// The bash completion script of `program`: its commands at the first word, then each
// command's options; file names after an option taking a file or a key file, folder names
// after one taking a folder, nothing after one taking another value. It needs the
// bash-completion package's helpers, as every script in its completions folder does.
[[nodiscard]] std::string completionScript(const Program& program);

}  // namespace zezi
