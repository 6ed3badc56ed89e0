#include "tests/support/Files.h"

#include "xpl/Xstr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace testsupport {

#if defined(_WIN32)
std::filesystem::path nativePath(const std::string& utf8) { return xstrUtf8ToWide(utf8); }
static std::string utf8Of(const std::filesystem::path& path) {
  return xstrWideToUtf8(path.wstring());
}
std::FILE* openFile(const std::string& path, bool write) {
  return _wfopen(nativePath(path).c_str(), write ? L"wb" : L"rb");
}
bool underWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"); }
#else
std::filesystem::path nativePath(const std::string& utf8) { return utf8; }
static std::string utf8Of(const std::filesystem::path& path) { return path.string(); }
std::FILE* openFile(const std::string& path, bool write) {
  return std::fopen(path.c_str(), write ? "wb" : "rb");
}
bool underWine() { return false; }
#endif

TempDir::TempDir(const std::string& prefix) {
  const std::string name = prefix + "-" + std::to_string(std::random_device{}());
  const std::filesystem::path path = std::filesystem::temp_directory_path() / nativePath(name);
  path_ = utf8Of(path);
  EXPECT_TRUE(std::filesystem::create_directory(path)) << path_;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(nativePath(path_), ignored);
  EXPECT_FALSE(std::filesystem::exists(nativePath(path_), ignored)) << path_;
}

void writeFile(const std::string& path, const std::string& content) {
  std::FILE* file = openFile(path, true);
  ASSERT_NE(file, nullptr) << path;
  EXPECT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
  std::fclose(file);
}

std::string readFile(const std::string& path) {
  std::FILE* file = openFile(path, false);
  if (file == nullptr)
    return "<missing>";
  std::string text;
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    text.append(buffer, n);
  std::fclose(file);
  return text;
}

bool fileExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(nativePath(path), ignored);
}

std::vector<std::vector<std::string>> caseRows(const std::string& path, const std::string& kind) {
  // Read through C stdio: the C++ file streams do not work against the Windows build's runtime.
  const std::string text = readFile(path);
  EXPECT_NE(text, "<missing>") << "cannot read " << path;
  std::vector<std::vector<std::string>> rows;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() >= 2 && line.compare(line.size() - 2, 2, " |") == 0)
      line += " ";
    std::vector<std::string> cells;
    for (size_t at = 0;;) {
      const size_t bar = line.find(" | ", at);
      cells.push_back(line.substr(at, bar == std::string::npos ? bar : bar - at));
      if (bar == std::string::npos)
        break;
      at = bar + 3;
    }
    if (cells[0] == kind)
      rows.push_back(cells);
  }
  return rows;
}

} // namespace testsupport
