// vbox-config's verdict on a device table and the releases it takes, as the case table
// tests/data/vbox-rules.txt gives them.
#include "tools/pdmhost-vbox/VboxRules.h"

#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  for (size_t at = 0;;) {
    const size_t next = text.find(separator, at);
    parts.push_back(text.substr(at, next == std::string::npos ? next : next - at));
    if (next == std::string::npos)
      return parts;
    at = next + separator.size();
  }
}

std::vector<std::vector<std::string>> cases(const std::string& kind) {
  const auto rows = testsupport::caseRows(VMMGR_TEST_DATA "/vbox-rules.txt", kind);
  EXPECT_FALSE(rows.empty()) << kind;
  return rows;
}

// "nic\x01" in the data stands for the byte 0x01.
std::string unescape(const std::string& s) {
  const size_t at = s.find("\\x");
  return at == std::string::npos
             ? s
             : s.substr(0, at) + char(std::stoi(s.substr(at + 2, 2), nullptr, 16)) +
                   unescape(s.substr(at + 4));
}

TEST(VboxRules, RefusesWhatTheModuleRefusesAndNotesWhatItAdapts) {
  for (const auto& row : cases("table")) {
    pdmhost::HostRelease release;
    std::string error;
    ASSERT_TRUE(pdmhost::findVboxRelease(row.at(1), &release, &error)) << error;
    std::vector<pdmhost::ScenarioDevice> devices;
    for (const std::string& entry : split(row.at(2), "; ")) {
      const std::vector<std::string> f = split(entry, ",");
      pdmhost::ScenarioDevice d;
      d.serial = f.at(0) == "serial";
      d.name = unescape(f.at(1));
      if (d.serial) {
        d.ioPortCount = static_cast<uint16_t>(std::stoul(f.at(2)));
      } else {
        d.vendorId = static_cast<uint16_t>(std::stoul(f.at(2), nullptr, 16));
        d.regions.push_back({0, false, std::stoull(f.at(3))});
      }
      devices.push_back(d);
    }
    pdmhost::VmTable table;
    pdmhost::addScenarioDevices(devices, &table);
    const pdmhost::VboxVerdict verdict = pdmhost::checkVboxRules(*table.list(), release);
    std::string text;
    for (const std::string& line : verdict.refusals)
      text += line + "\n";
    for (const std::string& line : verdict.notes)
      text += "note: " + line + "\n";
    EXPECT_EQ(verdict.refusals.size(), std::stoul(row.at(3))) << row.at(2) << ":\n" << text;
    EXPECT_EQ(verdict.notes.size(), std::stoul(row.at(4))) << row.at(2) << ":\n" << text;
    EXPECT_NE(text.find(row.at(5)), std::string::npos) << row.at(2) << ":\n" << text;
  }
}

TEST(VboxRules, TakesTheVirtualBoxReleasesTheModuleServes) {
  for (const auto& row : cases("release")) {
    pdmhost::HostRelease release;
    std::string error;
    EXPECT_EQ(pdmhost::findVboxRelease(row.at(1), &release, &error), row.at(2) == "served")
        << row.at(1) << ": " << error;
  }
}

} // namespace
