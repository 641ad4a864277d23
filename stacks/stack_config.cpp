#include "stacks/stack_config.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "base/failure.h"
#include "crypto/signature.h"
#include "encoding/hex.h"

namespace zezi {
namespace {

constexpr std::string_view kUuidDomain = "zezi-vidad networkmanager connection";
constexpr std::size_t kUuidSize = 16;
constexpr std::size_t kUuidVersionOctet = 6;
constexpr std::size_t kUuidVariantOctet = 8;
constexpr std::uint8_t kUuidVersion8 = 0x80;
constexpr std::uint8_t kUuidVariant10 = 0x80;
constexpr std::uint8_t kLowNibble = 0x0f;
constexpr std::uint8_t kLowSixBits = 0x3f;
constexpr std::array<std::size_t, 4> kUuidDashesAfter{4, 6, 8, 10};

bool isAsciiAlnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string hexOf(std::string_view text) {
  return hexEncode(textToBytes(text));
}

std::string markerLine(std::string_view which, std::string_view ssid) {
  return "# zezi-vidad " + std::string(which) + " " + hexOf(ssid);
}

// The lines of `text`, each with its line end when it has one.
template <typename Visit>
void forEachLine(std::string_view text, Visit visit) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    const std::size_t size = end == std::string_view::npos ? text.size() : end + 1;
    visit(text.substr(0, size));
    text.remove_prefix(size);
  }
}

std::string_view withoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
    line.remove_suffix(1);
  }
  return line;
}

std::string_view trimmed(std::string_view text) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && blank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && blank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::optional<Stack> stackNamed(std::string_view name) {
  if (name == "networkmanager") {
    return Stack::kNetworkManager;
  }
  if (name == "wpa-supplicant") {
    return Stack::kWpaSupplicant;
  }
  if (name == "iwd") {
    return Stack::kIwd;
  }
  return std::nullopt;
}

std::string safeSsidName(std::string_view ssid) {
  const bool safe = !ssid.empty() && std::all_of(ssid.begin(), ssid.end(), [](char c) {
    return isAsciiAlnum(c) || c == '-' || c == '_';
  });
  if (safe) {
    return std::string(ssid);
  }
  // Appended rather than "=" + hex, which g++ 12 -O2 misreads as an overlapping copy.
  std::string name = "=";
  name += hexOf(ssid);
  return name;
}

std::string keyfileName(std::string_view ssid) {
  return "zezi-" + safeSsidName(ssid) + ".nmconnection";
}

std::string connectionUuid(std::string_view ssid) {
  std::string input(kUuidDomain);
  input.push_back('\0');
  input.append(ssid);
  Digest digest{};
  if (!sha256(input, &digest)) {
    return {};
  }
  Bytes octets(digest.begin(), digest.begin() + kUuidSize);
  octets[kUuidVersionOctet] = (octets[kUuidVersionOctet] & kLowNibble) | kUuidVersion8;
  octets[kUuidVariantOctet] = (octets[kUuidVariantOctet] & kLowSixBits) | kUuidVariant10;
  const std::string hex = hexEncode(octets);
  std::string uuid;
  std::size_t from = 0;
  for (const std::size_t octet : kUuidDashesAfter) {
    uuid += hex.substr(from, 2 * octet - from) + "-";
    from = 2 * octet;
  }
  return uuid + hex.substr(from);
}

std::string keyfileSsid(std::string_view ssid) {
  const bool plainCharacters = std::all_of(ssid.begin(), ssid.end(), [](char c) {
    return isAsciiAlnum(c) || c == '-' || c == '_' || c == '.' || c == ' ';
  });
  const bool plain =
      plainCharacters && !ssid.empty() && ssid.front() != ' ' && ssid.back() != ' ' &&
      std::any_of(ssid.begin(), ssid.end(), [](char c) { return !isAsciiDigit(c) && c != ' '; });
  if (plain) {
    return std::string(ssid);
  }
  std::string list;
  for (const char c : ssid) {
    list += std::to_string(static_cast<unsigned char>(c)) + ";";
  }
  return list;
}

SecretText renderKeyfile(const Network& network) {
  const std::string uuid = connectionUuid(network.ssid);
  if (uuid.empty()) {
    return {};
  }
  SecretText text = "[connection]\nid=zezi-";
  text += safeSsidName(network.ssid);
  text += "\nuuid=" + uuid;
  text += "\ntype=wifi\nautoconnect=true\n\n[wifi]\nmode=infrastructure\nssid=";
  text += keyfileSsid(network.ssid);
  text += "\n\n[wifi-security]\nkey-mgmt=wpa-psk\npsk=";
  text += network.psk;
  text += "\n\n[ipv4]\nmethod=auto\n\n[ipv6]\nmethod=auto\n";
  return text;
}

SecretText renderWpaBlock(const Network& network) {
  const std::string ssidHex = hexOf(network.ssid);
  SecretText block(markerLine("begin", network.ssid));
  block += "\nnetwork={\n\tssid=" + ssidHex + "\n\tpsk=";
  block += network.psk;
  block += "\n\tkey_mgmt=WPA-PSK WPA-PSK-SHA256\n}\n";
  block += markerLine("end", network.ssid);
  block += "\n";
  return block;
}

namespace {

// `existing` with the SSID's block replaced by `block` (or dropped when it is null), every
// other line kept; a block that was not there is added at the end.
bool replaceWpaBlock(std::string_view existing, std::string_view ssid, const SecretText* block,
                     SecretText* out, std::string* error) {
  const std::string begin = markerLine("begin", ssid);
  constexpr std::string_view kAnyBegin = "# zezi-vidad begin ";
  SecretText merged;
  bool placed = block == nullptr;
  // The end line the block open now waits for, of any SSID: a begin line before it, or none
  // at all, means a block cut short, and every line after it might be the operator's.
  std::string awaitedEnd;
  bool unfinished = false;
  bool inOwnBlock = false;
  forEachLine(existing, [&](std::string_view line) {
    const std::string_view content = withoutLineEnd(line);
    if (content.starts_with(kAnyBegin)) {
      unfinished = unfinished || !awaitedEnd.empty();
      awaitedEnd = "# zezi-vidad end " + std::string(content.substr(kAnyBegin.size()));
      inOwnBlock = content == begin;
      if (inOwnBlock && !placed) {
        merged += *block;
        placed = true;
      }
      if (inOwnBlock) {
        return;
      }
    } else if (!awaitedEnd.empty() && content == awaitedEnd) {
      awaitedEnd.clear();
      if (std::exchange(inOwnBlock, false)) {
        return;
      }
    } else if (inOwnBlock) {
      return;
    }
    merged.append(line);
  });
  if (unfinished || !awaitedEnd.empty()) {
    return failWith(error, "a network block of the tool has no end line");
  }
  if (!placed) {
    if (!merged.empty() && merged.back() != '\n') {
      merged += '\n';
    }
    merged += *block;
  }
  *out = std::move(merged);
  return true;
}

}  // namespace

bool mergeWpaConfig(std::string_view existing, const Network& network, SecretText* out,
                    std::string* error) {
  const SecretText block = renderWpaBlock(network);
  return replaceWpaBlock(existing, network.ssid, &block, out, error);
}

bool removeWpaBlock(std::string_view existing, std::string_view ssid, SecretText* out,
                    std::string* error) {
  return replaceWpaBlock(existing, ssid, nullptr, out, error);
}

std::string iwdFileName(std::string_view ssid) {
  const bool verbatim = std::all_of(ssid.begin(), ssid.end(), [](char c) {
    return isAsciiAlnum(c) || c == ' ' || c == '-' || c == '_';
  });
  std::string name = verbatim ? std::string(ssid) : std::string("=");
  if (!verbatim) {
    name += hexOf(ssid);
  }
  name += ".psk";
  return name;
}

SecretText renderIwdFile(const Network& network) {
  SecretText text = "[Security]\nPreSharedKey=";
  text += network.psk;
  text += "\n";
  return text;
}

std::optional<SecretText> iwdPreSharedKey(std::string_view file) {
  std::optional<SecretText> found;
  bool inSecurity = false;
  forEachLine(file, [&](std::string_view line) {
    const std::string_view content = trimmed(withoutLineEnd(line));
    if (content.starts_with('[')) {
      inSecurity = content == "[Security]";
      return;
    }
    const std::size_t equals = content.find('=');
    if (inSecurity && equals != std::string_view::npos &&
        trimmed(content.substr(0, equals)) == "PreSharedKey") {
      found = SecretText(trimmed(content.substr(equals + 1)));
    }
  });
  return found;
}

}  // namespace zezi
