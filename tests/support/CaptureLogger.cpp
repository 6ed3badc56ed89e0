#include "tests/support/CaptureLogger.h"

#include "xpl/Xlog.h"

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace testsupport {

namespace {
std::mutex lock;
std::vector<LogLine> recorded;
std::vector<EnabledQuery> asked;
std::atomic<int> maxEnabled{4};
std::atomic<bool> echo{false};

template <typename T> std::vector<T> copy(const std::vector<T>& record) {
  std::lock_guard<std::mutex> g(lock);
  return record;
}

int captureIsEnabled(int moduleId, int level) {
  std::lock_guard<std::mutex> g(lock);
  asked.push_back(EnabledQuery{moduleId, level});
  return level <= maxEnabled ? 1 : 0;
}

int captureLog(int level, int moduleId, const char* file, const char* function, int line,
               const char* format, ...) {
  char text[8192];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (echo)
    std::fprintf(stderr, "%s\n", text);
  std::lock_guard<std::mutex> g(lock);
  recorded.push_back(LogLine{level, moduleId, file, function, line, format, text, asked.size()});
  return n;
}
} // namespace

const XlogLogger CaptureLogger::table = {captureIsEnabled, captureLog};

void CaptureLogger::install(int maxLevel) {
  maxEnabled = maxLevel;
  xlogLibInit(&table, std::string(), "*:I");
  clear();
}

void CaptureLogger::setMaxLevel(int maxLevel) { maxEnabled = maxLevel; }
void CaptureLogger::echoToStderr(bool on) { echo = on; }
std::vector<LogLine> CaptureLogger::lines() { return copy(recorded); }
std::vector<EnabledQuery> CaptureLogger::queries() { return copy(asked); }

void CaptureLogger::clear() {
  std::lock_guard<std::mutex> g(lock);
  recorded.clear();
  asked.clear();
}

size_t CaptureLogger::count(const std::string& part) {
  const auto all = lines();
  return std::count_if(all.begin(), all.end(),
                       [&](const LogLine& l) { return l.text.find(part) != std::string::npos; });
}

} // namespace testsupport
