// The WiFi stacks' configuration, read back by the stacks' own programs where installed:
// nmcli takes each keyfile offline and writes it back, wpa_supplicant parses each file and
// dumps the SSID and the PSK it found.
#include "stacks/stack_config.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "encoding/hex.h"
#include "stacks/config_writer.h"
#include "support/case_names.h"
#include "support/run_command.h"
#include "support/temp_folder.h"

namespace zezi {
namespace {

using testing::CommandResult;
using testing::runCommand;
using testing::shellQuote;
using testing::TempFolder;

constexpr const char* kPsk = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
constexpr const char* kOtherPsk =
    "ffeeddccbbaa99887766554433221100ffeeddccbbaa99887766554433221100";

struct SsidCase {
  const char* name;
  std::string ssid;
  bool keyfileList;     // written as a list of octets in the keyfile
  const char* iwdFile;  // the name iwd looks for
  std::string nmName;   // the connection's name and keyfile's, after "zezi-"
};

const std::vector<SsidCase> kSsids{
    {"Plain", "Office", false, "Office.psk", "Office"},
    {"Spaces", "Cafe Guest 2", false, "Cafe Guest 2.psk", "Cafe Guest 2"},
    {"LeadingSpace", " lead", true, " lead.psk", " lead"},
    {"Quotes", "say \"hi\" 'x'", true, "=736179202268692220277827.psk", "say \"hi\" 'x'"},
    {"Semicolon", "a;b", true, "=613b62.psk", "a;b"},
    {"Equals", "k=v", true, "=6b3d76.psk", "k=v"},
    {"Hash", "#lobby", true, "=236c6f626279.psk", "#lobby"},
    {"Backslash", "a\\sb", true, "=615c7362.psk", "a\\sb"},
    {"NotUtf8", std::string("caf\xe9\xff", 5), true, "=636166e9ff.psk", "=636166e9ff"},
    {"Nul", std::string("a\0b", 3), true, "=610062.psk", "=610062"},
    {"Newline", "a\nssid=b", true, "=610a737369643d62.psk", "=610a737369643d62"},
    {"DigitsAndSemicolons", "104;105;", true, "=3130343b3130353b.psk", "104;105;"},
    {"OnlyDigits", "12345", true, "12345.psk", "12345"},
    {"Dots", "home.lan-5G_x", false, "=686f6d652e6c616e2d35475f78.psk", "home.lan-5G_x"},
    {"ThirtyTwoOctets", std::string(32, 'w'), false, "wwwwwwwwwwwwwwwwwwwwwwwwwwwwwwww.psk",
     std::string(32, 'w')},
    // No keyfile name holds '/'; a leading '=' is the hex names'.
    {"Slash", "a/b", true, "=612f62.psk", "=612f62"},
    {"LeadingEquals", "=AB", true, "=3d4142.psk", "=3d4142"},
    {"LeadingDot", ".hidden", false, "=2e68696464656e.psk", ".hidden"},
    {"Unicode", "Caf\xc3\xa9 \xe2\x98\x95", true, "=436166c3a920e29895.psk",
     "Caf\xc3\xa9 \xe2\x98\x95"},
    {"Tab", "a\tb", true, "=610962.psk", "=610962"},
    {"C1Control",
     "a\xc2\x85"
     "b",
     true, "=61c28562.psk", "=61c28562"},
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

class StackConfigFile : public TempFolder, public ::testing::WithParamInterface<SsidCase> {
 protected:
  void TearDown() override {
    if (wpaStarted_) {
      // wpa_supplicant removes its pid file and socket as it exits, after wpa_cli returns:
      // the folder is removed only once it is gone.
      runCommand("pid=$(cat " + shellQuote((dir_ / "pid").string()) + "); " + wpaCli("terminate") +
                 " || kill \"$pid\"; for _ in $(seq 200); do kill -0 \"$pid\" 2>/dev/null || "
                 "break; sleep 0.05; done");
    }
    TempFolder::TearDown();
  }

  // Starts wpa_supplicant on the file at `path` without a WiFi device: the "none" driver
  // on the loopback interface still serves the control socket. False, saying why, when it
  // cannot run here.
  [[nodiscard]] bool startWpaSupplicant(const std::string& path, std::string* why) {
    const CommandResult started =
        runCommand("timeout 10 wpa_supplicant -B -D none -i lo -c " + shellQuote(path) + " -P " +
                   shellQuote((dir_ / "pid").string()));
    wpaStarted_ = started.exitStatus == 0;
    *why = "wpa_supplicant cannot run here: " + started.out + started.err;
    return wpaStarted_;
  }

  // The wpa_cli command line for `command`, on the control socket of wpaControl().
  [[nodiscard]] std::string wpaCli(const std::string& command) const {
    return "timeout 10 wpa_cli -p " + shellQuote(wpaControl()) + " -i lo " + command;
  }

  [[nodiscard]] std::string wpaControl() const { return (dir_ / "control").string(); }

 private:
  bool wpaStarted_ = false;
};

// How many network blocks `text` holds.
std::size_t networkBlocks(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t at = text.find("network={"); at != std::string_view::npos;
       at = text.find("network={", at + 1)) {
    ++count;
  }
  return count;
}

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
  // The id is a string with the same escapes.
  EXPECT_EQ(keyfileSsidOctets(keyfileValue(read.out, "connection", "id")), "zezi-" + row.nmName);
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

// With update_config=1 wpa_supplicant's save_config writes the file back its own way,
// without the marker lines: the next apply still finds the SSID's block and replaces it.
TEST_P(StackConfigFile, BlockSavedByWpaSupplicantIsReplacedNotAddedAgain) {
  if (runCommand("command -v wpa_supplicant && command -v wpa_cli").exitStatus != 0) {
    GTEST_SKIP() << "wpa_supplicant or wpa_cli is not installed";
  }
  const SsidCase& row = GetParam();
  SecretText merged;
  std::string error;
  ASSERT_TRUE(mergeWpaConfig("ctrl_interface=" + wpaControl() +
                                 "\nupdate_config=1\nnetwork={\n\tssid=\"other\"\n\tpsk="
                                 "\"12345678\"\n}\n",
                             networkOf(row.ssid), &merged, &error))
      << error;
  if (!startWpaSupplicant(writeFile("wpa.conf", merged), &error)) {
    GTEST_SKIP() << error;
  }
  ASSERT_EQ(runCommand(wpaCli("save_config")).out, "OK\n");
  const std::string saved = readFile("wpa.conf");
  ASSERT_EQ(saved.find("# zezi-vidad"), std::string::npos) << "the marker lines stayed";
  ASSERT_NE(saved.find(kPsk), std::string::npos) << "the network was not saved";

  Network newer = networkOf(row.ssid);
  newer.psk = kOtherPsk;
  SecretText again;
  ASSERT_TRUE(mergeWpaConfig(saved, newer, &again, &error)) << error;
  EXPECT_EQ(networkBlocks(again), 2U);
  EXPECT_EQ(again.find(kPsk), std::string::npos);
  EXPECT_NE(again.find(renderWpaBlock(newer)), std::string::npos);
  SecretText removed;
  ASSERT_TRUE(removeWpaBlock(saved, row.ssid, &removed, &error)) << error;
  EXPECT_EQ(networkBlocks(removed), 1U);
  EXPECT_EQ(removed.find(kPsk), std::string::npos);
}

TEST_P(StackConfigFile, FilesAreNamedAsTheStacksLookThemUp) {
  const SsidCase& row = GetParam();
  EXPECT_EQ(keyfileName(row.ssid), "zezi-" + row.nmName + ".nmconnection");
  EXPECT_EQ(keyfileWifiSsid(std::string(renderKeyfile(networkOf(row.ssid)))), row.ssid);
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
  names.insert(safeSsidName("=3d4142"));
  EXPECT_EQ(names.size(), kSsids.size() + 2);
  EXPECT_EQ(uuids.size(), kSsids.size());
  // No keyfile name an earlier release gave one SSID is another's today.
  for (const SsidCase& row : kSsids) {
    const std::string legacy = legacyKeyfileName(row.ssid);
    EXPECT_NE(legacy, keyfileName(row.ssid));
    for (const SsidCase& other : kSsids) {
      EXPECT_TRUE(legacy.empty() || legacy != keyfileName(other.ssid)) << row.name << other.name;
    }
  }
  EXPECT_EQ(legacyKeyfileName("Office Net"), "zezi-=4f6666696365204e6574.nmconnection");
  EXPECT_EQ(legacyKeyfileName("Office_5G-x"), "");
}

// The ssid= values NetworkManager reads, as it or an operator writes them.
TEST(StackConfig, KeyfileSsidIsReadInEachOfItsForms) {
  const struct {
    std::string_view value;
    std::optional<std::string> octets;
  } rows[] = {
      {"Office", "Office"},
      {"79;102;", "Of"},
      {"0;255;", std::string("\0\xff", 2)},
      // As NetworkManager reads them: not a list of octets, so a string.
      {"79;102", "79;102"},
      {"256;", "256;"},
      {"1;;2;", "1;;2;"},
      {"12345", "12345"},
      {"\\sa\\tb\\nc\\rd\\\\e", " a\tb\nc\rd\\e"},
      {"a\\\\;b", "a;b"},
      {"a\\;b", std::nullopt},
      {"a\\", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(keyfileSsidOctets(row.value), row.octets) << row.value;
  }
  EXPECT_EQ(keyfileWifiSsid("[wifi-security]\nssid=x\n[802-11-wireless]\n  ssid = a b \r\n"
                            "ssid[en]=y\n#ssid=z\n[ipv4]\nssid=w\n"),
            "a b ");
  EXPECT_EQ(keyfileWifiSsid("[wifi]\nssid=first\nssid=79;102;\n"), "Of");
  EXPECT_EQ(keyfileWifiSsid("[connection]\nid=x\n"), std::nullopt);
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

const std::string kSaved =
    "network={\n\tssid=\"Office\"\n\tpsk=" + std::string(kOtherPsk) + "\n\tmesh_fwding=1\n}\n";
const std::string kHome = "network={\n\tssid=\"home\"\n\tpsk=\"12345678\"\n}\n";
const std::string kLookAlikes =
    "network={\n\tssid=\"office\"\n}\nnetwork={\n\tssid=4f66666963\n}\n"
    "network={\n\tssid=\"Office\"x\n}\nnetwork={\n\tssid=\"Office\"\n\tssid=\"home\"\n}\n"
    "#network={\n#\tssid=\"Office\"\n#}\n";

// `text` without the blocks of `ssid`, or the message saying why not.
std::string removedFrom(const std::string& text, const std::string& ssid) {
  SecretText removed;
  std::string error;
  return removeWpaBlock(text, ssid, &removed, &error) ? std::string(removed) : error;
}

std::string withLineEnd(std::string text) {
  if (!text.empty() && !text.ends_with('\n')) {
    text += '\n';
  }
  return text;
}

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
  // And out of the file as it was: the same lines, but the line end merging added.
  EXPECT_EQ(withLineEnd(removedFrom(row.existing, network.ssid)), row.removed);
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
                  kOther.substr(0, kOther.find("# zezi-vidad end")) + "mine\n", "", ""},
        // As wpa_supplicant's save_config writes it: no markers, the SSID quoted.
        MergeCase{"SavedWithTheSsidQuoted", "update_config=1\n\n" + kSaved + "\n" + kHome,
                  "update_config=1\n\n{block}\n" + kHome, "update_config=1\n\n\n" + kHome},
        MergeCase{"SavedWithTheSsidInHex",
                  "a\nnetwork={\n  ssid=4F6666696365  # by hand\r\n\tpsk=\"old\"\n}\nb\n",
                  "a\n{block}b\n", "a\nb\n"},
        MergeCase{"SavedBlockAndAMarkedOne", kSaved + "x\n" + kBegin + "old\n" + kEnd, "{block}x\n",
                  "x\n"},
        MergeCase{"MarkedBlockAndASavedOne", kBegin + "old\n" + kEnd + "x\n" + kSaved, "{block}x\n",
                  "x\n"},
        // Other SSIDs, the last ssid= line being the one wpa_supplicant keeps, and a block
        // commented out.
        MergeCase{"OtherSsidsUnmarkedBlocks", kHome + kLookAlikes, kHome + kLookAlikes + "{block}",
                  kHome + kLookAlikes}),
    testing::caseName);

struct IwdCase {
  const char* name;
  std::string file;               // as iwd or the operator left it
  std::optional<SecretText> key;  // the PreSharedKey iwd reads in it
  std::string applied;            // the file once the network is applied; empty: as it was
};

class IwdFile : public TempFolder, public ::testing::WithParamInterface<IwdCase> {};

// Read by meaning, as iwd rewrites the file after joining; applying the network sets its
// key and AutoConnect alone, reported applied only when the file changes.
TEST_P(IwdFile, KeyIsReadByMeaningAndTheOperatorsSettingsStay) {
  const IwdCase& row = GetParam();
  EXPECT_EQ(iwdPreSharedKey(row.file), row.key);
  const SecretText merged = mergeIwdFile(row.file, networkOf("Office"));
  EXPECT_EQ(std::string(merged), row.applied.empty() ? row.file : row.applied);
  EXPECT_EQ(iwdPreSharedKey(merged), SecretText(kPsk));
  EXPECT_EQ(mergeIwdFile(merged, networkOf("Office")), merged);
}

TEST_P(IwdFile, WriterSaysAppliedOnlyWhenTheFileChanges) {
  const IwdCase& row = GetParam();
  const std::string expected = row.applied.empty() ? row.file : row.applied;
  const StackTarget target{Stack::kIwd, dir_.string()};
  EXPECT_EQ(configPathOf(target, networkOf("Office")), writeFile("Office.psk", row.file));
  ConfigChange change = ConfigChange::kUnchanged;
  std::string error;
  ASSERT_TRUE(writeNetwork(target, networkOf("Office"), false, &change, &error)) << error;
  EXPECT_EQ(change, row.applied.empty() ? ConfigChange::kUnchanged : ConfigChange::kWritten);
  EXPECT_EQ(readFile("Office.psk"), expected);
}

const std::string kKey = "PreSharedKey=" + std::string(kPsk) + "\n";

INSTANTIATE_TEST_SUITE_P(
    Files, IwdFile,
    ::testing::Values(
        IwdCase{"AsWritten", "[Security]\n" + kKey, SecretText(kPsk), ""},
        IwdCase{
            "RewrittenByIwd",
            "[Settings]\nAutoConnect=true\n\n[Security]\nSAE-PT-Group19=abcd\n PreSharedKey = " +
                std::string(kPsk) + "\n",
            SecretText(kPsk), ""},
        IwdCase{"KeyInAnotherGroup", "[Settings]\n" + kKey, std::nullopt,
                "[Settings]\n" + kKey + "\n[Security]\n" + kKey},
        IwdCase{"PassphraseOnly", "[Security]\nPassphrase=secret\n", std::nullopt,
                "[Security]\n" + kKey},
        IwdCase{"OperatorsFile",
                "# mine\n[Security]\nPassphrase=secret\n\n[IPv4]\nAddress=192.168.1.5\n",
                std::nullopt, "# mine\n[Security]\n" + kKey + "\n[IPv4]\nAddress=192.168.1.5\n"},
        IwdCase{"OldKeyAndWhatIwdDerivedFromIt",
                "[Settings]\nHidden=true\n\n[Security]\nPassphrase=old\nPreSharedKey=" +
                    std::string(kOtherPsk) + "\nSAE-PT-Group19=aa\nSAE-PT-Group20=bb\n",
                SecretText(kOtherPsk), "[Settings]\nHidden=true\n\n[Security]\n" + kKey},
        IwdCase{"AutoConnectOff", "[Security]\n" + kKey + "\n[Settings]\nAutoConnect=false\n",
                SecretText(kPsk), "[Security]\n" + kKey + "\n[Settings]\nAutoConnect=true\n"},
        IwdCase{"AutoConnectZeroAndNoKey", "[Settings]\r\nAutoConnect = 0\r\n", std::nullopt,
                "[Settings]\r\nAutoConnect=true\r\n\n[Security]\n" + kKey},
        IwdCase{"AutoConnectOutsideSettings", "[IPv4]\nAutoConnect=false\n[Security]\n" + kKey,
                SecretText(kPsk), ""},
        IwdCase{"Empty", "", std::nullopt, "[Security]\n" + kKey},
        IwdCase{"NoLineEndAtTheEnd", "[IPv4]\nAddress=192.168.1.5", std::nullopt,
                "[IPv4]\nAddress=192.168.1.5\n\n[Security]\n" + kKey},
        IwdCase{"SecurityWithoutLineEnd", "[Security]", std::nullopt, "[Security]\n" + kKey}),
    testing::caseName);

}  // namespace
}  // namespace zezi
