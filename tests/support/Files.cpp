#include "tests/support/Files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <cstdlib>
#endif

namespace testsupport {

#if defined(_WIN32)
std::filesystem::path nativePath(const std::string& utf8) {
  std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
  wide.resize(wide.size() - 1);
  return std::filesystem::path(wide);
}

static std::string utf8Of(const wchar_t* wide) {
  std::string text(WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text.data(), static_cast<int>(text.size()), nullptr,
                      nullptr);
  text.resize(text.size() - 1);
  return text;
}

std::FILE* openFile(const std::string& path, bool write) {
  return _wfopen(nativePath(path).c_str(), write ? L"wb" : L"rb");
}

bool underWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

TempDir::TempDir(const std::string& prefix) {
  wchar_t temp[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, temp);
  static std::atomic<int> serial{0};
  path_ = utf8Of(temp) + prefix + "-" + std::to_string(GetCurrentProcessId()) + "-" +
          std::to_string(++serial);
  EXPECT_TRUE(CreateDirectoryW(nativePath(path_).c_str(), nullptr)) << path_;
}
#else
std::filesystem::path nativePath(const std::string& utf8) { return std::filesystem::path(utf8); }

bool underWine() { return false; }

std::FILE* openFile(const std::string& path, bool write) {
  return std::fopen(path.c_str(), write ? "wb" : "rb");
}

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  EXPECT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
  path_ = pattern;
}
#endif

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

} // namespace testsupport
