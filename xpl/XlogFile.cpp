// Where the library's own lines go: standard output, or the log file.
#include "xpl/XlogInternal.h"

#include "xpl/Xerr.h"

#include <cstdio>

int xlogOpenLogFile(const std::string& logFilePath) {
  if (logFilePath.empty())
    return XERR_SUCCESS;
  return XERR_NOSYS;
}

int xlogWriteLine(const char* line, size_t length) {
  // One call per line: stdio writes each call as a unit, so lines from several threads
  // never interleave within one another.
  return std::fwrite(line, 1, length, stdout) == length ? static_cast<int>(length) : -1;
}
