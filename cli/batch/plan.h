// The first pass of a batch: every row read and every target checked, nothing written.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "base/exit_status.h"
#include "cli/batch/reader.h"
#include "cli/batch/runner.h"

namespace zezi {

// A file the batch reads, which no envelope may replace.
struct BatchInput {
  // Read through an iterator, which cppcheck does not follow.
  // cppcheck-suppress unusedStructMember
  std::string option;
  dev_t device = 0;
  ino_t inode = 0;
};

// What pass one found: the rows, and which of them keep the whole envelope already there.
struct BatchPlan {
  std::size_t rows = 0;
  std::vector<bool> kept;  // by row, counting from 0
  std::size_t keptCount = 0;
};

// A failure of the check, with the status to exit with.
struct Refusal {
  std::string message;
  int status = kExitFailure;
};

// "FILE:LINE: reason", or "FILE: reason" for the file as a whole.
[[nodiscard]] std::string placeInBatch(const std::string& path, const BatchError& error);

// Reads every row once and gives out every name without writing: the first bad row, or a
// target that may not be written, is reported.
[[nodiscard]] bool checkRows(const BatchOptions& options, int fd,
                             const std::vector<BatchInput>& inputs, BatchPlan* plan,
                             Refusal* refusal);

}  // namespace zezi
