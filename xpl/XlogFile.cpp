// Where the library's own lines go: standard output, or one log file opened for appending
// and rotated to ".1" and ".2" when a start-up finds it at 10 MiB or more.
#include "xpl/XlogInternal.h"

#include "xpl/Xerr.h"
#include "xpl/Xfile.h"

#include <cstdio>

namespace {

constexpr uint64_t XLOG_ROTATE_SIZE = 10485760; // 10 MiB; a file of exactly this size rotates

struct XlogLogFile {
  XfileHandle handle{};
  bool opened = false;
  std::string path; ///< empty: standard output
};

XlogLogFile xlogLogFile;

} // namespace

int xlogOpenLogFile(const std::string& logFilePath) {
  // A second start-up (tests, a VM manager restarting its logging) leaves the previous file;
  // lines aimed at a file that then fails to open are lost rather than sent to the old one.
  if (xlogLogFile.opened)
    (void)xfileClose(xlogLogFile.handle);
  xlogLogFile = XlogLogFile{};
  if (logFilePath.empty())
    return XERR_SUCCESS;
  uint64_t size = 0;
  (void)xfileGetSizeByPath(logFilePath, size); // a missing file stays at 0
  if (size >= XLOG_ROTATE_SIZE) {
    // The oldest backup is lost; either move may fail (the first rotation has no ".1" yet),
    // and the open below then appends to whatever is still at the path.
    (void)xfileMove(logFilePath + ".1", logFilePath + ".2");
    (void)xfileMove(logFilePath, logFilePath + ".1");
  }
  xlogLogFile.path = logFilePath;
  const XErr err = xfileOpen(xlogLogFile.handle, logFilePath, XFILE_MODE_APPEND);
  xlogLogFile.opened = err == XERR_SUCCESS;
  return err;
}

int xlogWriteLine(const char* line, size_t length) {
  if (xlogLogFile.path.empty()) {
    // One stdio call per line: the runtime writes each call as a unit, so lines from
    // several threads never interleave within one another.
    return std::fwrite(line, 1, length, stdout) == length ? static_cast<int>(length) : -1;
  }
  // One write per line, no retry: the file is opened for appending, so each write lands
  // whole at its end; a failed write loses that line only.
  uint64_t written = 0;
  if (!xlogLogFile.opened || xfileWrite(xlogLogFile.handle, line, length, written) != XERR_SUCCESS)
    return 0;
  return static_cast<int>(written);
}

void xlogFlushOutput() {
  std::fflush(stdout);
  // The file got the line with its own write; this takes it through to the disk as well.
  if (xlogLogFile.opened)
    (void)xfileFlush(xlogLogFile.path);
}
