// The tool's help texts, shown after each command's list of options by --help.
#pragma once

namespace zezi {

inline constexpr const char* kToolHelp =
    "Seals WiFi credentials for a fleet of devices holding one P-256 private key.\n"
    "Exit status: 0 on success, 1 on a failure, 2 on a usage error.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n"
    "  zezi-vidad sign --key signer.key --fleet-key fleet.pub --envelope /media/usb/wifi.json \\\n"
    "      --serial-file signer.serial --valid-for 30d\n";

inline constexpr const char* kKeygenHelp =
    "Creates a new P-256 key pair, for a fleet or for a signer: the private key as unencrypted\n"
    "PKCS#8 PEM (mode 0600), the public key as SubjectPublicKeyInfo PEM (mode 0644). Prints the\n"
    "raw public key (X || Y) as 128 hex characters. Existing files are kept unless --force is\n"
    "given. A signer key signs envelopes (see sign); keep it offline, and never use the fleet\n"
    "key as a signer key.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n"
    "  zezi-vidad keygen --private signer.key --public signer.pub\n";

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
    "standard output, or with -o to a new file of mode 0644 (replaced only with --force).\n"
    "With --sign-key it is signed too, as sign does, and both files are written or neither.\n\n"
    "Example:\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json \\\n"
    "      --sign-key signer.key --serial-file signer.serial --valid-for 30d\n";

inline constexpr const char* kOpenHelp =
    "Opens an envelope as a device does and prints its network as one line of JSON:\n"
    "{\"ssid\": ..., \"ssid_hex\": ...}, and \"psk\" only with --show-psk. The SSID is a JSON\n"
    "string with control characters escaped and all other octets copied unchanged, so an SSID\n"
    "that is not UTF-8 is shown exactly only by \"ssid_hex\". \"-\" reads standard input.\n"
    "With --trust (signer public keys, the current one first) it opens as a device that\n"
    "checks signatures: the signature file beside the envelope is verified against the trust\n"
    "list and the replay state in --state first, and the state is saved only after the\n"
    "envelope has opened. --policy transition lets an envelope without a signature file in\n"
    "until a signed one has been accepted.\n\n"
    "Example:\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json --trust signer.pub \\\n"
    "      --state device.state\n";

inline constexpr const char* kSignHelp =
    "Signs an envelope for the fleet, writing its signature file beside it (wifi.json.sig,\n"
    "mode 0644; replaced only with --force). The serial comes from --serial-file, the signer's\n"
    "counter, which is advanced and flushed to the disk before the signature is written and\n"
    "is locked meanwhile, so no serial is ever used twice; or from --serial for operators who\n"
    "keep their own counter. Every serial must be higher than the one before. --valid-for\n"
    "is how long from now the signature holds: a whole number of s, m, h, d or w, at most\n"
    "3650d. The signature is checked before it is written. Prints what was signed as one\n"
    "line of JSON, times in RFC 3339.\n\n"
    "Example:\n"
    "  zezi-vidad sign --key signer.key --fleet-key fleet.pub --envelope /media/usb/wifi.json \\\n"
    "      --serial-file signer.serial --valid-for 30d\n";

inline constexpr const char* kVerifyHelp =
    "Checks the signature file beside an envelope as a device would, against the signer\n"
    "public keys given with --trust (the current one first, then its successors) and the\n"
    "fleet key, and prints what was signed as one line of JSON: the signer's key id and\n"
    "index, the serial, and the issue and expiry times in RFC 3339. --state reads a device's\n"
    "replay state (it is never written); --now also checks the times against this machine's\n"
    "clock.\n\n"
    "Example:\n"
    "  zezi-vidad verify --trust signer.pub --fleet-key fleet.pub --envelope "
    "/media/usb/wifi.json\n";

inline constexpr const char* kSelftestHelp =
    "Runs the known-answer self-test and prints one PASS or FAIL line, exiting with 0 on PASS\n"
    "and 1 on FAIL.\n\n"
    "Example:\n"
    "  zezi-vidad selftest\n";

}  // namespace zezi
