#include "cli/command.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/exit_status.h"
#include "cli/atomic_file.h"
#include "cli/diagnostics.h"

namespace zezi {

CLI::Option* addFleetKeyOption(CLI::App* command, std::string* fleetKey) {
  return takes(command->add_option("--fleet-key", *fleetKey,
                                   "public key file (.pub) or 128 hex characters"),
               "KEY")
      ->required();
}

CLI::Validator checkedBy(ValueCheck check) {
  return {[check](const std::string& value) {
            std::string error;
            return check(value, &error) ? std::string() : error;
          },
          /*validator_desc=*/""};
}

bool sameFile(const std::string& first, const std::string& second) {
  struct stat firstInfo {};
  struct stat secondInfo {};
  if (stat(first.c_str(), &firstInfo) == 0 && stat(second.c_str(), &secondInfo) == 0) {
    return firstInfo.st_dev == secondInfo.st_dev && firstInfo.st_ino == secondInfo.st_ino;
  }
  std::error_code absoluteFailure;
  std::error_code canonicalFailure;
  const auto full = [&](const std::string& path) {
    auto resolved = std::filesystem::weakly_canonical(
        std::filesystem::absolute(path, absoluteFailure), canonicalFailure);
    return absoluteFailure || canonicalFailure ? std::filesystem::path(path) : resolved;
  };
  return full(first) == full(second);
}

int emit(const std::string& path, std::string_view text, bool force) {
  if (path.empty()) {
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
        std::fflush(stdout) != 0) {
      return reportFailure("cannot write standard output");
    }
    return kExitOk;
  }
  std::string error;
  return writeFileAtomically(path, text, kPublicMode, force, &error) ? kExitOk
                                                                     : reportFailure(error);
}

}  // namespace zezi
