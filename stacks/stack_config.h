// The WiFi stacks' own configuration for one network, as text: NetworkManager keyfiles,
// wpa_supplicant network blocks and iwd .psk files. Pure functions of the network; the
// writers (config_writer.h) put them on disk. Never installed; only the tool links it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/types.h"
#include "opener/open_envelope.h"

namespace zezi {

enum class Stack : std::uint8_t { kNetworkManager, kWpaSupplicant, kIwd };

// The stack of a --stack value: networkmanager, wpa-supplicant or iwd.
[[nodiscard]] std::optional<Stack> stackNamed(std::string_view name);

// NetworkManager.

// The readable form of the SSID that names its connection and keyfile, one per SSID: the
// SSID itself when it is UTF-8 without control characters or '/' and does not start with
// '=', else '=' and its lowercase hex (no keyfile name holds '/', and a connection's id is
// UTF-8 text on one line).
[[nodiscard]] std::string safeSsidName(std::string_view ssid);

// "zezi-<safe name>.nmconnection".
[[nodiscard]] std::string keyfileName(std::string_view ssid);

// The name earlier builds gave the SSID's keyfile, "zezi-" and the SSID when it held only
// ASCII letters, digits, '-' and '_', else '=' and its hex, when it differs from
// keyfileName; else empty. A write or removal of the network takes that file away too.
[[nodiscard]] std::string legacyKeyfileName(std::string_view ssid);

// A stable UUID for the SSID's connection: SHA-256 of a domain and the SSID, laid out as
// RFC 4122 says (variant 10, version 8 for a name-based hash other than MD5 or SHA-1).
// Empty when OpenSSL fails.
[[nodiscard]] std::string connectionUuid(std::string_view ssid);

// The value of the keyfile's ssid= line: the SSID as is when the keyfile reader cannot take
// it for anything else (ASCII letters, digits, '-', '_', '.' and inner spaces, with one
// character that is no digit), else its octets as a list, "104;105;".
[[nodiscard]] std::string keyfileSsid(std::string_view ssid);

// The SSID's octets in a keyfile's ssid= value (the text after '=', leading blanks cut) as
// NetworkManager reads it: a list of octets "104;105;" (each followed by ';'), or a string with the
// key file's escapes (\s, \\, ...) where "\;" stands for ';'. Nothing when the value is neither.
[[nodiscard]] std::optional<std::string> keyfileSsidOctets(std::string_view value);

// The SSID a keyfile's [wifi] (or [802-11-wireless]) group names; nothing when it names none.
[[nodiscard]] std::optional<std::string> keyfileWifiSsid(std::string_view keyfile);

// The whole keyfile: a WPA-PSK connection with automatic addresses. Empty when OpenSSL fails.
[[nodiscard]] SecretText renderKeyfile(const Network& network);

// wpa_supplicant.

// What a file the tool creates starts with, so that wpa_cli can reach the daemon.
inline constexpr std::string_view kWpaConfigHeader = "ctrl_interface=/run/wpa_supplicant\n";

// The network's block between its marker lines, which name the SSID in hex.
[[nodiscard]] SecretText renderWpaBlock(const Network& network);

// `existing` with the network's block in place of the SSID's first block, marked or not
// (wpa_supplicant's save_config drops the marker lines), and with no second one, or added
// at the end; every other line is kept as it is. False, with a message, when a block of
// the SSID has a begin line without its end line.
[[nodiscard]] bool mergeWpaConfig(std::string_view existing, const Network& network,
                                  SecretText* out, std::string* error);

// `existing` without the SSID's blocks, marked or not; every other line is kept as it is.
// False, with a message, when a block of the SSID has a begin line without its end line.
[[nodiscard]] bool removeWpaBlock(std::string_view existing, std::string_view ssid, SecretText* out,
                                  std::string* error);

// iwd.

// The file iwd reads for a PSK network: the SSID when it holds only ASCII letters, digits,
// spaces, '-' and '_', else '=' and its lowercase hex; then ".psk".
[[nodiscard]] std::string iwdFileName(std::string_view ssid);

// "[Security]\nPreSharedKey=<psk>\n".
[[nodiscard]] SecretText renderIwdFile(const Network& network);

// The iwd file for the network in place of `existing` (empty when there is none): every
// group and key kept but, in [Security], PreSharedKey set and Passphrase and SAE-PT-Group*
// dropped, unless the PreSharedKey is the network's already; and AutoConnect=false in
// [Settings] set to true, since the network is there to be joined.
[[nodiscard]] SecretText mergeIwdFile(std::string_view existing, const Network& network);

// The PreSharedKey of the [Security] group in an iwd file, which iwd itself rewrites with
// more entries; nothing when there is none.
[[nodiscard]] std::optional<SecretText> iwdPreSharedKey(std::string_view file);

}  // namespace zezi
