// pdmhost check-install: VirtualBox's file rules judged on real trees built as the cases of
// tests/data/check-install.txt say, and the Authenticode signature found in PE images
// built byte by byte.
#include "tools/pdmhost-vbox/InstallCheck.h"

#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::vector<std::vector<std::string>> cases(const std::string& kind) {
  return testsupport::caseRows(VMMGR_TEST_DATA "/check-install.txt", kind);
}

void put32(std::string& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b[at + i] = static_cast<char>(v >> (8 * i));
}

TEST(CheckInstall, FindsTheAuthenticodeSignatureOfAPeImage) {
  const auto rows = cases("pe");
  ASSERT_FALSE(rows.empty());
  for (const auto& row : rows) {
    const auto number = [&](size_t i) { return std::stoul(row.at(i), nullptr, 0); };
    std::string image(number(5), '\0');
    image[0] = 'M';
    image[1] = 'Z';
    put32(image, 0x3C, 0x80);
    image.replace(0x80, 4, std::string("PE\0\0", 4));
    const size_t optional = 0x80 + 24;
    const uint32_t magic = number(1);
    put32(image, optional, magic);
    const bool plus = magic == 0x20B;
    put32(image, optional + (plus ? 108 : 92), 16);
    const size_t security = optional + (plus ? 112 : 96) + 4 * 8;
    put32(image, security, number(2));
    put32(image, security + 4, number(3));
    if (number(2) != 0 && number(2) + 8 <= image.size()) {
      put32(image, number(2), number(3));
      put32(image, number(2) + 4, 0x0200 | number(4) << 16);
    }
    const pdmhost::PeSignature found = pdmhost::peSignature(image);
    const char* got = found == pdmhost::PeSignature::Signed     ? "signed"
                      : found == pdmhost::PeSignature::Unsigned ? "unsigned"
                                                                : "not-pe";
    EXPECT_EQ(got, row.at(6)) << "magic " << row.at(1) << ", certificate at " << row.at(2);
  }
}

#ifndef _WIN32
namespace fs = std::filesystem;

void apply(const std::string& root, const std::string& changes) {
  if (changes == "-")
    return;
  std::istringstream list(changes);
  for (std::string change; std::getline(list, change, ';');) {
    std::istringstream words(change);
    std::string verb, path, value;
    words >> verb >> path >> value;
    const std::string at = root + "/" + path;
    if (verb == "chown") {
      const size_t colon = value.find(':');
      ASSERT_EQ(
          chown(at.c_str(), std::stoi(value.substr(0, colon)), std::stoi(value.substr(colon + 1))),
          0)
          << change;
    } else {
      ASSERT_EQ(verb, "chmod") << change;
      ASSERT_EQ(chmod(at.c_str(), static_cast<mode_t>(std::stoul(value, nullptr, 8))), 0) << change;
    }
  }
}

TEST(CheckInstall, JudgesInstalledTreesAsVirtualBoxsLoaderDoes) {
  if (geteuid() != 0)
    GTEST_SKIP() << "the trees need root: their owners are set with chown";
  // Under the root directory: a temporary directory in /tmp would be refused for /tmp
  // itself, which everyone may write to.
  char pattern[] = "/vmmgr-check-install-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string base = pattern;
  struct Remove {
    std::string path;
    ~Remove() { fs::remove_all(path); }
  } remove{base};
  ASSERT_EQ(chmod(base.c_str(), 0755), 0);
  int n = 0;
  for (const auto& row : cases("tree")) {
    const std::string root = base + "/" + std::to_string(++n);
    fs::create_directories(root + "/lib");
    chmod(root.c_str(), 0755);
    chmod((root + "/lib").c_str(), 0755);
    const std::string module = root + "/lib/VmmgrVboxPdm.so.1.0.0";
    testsupport::writeFile(module, "module");
    chmod(module.c_str(), 0755);
    fs::create_symlink("VmmgrVboxPdm.so.1.0.0", root + "/lib/VmmgrVboxPdm.so.1");
    apply(root, row.at(1));
    std::string path = row.at(2);
    std::string cwd;
    if (path.rfind("./", 0) == 0) {
      cwd = fs::current_path().string();
      fs::current_path(root);
    } else {
      path = root + "/" + path;
    }
    const pdmhost::InstallReport report = pdmhost::checkInstall(path);
    if (!cwd.empty())
      fs::current_path(cwd);
    std::string text;
    for (const std::string& line : report.refusals)
      text += line + "\n";
    if (row.at(3) == "pass") {
      EXPECT_TRUE(report.refusals.empty()) << row.at(1) << ", " << row.at(2) << ":\n" << text;
    } else {
      EXPECT_NE(text.find(row.at(4)), std::string::npos)
          << row.at(1) << ", " << row.at(2) << ": no \"" << row.at(4) << "\" in:\n"
          << text;
    }
  }
}
#endif

} // namespace
