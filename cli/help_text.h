// The tool's help texts, shown after each command's list of options by --help.
#pragma once

namespace zezi {

inline constexpr const char* kToolHelp =
    "Seals WiFi credentials for a fleet of devices holding one P-256 private key.\n"
    "Exit status: 0 on success, 1 on a failure, 2 on a usage error.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n";

inline constexpr const char* kKeygenHelp =
    "Creates a new P-256 fleet key pair: the private key as unencrypted PKCS#8 PEM (mode\n"
    "0600), the public key as SubjectPublicKeyInfo PEM (mode 0644). Prints the raw public key\n"
    "(X || Y) as 128 hex characters. Existing files are kept unless --force is given.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n";

inline constexpr const char* kPubkeyHelp =
    "Prints the raw public key (128 hex characters) and then its SubjectPublicKeyInfo PEM for\n"
    "an unencrypted P-256 private key in PKCS#8 or SEC1 (EC PRIVATE KEY) PEM.\n\n"
    "Example:\n"
    "  zezi-vidad pubkey --private fleet.key\n";

inline constexpr const char* kSealHelp =
    "Seals one network for the fleet. --fleet-key is a PEM file (public or private key) or\n"
    "the raw public key as 128 hex characters. The secret is never an argument: --psk-file\n"
    "holds 64 hex characters (upper case is accepted and written in lower case);\n"
    "--passphrase-file holds a WPA passphrase of 8 to 63 printable ASCII characters, from\n"
    "which the PSK is derived with the SSID as WPA2 does. \"-\" reads standard input, and one\n"
    "trailing line end is dropped. With neither option the passphrase or PSK is asked for\n"
    "twice on the terminal, without echo. The SSID has 1 to 32 octets. The envelope goes to\n"
    "standard output, or with -o to a new file of mode 0644 (replaced only with --force).\n\n"
    "Example:\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n";

inline constexpr const char* kOpenHelp =
    "Opens an envelope as a device does and prints its network as one line of JSON:\n"
    "{\"ssid\": ..., \"ssid_hex\": ...}, and \"psk\" only with --show-psk. The SSID is a JSON\n"
    "string with control characters escaped and all other octets copied unchanged, so an SSID\n"
    "that is not UTF-8 is shown exactly only by \"ssid_hex\". \"-\" reads standard input.\n\n"
    "Example:\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json\n";

inline constexpr const char* kSelftestHelp =
    "Runs the known-answer self-test and prints one PASS or FAIL line, exiting with 0 on PASS\n"
    "and 1 on FAIL.\n\n"
    "Example:\n"
    "  zezi-vidad selftest\n";

}  // namespace zezi
