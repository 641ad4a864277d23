// page: the sealing page, with which a customer seals a network to the fleet key in their own
// browser, written as one self-contained HTML file.
#include <memory>
#include <string>

#include "cli/command.h"
#include "cli/diagnostics.h"
#include "cli/key_loading.h"
#include "cli/sealing_page.h"
#include "crypto/statement.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr const char* kPageHelp =
    "Writes the sealing page: one HTML file with which whoever knows the WiFi password (a\n"
    "customer, a site) seals the network to the fleet key in their own browser and downloads\n"
    "the envelope as wifi.json, without the password ever reaching the operator. The page\n"
    "holds the fleet public key and shows its fleet id, which -o prints too: tell it to the\n"
    "customer to compare. Its script and style are inline and its Content-Security-Policy\n"
    "allows no request of any kind; it works opened from a file or from any static web\n"
    "server. Serve it from a place the customer trusts: a page altered on its way could send\n"
    "the password anywhere. The envelope it makes is unsigned: sign it with `sign` before a\n"
    "device that checks signatures takes it. Written to -o FILE (mode 0644; replaced only\n"
    "with --force) or standard output.\n\n"
    "Example:\n"
    "  zezi-vidad page --fleet-key fleet.pub --title 'WiFi for your ACME screens' -o seal.html\n";

constexpr const char* kDefaultTitle = "Send your WiFi network to your devices";

struct PageOptions {
  std::string fleetKey;
  std::string title = kDefaultTitle;
  std::string outputPath;
  bool force = false;
};

class Page : public Command {
 public:
  explicit Page(CLI::App* command) {
    command->footer(kPageHelp);
    addFleetKeyOption(command, &options_.fleetKey);
    takes(
        command->add_option("--title", options_.title,
                            "the page's heading (default: \"" + std::string(kDefaultTitle) + "\")"),
        "TEXT")
        ->check(checkedBy(checkPageTitle));
    takes(command->add_option("-o,--output", options_.outputPath, "output file (default: stdout)"),
          "FILE");
    once(command->add_flag("--force", options_.force, "replace an existing output file"));
  }

  [[nodiscard]] int run() const override {
    Bytes fleetKey;
    std::string error;
    if (!loadFleetKey(options_.fleetKey, &fleetKey, &error)) {
      return reportFailure(error);
    }
    const std::string page = sealingPage(kSealingPageSources, fleetKey, options_.title);
    if (page.empty()) {
      return reportFailure("cannot put the sealing page together");
    }
    const int status = emit(options_.outputPath, page, options_.force);
    Digest fleetId{};
    if (status == 0 && !options_.outputPath.empty() && keyIdOf(fleetKey, &fleetId)) {
      return emit({}, "fleet " + hexEncode(Bytes(fleetId.begin(), fleetId.end())) + "\n", false);
    }
    return status;
  }

 private:
  PageOptions options_;
};

}  // namespace

const CommandEntry kPageCommand{"page", "write the sealing page for customers' browsers",
                                addCommand<Page>};

}  // namespace zezi
