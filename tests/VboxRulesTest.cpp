// VirtualBox's rules on a device table and the releases --host accepts, as the case table
// tests/data/vbox-rules.txt gives them.
#include "tools/pdmhost/VboxRules.h"

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
  // Read through C stdio: the C++ file streams do not work against the Windows build's runtime.
  const std::string text = testsupport::readFile(VMMGR_TEST_DATA "/vbox-rules.txt");
  EXPECT_NE(text, "<missing>") << "cannot read " VMMGR_TEST_DATA "/vbox-rules.txt";
  std::istringstream in(text);
  std::vector<std::vector<std::string>> rows;
  for (std::string line; std::getline(in, line);) {
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, " |") == 0)
      line += " ";
    std::vector<std::string> cells = split(line, " | ");
    if (cells[0] == kind)
      rows.push_back(cells);
  }
  EXPECT_FALSE(rows.empty()) << kind;
  return rows;
}

TEST(VboxRules, RefusesWhatTheReleaseRefusesOneLinePerRule) {
  for (const auto& row : cases("table")) {
    pdmhost::VboxRelease release;
    std::string error;
    ASSERT_TRUE(pdmhost::parseVboxRelease(row.at(1), &release, &error)) << error;
    std::vector<pdmhost::ScenarioDevice> devices;
    for (const std::string& entry : split(row.at(2), "; ")) {
      const std::vector<std::string> f = split(entry, ",");
      pdmhost::ScenarioDevice d;
      d.serial = f.at(0) == "serial";
      d.name = f.at(1);
      if (d.serial)
        d.ioPortCount = static_cast<uint16_t>(std::stoul(f.at(2)));
      else
        d.regions.push_back({0, false, std::stoull(f.at(2))});
      devices.push_back(d);
    }
    const std::vector<std::string> broken = pdmhost::checkVboxRules(devices, release);
    std::string text;
    for (const std::string& line : broken)
      text += line + "\n";
    EXPECT_EQ(broken.size(), std::stoul(row.at(3))) << row.at(2) << ":\n" << text;
    EXPECT_NE(text.find(row.at(4)), std::string::npos) << row.at(2) << ":\n" << text;
  }
}

TEST(VboxRules, AcceptsTheReleasesTheModuleServes) {
  for (const auto& row : cases("release")) {
    pdmhost::VboxRelease release;
    std::string error;
    EXPECT_EQ(pdmhost::parseVboxRelease(row.at(1), &release, &error), row.at(2) == "served")
        << row.at(1) << ": " << error;
  }
}

} // namespace
