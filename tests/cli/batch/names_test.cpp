#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "cli/batch/names.h"

namespace zezi {
namespace {

struct NamesCase {
  const char* name;
  friend void PrintTo(const NamesCase& c, std::ostream* os) { *os << c.name; }
  std::vector<std::string> ssids;
  std::vector<std::string> names;
};

class EnvelopeNamesGive : public ::testing::TestWithParam<NamesCase> {};

TEST_P(EnvelopeNamesGive, EachRowAFreeNameInRowOrder) {
  EnvelopeNames names;
  std::vector<std::string> given;
  for (const std::string& ssid : GetParam().ssids) {
    given.push_back(names.claim(ssid));
  }
  EXPECT_EQ(given, GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EnvelopeNamesGive,
    ::testing::Values(
        NamesCase{
            "SafeSsidsKept", {"Office", "Lab-2.North_b"}, {"Office.json", "Lab-2.North_b.json"}},
        NamesCase{"OtherOctetsBecomeUnderscores",
                  {"Caf\xc3\xa9 Wi/Fi", std::string("a\0b", 3), "x:y*?\\"},
                  {"Caf___Wi_Fi-d440234d.json", "a_b-e1f4ffab.json", "x_y___-e4160dcd.json"}},
        NamesCase{"LeadingDotsAndDeviceNames",
                  {".", "..", ".hidden", "CON", "nul", "com1", "Console"},
                  {"_-296228fd.json", "_.-b37a252a.json", "_hidden-e5e365c5.json", "CON_.json",
                   "nul_.json", "com1_.json", "Console.json"}},
        // Whatever follows the first dot, in any case, and the digit 0 too.
        NamesCase{"DeviceNamesWithExtensions",
                  {"con.txt", "Aux.tar.gz", "nul.", "COM0", "lpt0.x", "LPT9", "com10", "conx.txt"},
                  {"con_.txt.json", "Aux_.tar.gz.json", "nul_..json", "COM0_.json", "lpt0_.x.json",
                   "LPT9_.json", "com10.json", "conx.txt.json"}},
        NamesCase{
            "SsidsDifferingOnlyInReplacedOctetsKeepApart",
            {"Caf\xc3\xa9", "Caf\xc3\xa8", "Caf?", "Caf_"},
            {"Caf__-3994e888.json", "Caf__-399517d7.json", "Caf_-360e597a.json", "Caf_.json"}},
        NamesCase{"SameSsidAndCaseOnlyDifferences",
                  {"Office", "Office", "OFFICE", "office", "Office-2", "Office"},
                  {"Office.json", "Office-2.json", "OFFICE-3.json", "office-4.json",
                   "Office-2-2.json", "Office-5.json"}},
        NamesCase{
            "LossyNamesThatMeet",
            {"Off ice", "Off_ice", "Off?ice", "Off_ice-2"},
            {"Off_ice-19a979c5.json", "Off_ice.json", "Off_ice-2bc652e8.json", "Off_ice-2.json"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zezi
