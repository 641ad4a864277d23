// zezi-vidad-device, the device's program: what the device's units run, and nothing that
// seals or signs.
#include <array>

#include "cli/command.h"
#include "cli/options.h"

namespace zezi {
namespace {

constexpr std::array<const CommandEntry*, 4> kDeviceCommands{
    &kApplyCommand, &kStatusCommand, &kDeviceSelftestCommand, &kDecommissionCommand};

constexpr const char* kDeviceHelp =
    "Applies sealed WiFi networks from a drive or the boot partition to this device's WiFi\n"
    "stack, after checking their signatures against the device's trust list and replay\n"
    "state; says what the device holds; checks its own opening. It seals and signs\n"
    "nothing: that is the operator's zezi-vidad. Options go after the command name.\n\n"
    "Exit status: 0 on success; 2 on a usage error, found before anything is read or\n"
    "written; 1 on any other failure; apply: 3 when networks were written but the replay\n"
    "state could not be saved.\n\n"
    "Example:\n"
    "  zezi-vidad-device apply --config /etc/zezi-vidad/device.conf --source /media/usb\n\n"
    "  zezi-vidad-device status --config /etc/zezi-vidad/device.conf\n\n"
    "  zezi-vidad-device decommission --config /etc/zezi-vidad/device.conf --reload --yes\n";

}  // namespace

const Program kDeviceProgram{"zezi-vidad-device",
                             "ZeZi Vidad on the device: sealed WiFi networks applied", kDeviceHelp,
                             kDeviceCommands};

}  // namespace zezi
