#include "tests/support/CaptureLogger.h"

#include "xpl/Xlog.h"

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

std::vector<LogLine> CaptureLogger::lines() {
  std::lock_guard<std::mutex> g(lock);
  return recorded;
}

std::vector<EnabledQuery> CaptureLogger::queries() {
  std::lock_guard<std::mutex> g(lock);
  return asked;
}

void CaptureLogger::clear() {
  std::lock_guard<std::mutex> g(lock);
  recorded.clear();
  asked.clear();
}

size_t CaptureLogger::count(const std::string& part) {
  size_t n = 0;
  for (const LogLine& l : lines())
    n += l.text.find(part) != std::string::npos;
  return n;
}

} // namespace testsupport
