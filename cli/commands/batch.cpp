#include "cli/commands/batch.h"

#include "base/failure.h"
#include "cli/command.h"

namespace zezi {
namespace {

// --jobs: a whole number of threads, checked as typed so that no value is repeated.
bool checkJobs(const std::string& text, std::string* error) {
  const bool digits = !text.empty() && text.size() <= 3 &&
                      text.find_first_not_of("0123456789") == std::string::npos;
  const unsigned long jobs = digits ? std::stoul(text) : 0;
  return (jobs >= 1 && jobs <= kMaxJobs) ||
         failWith(error, "must be a whole number from 1 to " + std::to_string(kMaxJobs));
}

}  // namespace

const char* const kBatchHelp =
    "With --batch FILE every network of FILE is sealed into its own file in --out-dir (made\n"
    "with its parents if missing). FILE is CSV whose first line names the columns: ssid, or\n"
    "ssid_hex for the SSID's octets in hex, and psk or passphrase (RFC 4180 quoting, no NUL\n"
    "octet); or JSON Lines, one object per line with the same names. It must not be readable\n"
    "by group or others. Every row and every file it goes to are checked before anything is\n"
    "written, and the first bad one is reported as FILE:LINE; no envelope may replace a\n"
    "folder, FILE or the --fleet-key file. A file is named after its SSID: letters, digits,\n"
    "'.', '-' and '_' are kept, any other octet and a leading '.' become '_' and then \"-\" and\n"
    "8 hex digits of a hash of the SSID are added, so that SSIDs differing only there keep\n"
    "apart. A name whose part before the first dot is reserved on Windows (CON, PRN, AUX,\n"
    "NUL, COM0-COM9, LPT0-LPT9, in any case) gets '_' after that part. A name that an earlier\n"
    "row has taken, or one differing from it only in case, gets -2, -3, ... Then \".json\" is\n"
    "added. Each file appears whole or not at all; existing files are replaced only with\n"
    "--force. After a run that stopped midway, --resume keeps every file that holds a whole\n"
    "envelope (its form and its ephemeral point are checked; the batch file must be the same)\n"
    "and seals the rest. --list prints \"FILE:LINE<tab>envelope file\" for each row as its\n"
    "envelope is written or kept. --jobs sets the number of threads, 1 to 256 (default: one\n"
    "per core). A batch is not signed: sign its envelopes afterwards as one set, up to 16 in\n"
    "one run: sign --envelope FILE --envelope FILE ...\n\n";

BatchPart::BatchPart(CLI::App* seal, std::initializer_list<CLI::Option*> oneNetwork) {
  batchOption_ = takes(
      seal->add_option("--batch", options_.path, "CSV or JSON Lines file of networks"), "FILE");
  for (CLI::Option* excluded : oneNetwork) {
    batchOption_->excludes(excluded);
  }
  CLI::Option* outDir = takes(seal->add_option("--out-dir", options_.outDir,
                                               "folder for the batch's envelopes (with --batch)"),
                              "FOLDER")
                            ->needs(batchOption_);
  batchOption_->needs(outDir);
  takes(seal->add_option("--jobs", jobs_,
                         "threads sealing the batch, 1 to 256 (default: one per core)"),
        "N")
      ->check(checkedBy(checkJobs))
      ->needs(batchOption_);
  once(seal->add_flag("--resume", options_.resume,
                      "keep the batch's whole envelopes, seal the others (with --batch)"))
      ->needs(batchOption_);
  once(seal->add_flag("--list", options_.list,
                      "print each row's line and envelope file (with --batch)"))
      ->needs(batchOption_);
}

bool BatchPart::complete(bool signingGiven, std::string* error) {
  // A batch names its networks in its file, and is not signed.
  if (signingGiven) {
    return failWith(error, "--batch excludes --serial-file, --serial and --valid-for");
  }
  if (!jobs_.empty()) {
    options_.jobs = static_cast<unsigned>(std::stoul(jobs_));  // checked by checkJobs
  }
  return true;
}

int BatchPart::run(const std::string& fleetKey, bool force) const {
  BatchOptions options = options_;
  options.fleetKey = fleetKey;
  options.force = force;
  return runBatch(options);
}

}  // namespace zezi
