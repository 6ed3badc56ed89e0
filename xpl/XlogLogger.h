/// @file
/// The logger table a VM manager may hand to the module, with the level and module numbers
/// its functions receive. Plain C (C11 or C++17): two function pointers, isEnabled first.
#pragma once

#include <stdint.h>
#ifndef __cplusplus
#include <assert.h> /* static_assert */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/// Message level: a message is written when isEnabled says so for its module and level.
typedef int32_t XlogLevel;
/// Index into the module table (0 to 42); the number an installed logger receives.
typedef int32_t XlogModuleId;

/// The XlogLevel values.
enum {
  XLOG_ERROR = 0,   ///< "E": a failed access or registration
  XLOG_WARNING = 1, ///< "W": a refused access
  XLOG_INFO = 2,    ///< "I": registration done
  XLOG_DEBUG = 3,   ///< "D": entries, constructions, port accesses, placements
  XLOG_VERBOSE = 4  ///< "V": for configuration only; no message uses it
};

/// XlogModuleId values of the sources that log; the whole table has 43 entries (0 to 42).
enum {
  XLOG_MODULE_VMMGR = 27, ///< the device bridge: every bridge message
  XLOG_MODULE_XFILE = 31,
  XLOG_MODULE_XLOG = 34, ///< the logging library itself
  XLOG_MODULE_XMEM = 35,
  XLOG_MODULE_XPROC = 37,
  XLOG_MODULE_XSTR = 39,
  XLOG_MODULE_COUNT = 43
};

/// Nonzero when a message of level for module moduleId is to be written. Called from
/// several threads at once.
typedef int (*XlogIsEnabledFn)(int moduleId, int level);
/// Writes one message: format and the arguments after it are those of printf; file is the
/// source path, function the bare function name. The result is not read. Called from
/// several threads at once, and only when isEnabled said yes.
typedef int (*XlogLogFn)(int level, int moduleId, const char* file, const char* function, int line,
                         const char* format, ...);

/// Note the argument order: isEnabled takes the module first, log the level first.
/// vmmgrVboxPdmInit copies both pointers; the table itself need not outlive the call.
typedef struct XlogLogger {
  XlogIsEnabledFn isEnabled; ///< asked before every message
  XlogLogFn log;             ///< receives the messages isEnabled let through
} XlogLogger;

#ifdef __cplusplus
} // extern "C"
#endif

static_assert(sizeof(XlogLogger) == 2 * sizeof(void*), "XlogLogger is two pointers");
