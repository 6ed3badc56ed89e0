// State shared by the logging library's sources. Written during start-up (xlogLibInit) or
// by the setters before other threads log, then only read.
#pragma once

#include "xpl/XlogLogger.h"

#include <string>

struct XlogModuleEntry {
  XlogLevel level;  ///< the most verbose level written for the module
  const char* name; ///< fixed upper-case name, at most 6 characters
};

extern XlogModuleEntry xlogModules[XLOG_MODULE_COUNT];

/// The zone text printed after the milliseconds (+0100, -0000); empty before xlogLibInit.
extern std::string xlogZoneSuffix;

/// Opens the log file at logFilePath for appending, after rotating it at 10 MiB; an empty
/// path selects standard output. Called only by xlogLibInit.
int xlogOpenLogFile(const std::string& logFilePath);
