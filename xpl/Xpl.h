// Start-up of the platform layer, run once by the module before anything else of it.
#pragma once

#include "xpl/XlogLogger.h"

#include <string>

/// The path separator the layer looks for and inserts, and that log lines cut the source
/// path at: '\\' on Windows (forward slashes are left to the system), '/' elsewhere.
#if defined(_WIN32)
constexpr char XPL_PATH_SEPARATOR = '\\';
#else
constexpr char XPL_PATH_SEPARATOR = '/';
#endif

/// UTF-8 locale, error tables, then logging (the VM manager's logger, or the library's own
/// with its log file at logFilePath, empty for standard output). Returns the first nonzero
/// result of those steps, else 0.
int xplLibInit(const XlogLogger* logger, const std::string& logFilePath);
