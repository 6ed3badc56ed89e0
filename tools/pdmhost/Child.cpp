// What both the supervisor's and the fuzzer's children need besides starting them.
#include "tools/pdmhost/Child.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace pdmhost {

std::function<bool()> within(uint64_t ms) {
  const auto start = std::chrono::steady_clock::now();
  return [start, ms] {
    return std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms);
  };
}

std::string readOutput(const std::string& path, size_t most) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    for (size_t n; text.size() < most && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
      text.append(chunk, n);
    std::fclose(file);
  }
  return text;
}

void addChildOption(const char* name, const std::string& option) {
  const char* old = std::getenv(name);
  const std::string value = std::string(old ? old : "") + (old && *old ? ":" : "") + option;
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

} // namespace pdmhost
