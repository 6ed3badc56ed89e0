// The file layer's logic that is the same on every platform: the recursive directory walk,
// the parent preparation of an open, the read-all and write-all loops, and the flush that
// comes before a move. The platform calls themselves are in XfileWin.cpp / XfilePosix.cpp.
#include "xpl/Xfile.h"

#include "xpl/XfileOs.h"
#include "xpl/Xlog.h"
#include "xpl/Xpl.h"
#include "xpl/Xstr.h"

#include <vector>

static constexpr XlogModuleId xlogModuleId = XLOG_MODULE_XFILE;

XErr xfileMkdirRecursive(const std::string& path, std::uint32_t mode) {
  // An unresolvable path leaves the full path empty; the walk then finds nothing to create.
  std::string fullPath;
  (void)xfileGetFullPath(path, fullPath);

  const std::string separator(1, XPL_PATH_SEPARATOR);
  const std::vector<std::string> pieces = xstrSplit(fullPath, separator);
  // The first piece (a drive on Windows, the empty root on POSIX) is never tested itself:
  // a drive cannot be created, and the root always exists.
  std::string prefix = std::string(XFILE_OS_WALK_PREFIX) + pieces.front();
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    prefix += separator;
    prefix += pieces[i];
    // Failures are left to the caller's next operation on the tree, which reports them
    // with the error of the piece that is really missing.
    if (xfileExists(prefix) != XERR_SUCCESS)
      (void)xfileMkdir(prefix, mode);
  }
  return XERR_SUCCESS;
}

XErr xfileOpen(XfileHandle& handle, const std::string& path, XfileOpenMode mode) {
  // Every mode that may create or change the file gets its directory first; a read only
  // looks, and must not leave directories behind when the file is missing.
  if (mode != XFILE_MODE_READ && !path.empty()) {
    const std::size_t last = path.rfind(XPL_PATH_SEPARATOR);
    if (last != std::string::npos) {
      const std::string directory = path.substr(0, last);
      if (xfileExists(directory) != XERR_SUCCESS)
        (void)xfileMkdirRecursive(directory, 0);
    }
  }
  return xfileOsOpen(handle, path, mode);
}

namespace {
// The loop of the read-all and write-all: one step per call with what is left, until all of
// length is done. A step that moves nothing would move nothing again, so it ends with stuck.
template <typename Step> XErr xfileLoop(std::uint64_t length, XErr stuck, Step step) {
  std::uint64_t done = 0;
  while (done < length) {
    std::uint64_t count = 0;
    const XErr err = step(done, count);
    if (err != XERR_SUCCESS)
      return err;
    if (count == 0)
      return stuck;
    done += count;
  }
  return XERR_SUCCESS;
}
} // namespace

XErr xfileReadAll(XfileHandle& handle, void* buffer, std::uint64_t length) {
  return xfileLoop(length, XERR_NODATA, [&](std::uint64_t done, std::uint64_t& count) {
    return xfileRead(handle, static_cast<char*>(buffer) + done, length - done, count);
  });
}

XErr xfileWriteAll(XfileHandle& handle, const void* buffer, std::uint64_t length) {
  return xfileLoop(length, XERR_IO, [&](std::uint64_t done, std::uint64_t& count) {
    return xfileWrite(handle, static_cast<const char*>(buffer) + done, length - done, count);
  });
}

XErr xfileFlush(const std::string& path) {
  XfileHandle handle{};
  const XErr openErr = xfileOpen(handle, path, XFILE_MODE_READWRITE_EXISTING);
  if (openErr != XERR_SUCCESS)
    return openErr;
  const XErr flushErr = xfileOsFlushHandle(handle);
  const XErr closeErr = xfileClose(handle);
  return flushErr != XERR_SUCCESS ? flushErr : closeErr;
}

XErr xfileMove(const std::string& source, const std::string& target) {
  // The log rotation moves a file that another handle keeps appending to; flushing first
  // puts its last lines on the disk under the old name before the name changes.
  const XErr flushErr = xfileFlush(source);
  if (flushErr != XERR_SUCCESS)
    XLOG_W("Error in flushing file %s to disk. Error = %d", source.c_str(),
           static_cast<int>(flushErr));
  return xfileOsReplace(source, target);
}
