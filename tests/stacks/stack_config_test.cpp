// The WiFi stacks' configuration, read back by the stacks' own programs where installed:
// nmcli takes each keyfile offline and writes it back, wpa_supplicant parses each file and
// dumps the SSID and the PSK it found.
#include "stacks/stack_config.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/hex.h"
#include "support/case_names.h"
#include "support/run_command.h"

namespace zezi {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::runCommand;
using testing::shellQuote;

constexpr const char* kPsk = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

struct SsidCase {
  const char* name;
  std::string ssid;
  bool keyfileList;     // written as a list of octets in the keyfile
  const char* iwdFile;  // the name iwd looks for
};

const std::vector<SsidCase> kSsids{
    {"Plain", "Office", false, "Office.psk"},
    {"Spaces", "Cafe Guest 2", false, "Cafe Guest 2.psk"},
    {"LeadingSpace", " lead", true, " lead.psk"},
    {"Quotes", "say \"hi\" 'x'", true, "=736179202268692220277827.psk"},
    {"Semicolon", "a;b", true, "=613b62.psk"},
    {"Equals", "k=v", true, "=6b3d76.psk"},
    {"Hash", "#lobby", true, "=236c6f626279.psk"},
    {"Backslash", "a\\sb", true, "=615c7362.psk"},
    {"NotUtf8", std::string("caf\xe9\xff", 5), true, "=636166e9ff.psk"},
    {"Nul", std::string("a\0b", 3), true, "=610062.psk"},
    {"Newline", "a\nssid=b", true, "=610a737369643d62.psk"},
    {"DigitsAndSemicolons", "104;105;", true, "=3130343b3130353b.psk"},
    {"OnlyDigits", "12345", true, "12345.psk"},
    {"Dots", "home.lan-5G_x", false, "=686f6d652e6c616e2d35475f78.psk"},
    {"ThirtyTwoOctets", std::string(32, 'w'), false, "wwwwwwwwwwwwwwwwwwwwwwwwwwwwwwww.psk"},
};

Network networkOf(const std::string& ssid) {
  Network network;
  network.ssid = ssid;
  network.psk = kPsk;
  return network;
}

// The value of `key` in `[group]` of a keyfile.
std::string keyfileValue(const std::string& text, const std::string& group,
                         const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  bool inGroup = false;
  while (std::getline(lines, line)) {
    if (line.starts_with('[')) {
      inGroup = line == "[" + group + "]";
    } else if (inGroup && line.starts_with(key + "=")) {
      return line.substr(key.size() + 1);
    }
  }
  return "<none>";
}

// The SSID's octets in a keyfile as NetworkManager writes it back: a list of octets, or a
// string with the key file's escapes (\s, \\, ...) and "\;" for ';'.
std::string keyfileSsidOctets(const std::string& value) {
  if (std::regex_match(value, std::regex("([0-9]+;)+"))) {
    std::string octets;
    std::istringstream list(value);
    std::string number;
    while (std::getline(list, number, ';')) {
      octets.push_back(static_cast<char>(std::stoi(number)));
    }
    return octets;
  }
  std::string octets;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      octets.push_back(value[i]);
      continue;
    }
    const char next = value[++i];
    octets.push_back(next == 's' ? ' ' : next == 't' ? '\t' : next == 'n' ? '\n' : next);
    // NetworkManager escapes ';' once more inside the string: "\\;" is a ';'.
    if (next == '\\' && i + 1 < value.size() && value[i + 1] == ';') {
      octets.back() = ';';
      ++i;
    }
  }
  return octets;
}

class StackConfigFile : public ::testing::TestWithParam<SsidCase> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "zezi_stacks_XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  [[nodiscard]] std::string writeFile(const std::string& name, std::string_view text) const {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }

  fs::path dir_;
};

TEST_P(StackConfigFile, KeyfileReadsBackThroughNmcliWithTheSameMeaning) {
  if (runCommand("nmcli --version").exitStatus != 0) {
    GTEST_SKIP() << "nmcli is not installed";
  }
  const SsidCase& row = GetParam();
  const SecretText keyfile = renderKeyfile(networkOf(row.ssid));
  EXPECT_EQ(keyfileValue(std::string(keyfile), "wifi", "ssid").find(';') != std::string::npos,
            row.keyfileList);
  const std::string path = writeFile("k.nmconnection", keyfile);
  const CommandResult read =
      runCommand("nmcli --offline connection modify ipv4.method auto < " + shellQuote(path));
  ASSERT_EQ(read.exitStatus, 0) << read.err << keyfile;
  EXPECT_EQ(keyfileSsidOctets(keyfileValue(read.out, "wifi", "ssid")), row.ssid) << read.out;
  EXPECT_EQ(keyfileValue(read.out, "wifi-security", "psk"), kPsk);
  EXPECT_EQ(keyfileValue(read.out, "wifi-security", "key-mgmt"), "wpa-psk");
  EXPECT_EQ(keyfileValue(read.out, "connection", "uuid"), connectionUuid(row.ssid));
  EXPECT_EQ(keyfileValue(read.out, "connection", "id"), "zezi-" + safeSsidName(row.ssid));
}

TEST_P(StackConfigFile, WpaSupplicantParsesTheBlockToTheSameSsidAndPsk) {
  if (runCommand("command -v wpa_supplicant").exitStatus != 0) {
    GTEST_SKIP() << "wpa_supplicant is not installed";
  }
  const SsidCase& row = GetParam();
  SecretText merged;
  std::string error;
  ASSERT_TRUE(mergeWpaConfig(std::string(kWpaConfigHeader) + "network={\n\tssid=\"other\"\n}\n",
                             networkOf(row.ssid), &merged, &error))
      << error;
  const std::string path = writeFile("wpa.conf", merged);
  // Without an interface of that name it parses the file, dumps it and stops.
  const CommandResult read = runCommand("timeout 10 wpa_supplicant -D none -i zezi0 -ddK -c " +
                                        shellQuote(path) + " 2>&1");
  ASSERT_EQ(read.out.find("Failed to read or parse configuration"), std::string::npos) << read.out;
  std::smatch found;
  const std::string octets = hexEncode(textToBytes(row.ssid));
  // 16 octets a line, each line followed by the same octets as text.
  std::string lines;
  for (std::size_t i = 0; i < octets.size(); i += 2) {
    lines += (i == 0 ? "" : i % 32 == 0 ? "[^\\n]*\\n +" : " ") + octets.substr(i, 2);
  }
  const std::regex ssidDump("ssid - hexdump_ascii\\(len=" + std::to_string(row.ssid.size()) +
                            "\\):\\n +" + lines + " ");
  EXPECT_TRUE(std::regex_search(read.out, ssidDump)) << read.out;
  ASSERT_TRUE(std::regex_search(read.out, found, std::regex("PSK - hexdump\\(len=(\\d+)\\): (.*)")))
      << read.out;
  EXPECT_EQ(found[1].str(), "32");
  std::string psk = found[2].str();
  std::erase(psk, ' ');
  EXPECT_EQ(psk, kPsk);
}

TEST_P(StackConfigFile, IwdFileIsNamedAsIwdLooksItUp) {
  const SsidCase& row = GetParam();
  EXPECT_EQ(iwdFileName(row.ssid), row.iwdFile);
  EXPECT_EQ(iwdPreSharedKey(renderIwdFile(networkOf(row.ssid))), SecretText(kPsk));
}

// Without NetworkManager too: the SSID is one line in the form its row says, and no SSID
// adds a line of its own to the keyfile.
TEST_P(StackConfigFile, KeyfileHoldsTheSsidOnItsOwnLine) {
  const SsidCase& row = GetParam();
  const std::string keyfile(renderKeyfile(networkOf(row.ssid)));
  const std::string value = keyfileValue(keyfile, "wifi", "ssid");
  EXPECT_EQ(std::regex_match(value, std::regex("([0-9]+;)+")), row.keyfileList) << value;
  EXPECT_EQ(keyfileSsidOctets(value), row.ssid);
  std::istringstream lines(keyfile);
  std::size_t ssidLines = 0;
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.empty() || line.starts_with('[') || line.find('=') != std::string::npos)
        << line;
    ssidLines += line.starts_with("ssid=") ? 1 : 0;
  }
  EXPECT_EQ(ssidLines, 1U);
}

INSTANTIATE_TEST_SUITE_P(Ssids, StackConfigFile, ::testing::ValuesIn(kSsids), testing::caseName);

TEST(StackConfig, SafeNamesAndUuidsDifferForEverySsid) {
  std::set<std::string> names;
  std::set<std::string> uuids;
  for (const SsidCase& row : kSsids) {
    names.insert(safeSsidName(row.ssid));
    const std::string uuid = connectionUuid(row.ssid);
    EXPECT_TRUE(std::regex_match(uuid, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-"
                                                  "[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << uuid;
    uuids.insert(uuid);
  }
  // A safe name that looks like another SSID's hex form still differs from it.
  names.insert(safeSsidName("3d4142"));
  names.insert(safeSsidName("=AB"));
  EXPECT_EQ(names.size(), kSsids.size() + 2);
  EXPECT_EQ(uuids.size(), kSsids.size());
}

struct MergeCase {
  const char* name;
  std::string existing;
  std::string expected;  // "{block}" stands for the network's block; empty: refused
  std::string removed;   // the file with the network taken out
};

const std::string kBegin = "# zezi-vidad begin 4f6666696365\n";
const std::string kEnd = "# zezi-vidad end 4f6666696365\n";
const std::string kOther =
    "# zezi-vidad begin 6f74686572\nnetwork={\n\tssid=6f74686572\n}\n# zezi-vidad end "
    "6f74686572\n";

class WpaMerge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(WpaMerge, ReplacesOnlyItsOwnBlockOnce) {
  const MergeCase& row = GetParam();
  const Network network = networkOf("Office");
  SecretText merged;
  std::string error;
  const bool ok = mergeWpaConfig(row.existing, network, &merged, &error);
  if (row.expected.empty()) {
    EXPECT_FALSE(ok);
    EXPECT_EQ(error, "a network block of the tool has no end line");
    EXPECT_FALSE(removeWpaBlock(row.existing, network.ssid, &merged, &error));
    return;
  }
  ASSERT_TRUE(ok) << error;
  std::string expected = row.expected;
  expected.replace(expected.find("{block}"), 7, std::string(renderWpaBlock(network)));
  EXPECT_EQ(std::string(merged), expected);
  // Taking the network out again leaves every other line.
  SecretText removed;
  ASSERT_TRUE(removeWpaBlock(merged, network.ssid, &removed, &error)) << error;
  EXPECT_EQ(std::string(removed), row.removed);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WpaMerge,
    ::testing::Values(
        MergeCase{"Empty", "", "{block}", ""},
        MergeCase{"KeepsOtherLines", "ctrl_interface=x\n# note\n",
                  "ctrl_interface=x\n# note\n{block}", "ctrl_interface=x\n# note\n"},
        MergeCase{"NoLineEndAtTheEnd", "update_config=0", "update_config=0\n{block}",
                  "update_config=0\n"},
        MergeCase{"ReplacesItsBlockInPlace", "a\n" + kBegin + "old\n" + kEnd + "b\n",
                  "a\n{block}b\n", "a\nb\n"},
        MergeCase{"DropsASecondBlock", kBegin + kEnd + "x\n" + kBegin + "old\n" + kEnd,
                  "{block}x\n", "x\n"},
        MergeCase{"LeavesOtherSsidsBlocks", kOther + "z\n", kOther + "z\n{block}", kOther + "z\n"},
        MergeCase{"CarriageReturns",
                  "a\r\n" + std::string("# zezi-vidad begin 4f6666696365\r\n") +
                      "old\r\n# zezi-vidad end 4f6666696365\r\n",
                  "a\r\n{block}", "a\r\n"},
        MergeCase{"UnfinishedBlock", "a\n" + kBegin + "old\n", "", ""},
        // A block cut short before the operator's lines and a whole one: nothing between
        // them may go.
        MergeCase{"UnfinishedBlockBeforeAWholeOne",
                  kBegin + "ctrl_interface=x\nnetwork={\n}\n" + kBegin + "old\n" + kEnd, "", ""},
        MergeCase{"AnotherSsidsUnfinishedBlock",
                  kOther.substr(0, kOther.find("# zezi-vidad end")) + "mine\n", "", ""}),
    testing::caseName);

TEST(StackConfig, IwdKeyIsReadByMeaningAfterIwdRewritesTheFile) {
  const std::vector<std::pair<std::string, std::optional<SecretText>>> files{
      {"[Security]\nPreSharedKey=" + std::string(kPsk) + "\n", SecretText(kPsk)},
      {"[Settings]\nAutoConnect=true\n\n[Security]\nSAE-PT-Group19=abcd\n PreSharedKey = " +
           std::string(kPsk) + "\n",
       SecretText(kPsk)},
      {"[Settings]\nPreSharedKey=" + std::string(kPsk) + "\n", std::nullopt},
      {"[Security]\nPassphrase=secret\n", std::nullopt},
  };
  for (const auto& [file, key] : files) {
    EXPECT_EQ(iwdPreSharedKey(file), key) << file;
  }
}

}  // namespace
}  // namespace zezi
