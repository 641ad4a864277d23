// The tool's help texts, shown after each command's list of options by --help.
#pragma once

namespace zezi {

inline constexpr const char* kToolHelp =
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

inline constexpr const char* kKeygenHelp =
    "Creates a new P-256 key pair, for a fleet or for a signer: the private key as unencrypted\n"
    "PKCS#8 PEM (mode 0600), the public key as SubjectPublicKeyInfo PEM (mode 0644). Prints the\n"
    "raw public key (X || Y) as 128 hex characters. Existing files are kept unless --force is\n"
    "given; the two are replaced both or neither. A file system that cannot keep the private\n"
    "key to its owner (FAT) is refused for it. A signer key signs envelopes (see sign); keep\n"
    "it offline, and never use the fleet key as a signer key.\n\n"
    "Example:\n"
    "  zezi-vidad keygen --private fleet.key --public fleet.pub\n\n"
    "  zezi-vidad keygen --private signer.key --public signer.pub\n";

inline constexpr const char* kPubkeyHelp =
    "Prints the raw public key (128 hex characters) and then its SubjectPublicKeyInfo PEM for\n"
    "an unencrypted P-256 private key in PKCS#8 or SEC1 (EC PRIVATE KEY) PEM.\n\n"
    "Example:\n"
    "  zezi-vidad pubkey --private fleet.key\n";

inline constexpr const char* kSealHelp =
    "Seals one network for the fleet. --fleet-key is the fleet's public key: its PEM file\n"
    "(.pub; a private key is refused), the raw key as 128 hex characters, or a file holding\n"
    "that line. The SSID has 1 to 32 octets, given as text with --ssid or, for octets a\n"
    "command line cannot carry, in hex with --ssid-hex. The secret is never an argument:\n"
    "--psk-file holds 64 hex characters (upper case is accepted and written in lower case);\n"
    "--passphrase-file holds a WPA passphrase of 8 to 63 printable ASCII characters, from\n"
    "which the PSK is derived with the SSID as WPA2 does. \"-\" reads standard input, and one\n"
    "trailing line end is dropped. With neither option the passphrase or PSK is asked for\n"
    "twice on the terminal, without echo. The envelope goes to standard output (also with\n"
    "-o -), or with -o to a new file of mode 0644, replaced only with --force and never one of\n"
    "the inputs. With --sign-key it is signed too, as sign does, and the envelope and its\n"
    "signature file are written both or neither; --serial-file, --serial and --valid-for need\n"
    "--sign-key.\n\n"
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
    "per core). A batch is not signed: sign its envelopes with sign afterwards.\n\n"
    "Example:\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json\n\n"
    "  zezi-vidad seal --fleet-key fleet.pub --ssid Office -o /media/usb/wifi.json \\\n"
    "      --sign-key signer.key --serial-file signer.serial --init-serial --valid-for 30d\n\n"
    "  zezi-vidad seal --fleet-key fleet.pub --batch sites.csv --out-dir /media/usb/sites\n";

inline constexpr const char* kOpenHelp =
    "Opens an envelope as a device does and prints its network as one line of JSON:\n"
    "{\"ssid\": ..., \"ssid_hex\": ...}, and \"psk\" only with --show-psk. \"ssid\" is a JSON\n"
    "string when the SSID is UTF-8, with control, format and bidirectional characters\n"
    "escaped as \\uXXXX so that none reaches the terminal, and null otherwise; \"ssid_hex\"\n"
    "always holds its octets. \"-\" reads standard input. With --trust (signer public keys,\n"
    "the current one first) it opens as a device that checks signatures: the signature file\n"
    "beside the envelope is verified against the trust list and the replay state in --state\n"
    "first, and the state is saved only after the envelope has opened; the state is locked\n"
    "meanwhile (by STATE.lock beside it), so that two opens at once never both accept on it.\n"
    "A symlink at --state is followed; a state with a second hard link is refused. --policy\n"
    "transition lets an envelope without a signature file in until a signed one has been\n"
    "accepted. --trust-list reads the device's trust list file instead of --trust: its\n"
    "version, floors and signer keys as firmware holds them (docs/format.md 9.9).\n\n"
    "Example:\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json\n\n"
    "  zezi-vidad open --private fleet.key --envelope /media/usb/wifi.json --trust signer.pub \\\n"
    "      --state device.state\n";

inline constexpr const char* kSignHelp =
    "Signs an envelope for the fleet, writing its signature file beside it (wifi.json.sig,\n"
    "mode 0644; replaced only with --force). The serial comes from --serial-file, the signer's\n"
    "counter, which is advanced and flushed to the disk before the signature is written and\n"
    "is locked meanwhile, so no serial is ever used twice; or from --serial for operators who\n"
    "keep their own counter. The counter must exist, except with --init-serial, which\n"
    "creates it (and refuses one that exists) for the signer's first signature. Every serial\n"
    "must be higher than the one before. --valid-for is how long from now the signature\n"
    "holds: a whole number of s, m, h, d or w, at most 3650d. The signature is checked\n"
    "before it is written. Prints what was signed as one line of JSON, times in RFC 3339.\n\n"
    "Example:\n"
    "  zezi-vidad sign --key signer.key --fleet-key fleet.pub --envelope /media/usb/wifi.json \\\n"
    "      --serial-file signer.serial --valid-for 30d\n";

inline constexpr const char* kVerifyHelp =
    "Checks the signature file beside an envelope as a device would, against the signer\n"
    "public keys (.pub) given with --trust (the current one first, then its successors), or\n"
    "the device's trust list file given with --trust-list, and the fleet's public key, and\n"
    "prints what was signed as one line of JSON: the signer's key id and index, the serial,\n"
    "and the issue and expiry times in RFC 3339. --state reads a device's replay state (it is\n"
    "never written); --now also checks the times against this machine's clock.\n\n"
    "Example:\n"
    "  zezi-vidad verify --trust signer.pub --fleet-key fleet.pub --envelope "
    "/media/usb/wifi.json\n";

inline constexpr const char* kSelftestHelp =
    "Runs the known-answer self-test and prints one PASS or FAIL line, exiting with 0 on PASS\n"
    "and 1 on FAIL.\n\n"
    "Example:\n"
    "  zezi-vidad selftest\n";

}  // namespace zezi
