// State shared by the logging library's sources. Written during start-up (xlogLibInit) or
// by the setters before other threads log, then only read.
#pragma once

#include "xpl/Xlog.h"

#include <string>

/// The current logger, held by value; written only by xlogLibInit during start-up.
extern XlogLogger xlogCurrentLogger;

/// One entry of the module table: the module's level and its name.
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

/// Hands one finished line to standard output or the log file; the result of
/// xlogDefaultLog (bytes written to the file, 0 when that write failed; the stdio result
/// on standard output).
int xlogWriteLine(const char* line, size_t length);

/// The time field of a log line for the time value now: "%Y-%m-%d %H:%M:%S", a dot, three
/// digits of milliseconds and the zone text. out has room for 128 bytes.
size_t xlogTimeField(char* out, int64_t now);

/// The zone text of the clock's current offset from UTC: +HHMM east, -HHMM otherwise.
std::string xlogZoneText();

/// Makes xlogMayBeEnabled follow the module levels and the current logger; run after either
/// changes.
void xlogUpdateCeiling();

/// Pushes out what standard output or the log file still holds (the fatal line before the
/// break).
void xlogFlushOutput();
