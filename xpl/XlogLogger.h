// The logger table a VM manager may hand to the module, with the level and module numbers
// its functions receive. Plain C layout: two function pointers, isEnabled first.
#pragma once

#include <cstdint>

extern "C" {

typedef int32_t XlogLevel;
typedef int32_t XlogModuleId;

constexpr XlogLevel XLOG_ERROR = 0;
constexpr XlogLevel XLOG_WARNING = 1;
constexpr XlogLevel XLOG_INFO = 2;
constexpr XlogLevel XLOG_DEBUG = 3;
constexpr XlogLevel XLOG_VERBOSE = 4;

/// Module numbers of the sources that log; the whole table has 43 entries (0 to 42).
constexpr XlogModuleId XLOG_MODULE_VMMGR = 27;
constexpr XlogModuleId XLOG_MODULE_XFILE = 31;
constexpr XlogModuleId XLOG_MODULE_XLOG = 34;
constexpr XlogModuleId XLOG_MODULE_XMEM = 35;
constexpr XlogModuleId XLOG_MODULE_XPROC = 37;
constexpr XlogModuleId XLOG_MODULE_XSTR = 39;
constexpr int XLOG_MODULE_COUNT = 43;

typedef int (*XlogIsEnabledFn)(int moduleId, int level);
typedef int (*XlogLogFn)(int level, int moduleId, const char* file, const char* function, int line,
                         const char* format, ...);

/// Note the argument order: isEnabled takes the module first, log the level first.
struct XlogLogger {
  XlogIsEnabledFn isEnabled;
  XlogLogFn log;
};

} // extern "C"

static_assert(sizeof(XlogLogger) == 2 * sizeof(void*));
