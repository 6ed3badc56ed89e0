// A logger for tests: records every enablement query and every formatted line, and enables
// every level up to the one the test sets.
#pragma once

#include "xpl/XlogLogger.h"

#include <string>
#include <vector>

namespace testsupport {

struct LogLine {
  int level, moduleId;
  std::string file, function;
  int line;
  std::string format, text;
  size_t queriesBefore; ///< how many enablement queries had been made when it was logged
};

struct EnabledQuery {
  int moduleId, level;
};

struct CaptureLogger {
  /// Installs the capture functions as the module's current logger and clears the record.
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
