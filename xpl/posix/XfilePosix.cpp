// The file layer on POSIX. errno values already are the layer's codes, so a failure is the
// errno of the call that failed, read before anything else can change it. Where POSIX
// reports less than Windows (a missing file against a missing directory) the difference is
// asked of the file system, so callers see the same results on both platforms.
#include "xpl/Xfile.h"

#include "xpl/XfileOs.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char* const xfileOsWalkPrefix = "";

namespace {

// The longest count handed to one read or write.
constexpr std::uint64_t maxTransfer = UINT32_MAX;

inline XErr lastError() { return static_cast<XErr>(errno); }

inline int descriptorOf(const XfileHandle& handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle.platformHandle));
}

inline void* handleOf(int descriptor) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(descriptor));
}

// Paths are cut at their first NUL, as the conversion to UTF-16 cuts them on Windows.
inline const char* pathOf(const std::string& path) { return path.c_str(); }

bool isDirectory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// The directory part of a path as unlink saw it: "." for a bare name, "/" for "/name".
std::string parentOf(const std::string& path) {
  const std::string text(path.c_str());
  const std::size_t last = text.rfind('/');
  if (last == std::string::npos)
    return ".";
  if (last == 0)
    return "/";
  return text.substr(0, last);
}

// open() flags per mode. No O_CLOEXEC: child processes inherit the descriptor, as they
// inherit the Windows handle opened with inheritable security attributes.
int openFlags(XfileOpenMode mode) {
  switch (mode) {
  case XFILE_MODE_READ:
    return O_RDONLY;
  case XFILE_MODE_READWRITE:
    return O_RDWR | O_CREAT;
  case XFILE_MODE_APPEND:
    return O_WRONLY | O_APPEND | O_CREAT;
  case XFILE_MODE_TRUNCATE:
    return O_RDWR | O_CREAT | O_TRUNC;
  case XFILE_MODE_READWRITE_EXISTING:
    return O_RDWR;
  }
  return O_RDONLY;
}

// Copies the rest of one descriptor into another; the errno of a failing call is returned.
XErr copyContent(int from, int to) {
  std::vector<char> buffer(1 << 16);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR)
        continue;
      return lastError();
    }
    if (got == 0)
      return XERR_SUCCESS;
    ssize_t put = 0;
    while (put < got) {
      const ssize_t n = ::write(to, buffer.data() + put, static_cast<std::size_t>(got - put));
      if (n < 0) {
        if (errno == EINTR)
          continue;
        return lastError();
      }
      put += n;
    }
  }
}

} // namespace

XErr xfileGetFullPath(const std::string& path, std::string& fullPath) {
  // Folded by text, like the Windows full-path service: the path need not exist, and
  // symbolic links are not followed (".." removes the piece before it).
  const std::string text(path.c_str());
  if (text.empty())
    return XERR_NOENT;
  std::string joined;
  if (text.front() == '/') {
    joined = text;
  } else {
    std::vector<char> cwd(PATH_MAX);
    while (::getcwd(cwd.data(), cwd.size()) == nullptr) {
      if (errno != ERANGE)
        return lastError();
      cwd.resize(cwd.size() * 2);
    }
    joined = std::string(cwd.data()) + "/" + text;
  }

  std::vector<std::string> kept;
  std::size_t start = 0;
  while (start <= joined.size()) {
    std::size_t end = joined.find('/', start);
    if (end == std::string::npos)
      end = joined.size();
    const std::string piece = joined.substr(start, end - start);
    if (piece == "..") {
      if (!kept.empty())
        kept.pop_back();
    } else if (!piece.empty() && piece != ".") {
      kept.push_back(piece);
    }
    start = end + 1;
  }

  std::string result;
  for (const std::string& piece : kept)
    result += "/" + piece;
  // A trailing separator says "directory", and the Windows service keeps it too.
  if (result.empty() || text.back() == '/')
    result += "/";
  fullPath = result;
  return XERR_SUCCESS;
}

XErr xfileExists(const std::string& path) {
  struct stat info;
  return ::stat(pathOf(path), &info) == 0 ? XERR_SUCCESS : lastError();
}

XErr xfileMkdir(const std::string& path, std::uint32_t /*mode*/) {
  // 0777 less the umask: the process default, as Windows gives a directory created with
  // no security descriptor.
  if (::mkdir(pathOf(path), 0777) == 0 || errno == EEXIST)
    return XERR_SUCCESS;
  return lastError();
}

XErr xfileRmdir(const std::string& path) {
  return ::rmdir(pathOf(path)) == 0 ? XERR_SUCCESS : lastError();
}

XErr xfileOsOpen(XfileHandle& handle, const std::string& path, XfileOpenMode mode) {
  int descriptor;
  do {
    descriptor = ::open(pathOf(path), openFlags(mode), 0666);
  } while (descriptor < 0 && errno == EINTR);
  if (descriptor < 0)
    return lastError();
  // Windows opens no directory as a file; a read-only open() of one would succeed here and
  // fail only at the first read.
  struct stat info;
  if (::fstat(descriptor, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(descriptor);
    return XERR_ISDIR;
  }
  handle.platformHandle = handleOf(descriptor);
  return XERR_SUCCESS;
}

XErr xfileClose(XfileHandle& handle) {
  // Not retried on EINTR: Linux releases the descriptor whatever close() returns.
  return ::close(descriptorOf(handle)) == 0 ? XERR_SUCCESS : lastError();
}

XErr xfileRead(XfileHandle& handle, void* buffer, std::uint64_t length, std::uint64_t& bytesRead) {
  const std::size_t count = static_cast<std::size_t>(std::min(length, maxTransfer));
  ssize_t got;
  do {
    got = ::read(descriptorOf(handle), buffer, count);
  } while (got < 0 && errno == EINTR);
  if (got < 0)
    return lastError();
  bytesRead = static_cast<std::uint64_t>(got);
  return XERR_SUCCESS;
}

XErr xfileWrite(XfileHandle& handle, const void* buffer, std::uint64_t length,
                std::uint64_t& bytesWritten) {
  const std::size_t count = static_cast<std::size_t>(std::min(length, maxTransfer));
  ssize_t put;
  do {
    put = ::write(descriptorOf(handle), buffer, count);
  } while (put < 0 && errno == EINTR);
  if (put < 0)
    return lastError();
  bytesWritten = static_cast<std::uint64_t>(put);
  return XERR_SUCCESS;
}

XErr xfileSeek(XfileHandle& handle, std::int64_t offset, std::uint32_t origin,
               std::uint64_t& newPosition) {
  // Linux has origins beyond the three Windows knows (SEEK_DATA, SEEK_HOLE); Windows
  // refuses those values as an invalid parameter.
  static_assert(SEEK_SET == XFILE_SEEK_BEGIN && SEEK_CUR == XFILE_SEEK_CURRENT &&
                    SEEK_END == XFILE_SEEK_END,
                "origins pass through unchanged");
  if (origin > XFILE_SEEK_END)
    return XERR_INVAL;
  const off_t position =
      ::lseek(descriptorOf(handle), static_cast<off_t>(offset), static_cast<int>(origin));
  if (position < 0)
    return lastError();
  newPosition = static_cast<std::uint64_t>(position);
  return XERR_SUCCESS;
}

XErr xfileGetSize(XfileHandle& handle, std::uint64_t& size) {
  struct stat info;
  if (::fstat(descriptorOf(handle), &info) != 0)
    return lastError();
  size = static_cast<std::uint64_t>(info.st_size);
  return XERR_SUCCESS;
}

XErr xfileGetSizeByPath(const std::string& path, std::uint64_t& size) {
  struct stat info;
  if (::stat(pathOf(path), &info) != 0)
    return lastError();
  // A directory has no data size of its own; the Windows directory entry says 0.
  size = S_ISDIR(info.st_mode) ? 0 : static_cast<std::uint64_t>(info.st_size);
  return XERR_SUCCESS;
}

XErr xfileOsFlushHandle(XfileHandle& handle) {
  return ::fsync(descriptorOf(handle)) == 0 ? XERR_SUCCESS : lastError();
}

XErr xfileOsReplace(const std::string& source, const std::string& target) {
  return ::rename(pathOf(source), pathOf(target)) == 0 ? XERR_SUCCESS : lastError();
}

XErr xfileCopy(const std::string& source, const std::string& target) {
  const int from = ::open(pathOf(source), O_RDONLY | O_CLOEXEC);
  if (from < 0)
    return lastError();
  struct stat info;
  if (::fstat(from, &info) != 0) {
    const XErr err = lastError();
    ::close(from);
    return err;
  }
  if (S_ISDIR(info.st_mode)) {
    ::close(from);
    return XERR_ISDIR;
  }
  // O_EXCL refuses an existing target in the same call that creates a new one, so a target
  // that exists is never opened, let alone changed.
  const int to =
      ::open(pathOf(target), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777);
  if (to < 0) {
    const XErr err = lastError();
    ::close(from);
    return err;
  }
  XErr err = copyContent(from, to);
  if (err == XERR_SUCCESS) {
    // The copy keeps the source's last-write time, as the Windows copy does.
    const struct timespec times[2] = {info.st_atim, info.st_mtim};
    if (::futimens(to, times) != 0)
      err = lastError();
  }
  if (::close(to) != 0 && err == XERR_SUCCESS)
    err = lastError();
  ::close(from);
  // A half-written target is not a copy; this target is the one just created.
  if (err != XERR_SUCCESS)
    ::unlink(pathOf(target));
  return err;
}

XErr xfileHardLink(const std::string& existingPath, const std::string& newPath) {
  return ::link(pathOf(existingPath), pathOf(newPath)) == 0 ? XERR_SUCCESS : lastError();
}

XErr xfileDelete(const std::string& path) {
  if (::unlink(pathOf(path)) == 0)
    return XERR_SUCCESS;
  const XErr err = lastError();
  // ENOENT does not say whether the file or its directory is missing; Windows forgives
  // only the first, so ask whether the directory is there.
  if (err == XERR_NOENT && isDirectory(parentOf(path).c_str()))
    return XERR_SUCCESS;
  return err;
}
