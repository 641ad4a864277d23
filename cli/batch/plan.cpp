#include "cli/batch/plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "base/failure.h"
#include "cli/atomic_file.h"
#include "cli/batch/interrupt.h"
#include "cli/batch/names.h"
#include "cli/secret_input.h"
#include "opener/open_envelope.h"
#include "opener/open_failure.h"

namespace zezi {
namespace {

// True when `path` holds a whole envelope (opener/open_failure.h), which --resume keeps.
bool holdsWholeEnvelope(const std::string& path) {
  SecretText text;
  std::string ignored;
  return readInput(path, kMaxEnvelopeSize, &text, &ignored) && isWholeEnvelope(text);
}

// Whether the envelope for one row may go to `target`, and whether it is there already
// (with --resume): false with the refusal.
bool checkTarget(const BatchOptions& options, const std::string& target,
                 const std::vector<BatchInput>& inputs, bool* keep, Refusal* refusal) {
  *keep = false;
  struct stat info {};
  if (lstat(target.c_str(), &info) != 0) {
    return errno == ENOENT || failWith(&refusal->message, systemError("cannot write " + target));
  }
  struct stat followed {};
  const bool reached = stat(target.c_str(), &followed) == 0;
  const auto input = std::find_if(inputs.begin(), inputs.end(), [&](const BatchInput& file) {
    return reached && followed.st_dev == file.device && followed.st_ino == file.inode;
  });
  if (input != inputs.end()) {
    refusal->status = kExitUsage;
    return failWith(&refusal->message,
                    "the envelope " + target + " would replace the " + input->option + " file");
  }
  if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
    return failWith(&refusal->message, systemError("cannot write " + target));
  }
  if (options.resume && holdsWholeEnvelope(target)) {
    *keep = true;
    return true;
  }
  if (options.force) {
    return true;
  }
  return failWith(&refusal->message,
                  options.resume ? target + " is not a whole envelope (use --force to replace it)"
                                 : target +
                                       " exists (use --resume to seal only the envelopes missing, "
                                       "or --force to replace them)");
}

}  // namespace

std::string placeInBatch(const std::string& path, const BatchError& error) {
  std::string text = path;
  if (error.line != 0) {
    text += ':';
    text += std::to_string(error.line);
  }
  text += ": ";
  text += error.reason;
  return text;
}

bool checkRows(const BatchOptions& options, int fd, const std::vector<BatchInput>& inputs,
               BatchPlan* plan, Refusal* refusal) {
  BatchReader reader(readFromFd(fd));
  EnvelopeNames names;
  BatchRow row;
  BatchError bad;
  for (;;) {
    const BatchReader::Step step = reader.next(&row, &bad);
    if (step == BatchReader::Step::kEnd) {
      break;
    }
    if (step == BatchReader::Step::kError) {
      refusal->message = placeInBatch(options.path, bad);
      return false;
    }
    const std::string target = names.claimIn(options.outDir, row.ssid);
    bool keep = false;
    if (!checkTarget(options, target, inputs, &keep, refusal)) {
      refusal->message = placeInBatch(options.path, {row.line, refusal->message});
      return false;
    }
    plan->kept.push_back(keep);
    plan->keptCount += keep ? 1 : 0;
    ++plan->rows;
    if (batchInterrupted()) {
      refusal->message = "interrupted before anything was written";
      return false;
    }
  }
  if (plan->rows == 0) {
    refusal->message = placeInBatch(options.path, {0, "holds no rows"});
    return false;
  }
  return true;
}

}  // namespace zezi
