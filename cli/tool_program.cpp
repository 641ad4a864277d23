// zezi-vidad, the operator's tool: every command.
#include <array>

#include "cli/command.h"
#include "cli/options.h"

namespace zezi {
namespace {

// The commands in the order of the tool's help; adding one is adding a line here.
constexpr std::array<const CommandEntry*, 11> kToolCommands{
    &kKeygenCommand,   &kPubkeyCommand, &kSealCommand,   &kPageCommand,
    &kOpenCommand,     &kSignCommand,   &kVerifyCommand, &kTrustListCommand,
    &kSelftestCommand, &kApplyCommand,  &kStatusCommand};

constexpr const char* kToolHelp =
    "Seals WiFi credentials for a fleet of devices holding one P-256 private key. Options go\n"
    "after the command name. No secret is ever taken on the command line.\n\n"
    "Exit status: 0 on success; 2 on a usage error, found before anything is read, asked\n"
    "for or written (an option missing, unknown or given twice, options that exclude each\n"
    "other, an SSID of the wrong length, an output that is also an input); 1 on any other\n"
    "failure (a file that cannot be read or written, a key or secret refused, the self-test\n"
    "failing).\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n\n"
    "  zezi-vidad sign --key signer.key --fleet-key fleet.pub --envelope /media/usb/wifi.json \\\n"
    "      --serial-file signer.serial --valid-for 30d\n";

}  // namespace

const Program kToolProgram{"zezi-vidad", "ZeZi Vidad: sealed WiFi credentials for a device fleet",
                           kToolHelp, kToolCommands};

}  // namespace zezi
