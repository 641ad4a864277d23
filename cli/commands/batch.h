// `seal --batch`: the batch's options, registered on seal's subcommand, and its run.
#pragma once

#include <CLI/CLI.hpp>
#include <initializer_list>
#include <string>

#include "cli/batch/runner.h"

namespace zezi {

// The paragraph of seal's help on batches.
extern const char* const kBatchHelp;

class BatchPart {
 public:
  // Adds --batch, --out-dir, --jobs, --resume and --list to `seal`; --batch excludes each
  // of `oneNetwork`, the options of a single network.
  BatchPart(CLI::App* seal, std::initializer_list<CLI::Option*> oneNetwork);

  // Whether --batch was given; asked only while the parser that owns the option lives.
  [[nodiscard]] bool given() const { return batchOption_->count() > 0; }

  // After parsing, with --batch given: false with a usage message.
  [[nodiscard]] bool complete(bool signingGiven, std::string* error);

  // Seals the batch for the fleet key `fleetKey` and returns the exit status.
  [[nodiscard]] int run(const std::string& fleetKey, bool force) const;

 private:
  BatchOptions options_;
  std::string jobs_;  // as typed, checked by checkJobs
  CLI::Option* batchOption_ = nullptr;
};

}  // namespace zezi
