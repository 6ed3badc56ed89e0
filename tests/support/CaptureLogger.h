// A logger for tests: records every enablement query and every formatted line, and enables
// levels per module as the test sets them.
#pragma once

#include "xpl/XlogLogger.h"

#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

struct LogLine {
  int level;
  int moduleId;
  std::string file;
  std::string function;
  int line;
  std::string format;
  std::string text;
  size_t queriesBefore; ///< how many enablement queries had been made when it was logged
};

struct EnabledQuery {
  int moduleId;
  int level;
};

class CaptureLogger {
public:
  /// Installs the capture functions as the module's current logger and clears the record.
  /// Every level up to maxLevel is enabled for every module.
  static void install(int maxLevel = 4);
  static void setMaxLevel(int maxLevel);
  static std::vector<LogLine> lines();
  static std::vector<EnabledQuery> queries();
  static void clear();
  /// Lines whose formatted text contains `part`.
  static size_t count(const std::string& part);
  /// Also print each line on standard error (death tests match on it).
  static void echoToStderr(bool on);
  static const XlogLogger table;
};

} // namespace testsupport
