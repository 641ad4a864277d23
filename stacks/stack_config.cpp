#include "stacks/stack_config.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "base/failure.h"
#include "crypto/sha256.h"
#include "encoding/hex.h"
#include "encoding/utf8.h"

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
// Below it the C0 controls; from the first to the second the DEL and the C1 controls.
constexpr char32_t kFirstPrintable = 0x20;
constexpr char32_t kDelete = 0x7f;
constexpr char32_t kLastC1Control = 0x9f;
constexpr unsigned kLargestOctet = 255;
constexpr unsigned kDecimalBase = 10;

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

char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](char a, char b) { return asciiLower(a) == b; });
}

// The text after a line's line end is cut, e.g. "\r\n".
std::string_view lineEndOf(std::string_view line) {
  return line.substr(withoutLineEnd(line).size());
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

namespace {

// '=' and the SSID's lowercase hex.
std::string hexName(std::string_view ssid) {
  // Appended rather than "=" + hex, which g++ 12 -O2 misreads as an overlapping copy.
  std::string name = "=";
  name += hexOf(ssid);
  return name;
}

// The SSID when it holds only ASCII letters, digits, '-' and '_', else its hex name.
std::string plainOrHex(std::string_view ssid) {
  const bool plain = !ssid.empty() && std::all_of(ssid.begin(), ssid.end(), [](char c) {
    return isAsciiAlnum(c) || c == '-' || c == '_';
  });
  return plain ? std::string(ssid) : hexName(ssid);
}

// Whether the SSID can name its connection and keyfile as it is: a file name never holds
// '/', a keyfile's value is UTF-8 on one line, and control characters would only mislead
// whoever lists the folder. A leading '=' is kept for the hex names.
bool readsAsName(std::string_view ssid) {
  if (ssid.empty() || ssid.front() == '=') {
    return false;
  }
  while (!ssid.empty()) {
    const std::optional<char32_t> point = nextCodePoint(&ssid);
    if (!point || *point < kFirstPrintable || (*point >= kDelete && *point <= kLastC1Control) ||
        *point == '/') {
      return false;
    }
  }
  return true;
}

// A string value as the key file reader takes it back: a backslash starts an escape.
std::string keyfileString(std::string_view text) {
  std::string value;
  for (const char c : text) {
    if (c == '\\') {
      value += '\\';
    }
    value += c;
  }
  return value;
}

}  // namespace

std::string safeSsidName(std::string_view ssid) {
  return readsAsName(ssid) ? std::string(ssid) : hexName(ssid);
}

std::string keyfileName(std::string_view ssid) {
  return "zezi-" + safeSsidName(ssid) + ".nmconnection";
}

std::string legacyKeyfileName(std::string_view ssid) {
  std::string name = "zezi-" + plainOrHex(ssid) + ".nmconnection";
  return name == keyfileName(ssid) ? std::string() : name;
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

namespace {

// The octets of a list "104;105;": digits and a ';' after each octet, the last too.
std::optional<std::string> octetList(std::string_view value) {
  std::string octets;
  unsigned octet = 0;
  bool digits = false;
  for (const char c : value) {
    if (c == ';') {
      if (!digits) {
        return std::nullopt;
      }
      octets.push_back(static_cast<char>(octet));
      octet = 0;
      digits = false;
      continue;
    }
    if (!isAsciiDigit(c)) {
      return std::nullopt;
    }
    octet = octet * kDecimalBase + static_cast<unsigned>(c - '0');
    if (octet > kLargestOctet) {
      return std::nullopt;
    }
    digits = true;
  }
  return digits || octets.empty() ? std::nullopt : std::optional<std::string>(octets);
}

}  // namespace

std::optional<std::string> keyfileSsidOctets(std::string_view value) {
  if (value.empty()) {
    return std::nullopt;
  }
  // Anything that is not such a list, "104;105" or "256;" too, is a string.
  if (std::optional<std::string> list = octetList(value)) {
    return list;
  }
  std::string octets;
  // The key file's escapes first, then NetworkManager's "\;" inside the string.
  std::string text;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      text.push_back(value[i]);
      continue;
    }
    if (++i == value.size()) {
      return std::nullopt;
    }
    switch (value[i]) {
      case 's':
        text.push_back(' ');
        break;
      case 'n':
        text.push_back('\n');
        break;
      case 't':
        text.push_back('\t');
        break;
      case 'r':
        text.push_back('\r');
        break;
      case '\\':
        text.push_back('\\');
        break;
      default:
        return std::nullopt;
    }
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool escapedSemicolon = text[i] == '\\' && i + 1 < text.size() && text[i + 1] == ';';
    octets.push_back(escapedSemicolon ? text[++i] : text[i]);
  }
  return octets;
}

std::optional<std::string> keyfileWifiSsid(std::string_view keyfile) {
  std::optional<std::string> ssid;
  bool inWifi = false;
  forEachLine(keyfile, [&](std::string_view line) {
    const std::string_view content = trimmed(withoutLineEnd(line));
    if (content.starts_with('[')) {
      inWifi = content == "[wifi]" || content == "[802-11-wireless]";
      return;
    }
    const std::size_t equals = content.find('=');
    if (!inWifi || equals == std::string_view::npos ||
        trimmed(content.substr(0, equals)) != "ssid") {
      return;
    }
    // The reader cuts the blanks before a value, not those after it; the last line wins.
    const std::string_view whole = withoutLineEnd(line);
    std::string_view value = whole.substr(whole.find('=') + 1);
    value.remove_prefix(std::min(value.find_first_not_of(" \t"), value.size()));
    ssid = keyfileSsidOctets(value);
  });
  return ssid;
}

SecretText renderKeyfile(const Network& network) {
  const std::string uuid = connectionUuid(network.ssid);
  if (uuid.empty()) {
    return {};
  }
  SecretText text = "[connection]\nid=zezi-";
  text += keyfileString(safeSsidName(network.ssid));
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

// A line as wpa_supplicant reads it: without blanks around it or a comment after it; a '#'
// before the last of two or more quotes is inside a quoted value.
std::string_view wpaContent(std::string_view line) {
  std::string_view content = withoutLineEnd(line);
  const std::size_t firstQuote = content.find('"');
  const std::size_t lastQuote = content.rfind('"');
  const std::size_t hash = content.find('#', firstQuote == lastQuote ? 0 : lastQuote);
  return trimmed(content.substr(0, hash));
}

// Whether a network block's ssid= value names `ssid`: as a quoted string, which
// wpa_supplicant writes for printable text, or as hex digits of either case.
bool namesSsid(std::string_view value, std::string_view ssid) {
  if (value.starts_with('"')) {
    return value.size() >= 2 && value.ends_with('"') && value.substr(1, value.size() - 2) == ssid;
  }
  return !value.empty() && equalsIgnoringCase(value, hexOf(ssid));
}

// The lines of a wpa_supplicant file, one at a time, with the SSID's blocks replaced by
// `block` (or dropped when it is null) and every other line kept; a block that was not
// there is added at the end.
class WpaBlockReplacer {
 public:
  WpaBlockReplacer(std::string_view ssid, const SecretText* block)
      : ssid_(ssid), begin_(markerLine("begin", ssid)), block_(block), placed_(block == nullptr) {}

  void take(std::string_view line) {
    if (unmarked_) {
      takeUnmarked(line);
    } else if (awaitedEnd_.empty() && wpaContent(line) == "network={") {
      unmarked_ = SecretText(line);
      unmarkedIsOwn_ = false;
    } else if (keeps(withoutLineEnd(line))) {
      merged_.append(line);
    }
  }

  [[nodiscard]] bool finish(SecretText* out, std::string* error) {
    // Without its "}" wpa_supplicant refuses the file anyway; the lines stay as they were.
    if (unmarked_) {
      merged_ += *unmarked_;
    }
    if (unfinished_ || !awaitedEnd_.empty()) {
      return failWith(error, "a network block of the tool has no end line");
    }
    if (!placed_) {
      if (!merged_.empty() && merged_.back() != '\n') {
        merged_ += '\n';
      }
      merged_ += *block_;
    }
    *out = std::move(merged_);
    return true;
  }

 private:
  static constexpr std::string_view kAnyBegin = "# zezi-vidad begin ";

  // The block goes where the SSID's first block was; any later one is dropped.
  void placeHere() {
    if (!placed_) {
      merged_ += *block_;
      placed_ = true;
    }
  }

  // Whether a line outside unmarked blocks stays: no line of the SSID's marked block does.
  bool keeps(std::string_view content) {
    if (content.starts_with(kAnyBegin)) {
      unfinished_ = unfinished_ || !awaitedEnd_.empty();
      awaitedEnd_ = "# zezi-vidad end " + std::string(content.substr(kAnyBegin.size()));
      inOwnBlock_ = content == begin_;
      if (inOwnBlock_) {
        placeHere();
      }
      return !inOwnBlock_;
    }
    if (!awaitedEnd_.empty() && content == awaitedEnd_) {
      awaitedEnd_.clear();
      return !std::exchange(inOwnBlock_, false);
    }
    return !inOwnBlock_;
  }

  void takeUnmarked(std::string_view line) {
    unmarked_->append(line);
    const std::string_view setting = wpaContent(line);
    if (setting.starts_with("ssid=")) {
      // The last ssid= line is the one wpa_supplicant keeps.
      unmarkedIsOwn_ = namesSsid(setting.substr(5), ssid_);
      return;
    }
    if (setting != "}") {
      return;
    }
    if (unmarkedIsOwn_) {
      placeHere();
    } else {
      merged_ += *unmarked_;
    }
    unmarked_.reset();
  }

  std::string_view ssid_;
  std::string begin_;
  const SecretText* block_;
  bool placed_;
  SecretText merged_;
  // The end line the block open now waits for, of any SSID: a begin line before it, or none
  // at all, means a block cut short, and every line after it might be the operator's.
  std::string awaitedEnd_;
  bool unfinished_ = false;
  bool inOwnBlock_ = false;
  // A network block without marker lines, held until its "}" shows whether it is the
  // SSID's: wpa_supplicant's save_config writes the tool's block back without them.
  std::optional<SecretText> unmarked_;
  bool unmarkedIsOwn_ = false;
};

bool replaceWpaBlock(std::string_view existing, std::string_view ssid, const SecretText* block,
                     SecretText* out, std::string* error) {
  WpaBlockReplacer replacer(ssid, block);
  forEachLine(existing, [&](std::string_view line) { replacer.take(line); });
  return replacer.finish(out, error);
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

namespace {

// The key and value of a line of an iwd file; an empty key when it has no '='.
std::pair<std::string_view, std::string_view> iwdEntry(std::string_view content) {
  const std::size_t equals = content.find('=');
  if (equals == std::string_view::npos) {
    return {};
  }
  return {trimmed(content.substr(0, equals)), trimmed(content.substr(equals + 1))};
}

// iwd derives its key of a Passphrase and the SAE-PT-Group* points from the secret: they
// go with the old one.
bool belongsToTheOldKey(std::string_view key) {
  return key == "PreSharedKey" || key == "Passphrase" || key.starts_with("SAE-PT-Group");
}

bool saysFalse(std::string_view value) {
  return value == "0" || equalsIgnoringCase(value, "false");
}

void appendIwdKey(SecretText* text, const Network& network) {
  if (!text->empty() && !text->ends_with('\n')) {
    *text += '\n';
  }
  *text += "PreSharedKey=";
  *text += network.psk;
  *text += '\n';
}

}  // namespace

SecretText mergeIwdFile(std::string_view existing, const Network& network) {
  // A file that holds the key already keeps its [Security] as it is.
  const bool sameKey = iwdPreSharedKey(existing) == std::optional<SecretText>(network.psk);
  bool keyPlaced = sameKey;
  std::string_view group;
  SecretText merged;
  forEachLine(existing, [&](std::string_view line) {
    const std::string_view content = trimmed(withoutLineEnd(line));
    const auto [key, value] = iwdEntry(content);
    if (content.starts_with('[')) {
      group = content;
      merged.append(line);
      if (group == "[Security]" && !std::exchange(keyPlaced, true)) {
        appendIwdKey(&merged, network);
      }
    } else if (group == "[Settings]" && key == "AutoConnect" && saysFalse(value)) {
      // The network is there to be joined: iwd would never join it on its own.
      merged += "AutoConnect=true";
      merged.append(lineEndOf(line));
    } else if (group != "[Security]" || sameKey || !belongsToTheOldKey(key)) {
      merged.append(line);
    }
  });
  if (!keyPlaced) {
    if (!merged.empty()) {
      merged += merged.ends_with('\n') ? "\n" : "\n\n";
    }
    merged += renderIwdFile(network);
  }
  return merged;
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
