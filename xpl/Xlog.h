// The logging library: the current logger, the call-site macros and the library's own logger.
#pragma once

#include "xpl/XlogLogger.h"
#include "xpl/Xpl.h"

#include <string>

/// Letters of the levels, indexed by level: "E", "W", "I", "D", "V".
extern const char* const xlogLevelLetters[5];

/// The current logger: never null, always the same address.
XlogLogger* xlogGetLogger();

/// The library's own logger functions (slots of the initial table).
extern "C" int xlogDefaultIsEnabled(int moduleId, int level);
extern "C" int xlogDefaultLog(int level, int moduleId, const char* file, const char* function,
                              int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 6, 7)))
#endif
    ;

/// With a logger: installs a copy of it and returns 0. Without: opens the log file (an
/// empty path means standard output), sets the module levels to "*:I XMEM:D" whatever
/// levelSpec says, and fixes the zone text; returns 0, or the file layer's error when the
/// log file cannot be opened (nothing else is set up then).
int xlogLibInit(const XlogLogger* logger, const std::string& logFilePath,
                const std::string& levelSpec);

/// Applies a level specification: items "MODULE:L" or "*:L" separated by single spaces,
/// L one of E W I D V (only its first character counts), applied left to right. Returns 0,
/// or 22 on a malformed item (the items before it stay applied). Unknown names are ignored.
int xlogSetLevels(const std::string& items);

/// The time field of a log line for the current moment ("2026-12-04 23:18:51.042+0100"),
/// bounded by size as xstrSnprintf bounds; the number of characters, or -1 if it did not fit.
int xlogTimestamp(char* buffer, int size);

/// Text printed after the module name in every line of the library's own logger.
void xlogSetTag(const std::string& tag);

/// Which source-location fields the library's own lines carry after the level letter.
void xlogSetSourceFields(bool showFile, bool showFunction, bool showLine);

/// Ends the process at a debugger break after the fatal line has been logged.
[[noreturn]] void xlogFatal(int moduleId, const char* file, const char* function, int line);

namespace xlogdetail {
/// The source path with the platform's separators, built at compile time.
template <unsigned N> struct NativePath {
  char text[N];
  constexpr explicit NativePath(const char (&path)[N]) : text{} {
    for (unsigned i = 0; i < N; ++i) {
      text[i] = path[i] == '/' ? XPL_PATH_SEPARATOR : path[i];
    }
  }
};
} // namespace xlogdetail

#define XLOG_FILE                                                                                  \
  ([]() -> const char* {                                                                           \
    static constexpr ::xlogdetail::NativePath<sizeof(__FILE__)> path_(__FILE__);                   \
    return path_.text;                                                                             \
  }())

namespace xlogdetail {
/// Per module, the most verbose level that may be on: the module's own level while the
/// library's logger is current, every level while another one is (only its isEnabled can
/// tell). Written with the levels and the logger, during start-up.
extern XlogLevel levelCeiling[XLOG_MODULE_COUNT];
} // namespace xlogdetail

/// Whether a message of level for moduleId may be written: exact for the library's own
/// logger, always true for another. One load and compare, so a disabled statement costs no
/// call; a true answer is confirmed by the current logger's isEnabled.
inline bool xlogMayBeEnabled(XlogModuleId moduleId, XlogLevel level) {
  return xlogdetail::levelCeiling[moduleId] >= level;
}

/// A log statement under the file's xlogModuleId, made as the named function: the arguments
/// are evaluated only when the current logger enables the level.
#define XLOG_AS(function, level, ...)                                                              \
  do {                                                                                             \
    if (xlogMayBeEnabled(xlogModuleId, (level))) {                                                 \
      XlogLogger* const logger_ = xlogGetLogger();                                                 \
      if (logger_->isEnabled(xlogModuleId, (level)))                                               \
        logger_->log((level), xlogModuleId, XLOG_FILE, (function), __LINE__, __VA_ARGS__);         \
    }                                                                                              \
  } while (0)

#define XLOG_AT(level, ...) XLOG_AS(__func__, level, __VA_ARGS__)

#define XLOG_E(...) XLOG_AT(XLOG_ERROR, __VA_ARGS__)
#define XLOG_W(...) XLOG_AT(XLOG_WARNING, __VA_ARGS__)
#define XLOG_I(...) XLOG_AT(XLOG_INFO, __VA_ARGS__)
#define XLOG_D(...) XLOG_AT(XLOG_DEBUG, __VA_ARGS__)
#define XLOG_V(...) XLOG_AT(XLOG_VERBOSE, __VA_ARGS__)

/// A state the caller's contract rules out: the fatal line, then a debugger break.
#define XLOG_FATAL() xlogFatal(xlogModuleId, XLOG_FILE, __func__, __LINE__)
