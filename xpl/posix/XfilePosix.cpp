// The file layer on POSIX. errno values already are the layer's codes, so a failure is the
// errno of the call that failed, read before anything else can change it. Where POSIX
// reports less than Windows (a missing file against a missing directory) the difference is
// asked of the file system, so callers see the same results on both platforms.
#include "xpl/Xfile.h"

#include "xpl/XfileOs.h"
#include "xpl/Xpl.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

const char* const XFILE_OS_WALK_PREFIX = "";

namespace {

// The result of a call that returns 0 on success and sets errno on failure.
inline XErr result(int returned) { return returned == 0 ? XERR_SUCCESS : errno; }

// Repeats a call that a signal interrupted before it did anything.
template <typename Call> auto retried(Call call) {
  decltype(call()) returned;
  do {
    returned = call();
  } while (returned < 0 && errno == EINTR);
  return returned;
}

inline int descriptorOf(const XfileHandle& handle) {
  return static_cast<int>(reinterpret_cast<std::intptr_t>(handle.platformHandle));
}

inline void* handleOf(int descriptor) {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(descriptor));
}

// open() flags per mode. No O_CLOEXEC: child processes inherit the descriptor, as they
// inherit the Windows handle opened with inheritable security attributes.
int openFlags(XfileOpenMode mode) {
  switch (mode) {
  case XFILE_MODE_READWRITE:
    return O_RDWR | O_CREAT;
  case XFILE_MODE_APPEND:
    return O_WRONLY | O_APPEND | O_CREAT;
  case XFILE_MODE_TRUNCATE:
    return O_RDWR | O_CREAT | O_TRUNC;
  case XFILE_MODE_READWRITE_EXISTING:
    return O_RDWR;
  default:
    return O_RDONLY;
  }
}

// Creates target and copies the open file from into it, with the source's permissions and
// times, as the Windows copy keeps the last-write time.
XErr copyInto(int from, const std::string& target, const struct stat& info) {
  // O_EXCL refuses an existing target in the very call that would create it, so a target
  // that exists is never opened, let alone changed.
  const int to =
      ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 07777);
  if (to < 0)
    return errno;
  XfileHandle in{handleOf(from)}, out{handleOf(to)};
  std::vector<char> buffer(1 << 16);
  XErr err = XERR_SUCCESS;
  for (std::uint64_t got = 1; err == XERR_SUCCESS && got > 0;) {
    err = xfileRead(in, buffer.data(), buffer.size(), got);
    if (err == XERR_SUCCESS)
      err = xfileWriteAll(out, buffer.data(), got);
  }
  const struct timespec times[2] = {info.st_atim, info.st_mtim};
  if (err == XERR_SUCCESS)
    err = result(::futimens(to, times));
  if (::close(to) != 0 && err == XERR_SUCCESS)
    err = errno;
  // A half-written target is not a copy; this target is the one just created.
  if (err != XERR_SUCCESS)
    ::unlink(target.c_str());
  return err;
}

} // namespace

XErr xfileGetFullPath(const std::string& path, std::string& fullPath) {
  // Folded by text, like the Windows full-path service: the path need not exist, and
  // symbolic links are not followed (".." removes the piece before it).
  const std::string text(path.c_str());
  if (text.empty())
    return XERR_NOENT;
  std::error_code error;
  const std::filesystem::path base =
      text.front() == XPL_PATH_SEPARATOR ? "/" : std::filesystem::current_path(error);
  if (error)
    return error.value();
  // The leading separators go: the folding would keep a lone "//" as it is.
  const std::string relative =
      text.substr(std::min(text.find_first_not_of(XPL_PATH_SEPARATOR), text.size()));
  std::string folded = (base / relative).lexically_normal().string();
  // A trailing separator says "directory"; the Windows service keeps it only where the path
  // had one, not where a last "." or ".." was folded away.
  if (folded.size() > 1 && folded.back() == XPL_PATH_SEPARATOR && text.back() != XPL_PATH_SEPARATOR)
    folded.pop_back();
  fullPath = folded;
  return XERR_SUCCESS;
}

XErr xfileExists(const std::string& path) {
  struct stat info;
  return result(::stat(path.c_str(), &info));
}

XErr xfileMkdir(const std::string& path, std::uint32_t /*mode*/) {
  // 0777 less the umask: the process default, as Windows gives a directory created with
  // no security descriptor.
  if (::mkdir(path.c_str(), 0777) == 0 || errno == EEXIST)
    return XERR_SUCCESS;
  return errno;
}

XErr xfileRmdir(const std::string& path) { return result(::rmdir(path.c_str())); }

XErr xfileOsOpen(XfileHandle& handle, const std::string& path, XfileOpenMode mode) {
  const int descriptor = retried([&] { return ::open(path.c_str(), openFlags(mode), 0666); });
  if (descriptor < 0)
    return errno;
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
  return result(::close(descriptorOf(handle)));
}

XErr xfileRead(XfileHandle& handle, void* buffer, std::uint64_t length, std::uint64_t& bytesRead) {
  const std::size_t count = std::min(length, XFILE_MAX_TRANSFER);
  const ssize_t got = retried([&] { return ::read(descriptorOf(handle), buffer, count); });
  if (got < 0)
    return errno;
  bytesRead = static_cast<std::uint64_t>(got);
  return XERR_SUCCESS;
}

XErr xfileWrite(XfileHandle& handle, const void* buffer, std::uint64_t length,
                std::uint64_t& bytesWritten) {
  const std::size_t count = std::min(length, XFILE_MAX_TRANSFER);
  const ssize_t put = retried([&] { return ::write(descriptorOf(handle), buffer, count); });
  if (put < 0)
    return errno;
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
  const off_t position = ::lseek(descriptorOf(handle), offset, static_cast<int>(origin));
  if (position < 0)
    return errno;
  newPosition = static_cast<std::uint64_t>(position);
  return XERR_SUCCESS;
}

XErr xfileGetSize(XfileHandle& handle, std::uint64_t& size) {
  struct stat info;
  if (::fstat(descriptorOf(handle), &info) != 0)
    return errno;
  size = static_cast<std::uint64_t>(info.st_size);
  return XERR_SUCCESS;
}

XErr xfileGetSizeByPath(const std::string& path, std::uint64_t& size) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0)
    return errno;
  // A directory has no data size of its own; the Windows directory entry says 0.
  size = S_ISDIR(info.st_mode) ? 0 : static_cast<std::uint64_t>(info.st_size);
  return XERR_SUCCESS;
}

XErr xfileOsFlushHandle(XfileHandle& handle) { return result(::fsync(descriptorOf(handle))); }

XErr xfileOsReplace(const std::string& source, const std::string& target) {
  return result(::rename(source.c_str(), target.c_str()));
}

XErr xfileCopy(const std::string& source, const std::string& target) {
  const int from = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (from < 0)
    return errno;
  struct stat info;
  XErr err = result(::fstat(from, &info));
  if (err == XERR_SUCCESS)
    err = S_ISDIR(info.st_mode) ? XERR_ISDIR : copyInto(from, target, info);
  ::close(from);
  return err;
}

XErr xfileHardLink(const std::string& existingPath, const std::string& newPath) {
  return result(::link(existingPath.c_str(), newPath.c_str()));
}

XErr xfileDelete(const std::string& path) {
  if (::unlink(path.c_str()) == 0)
    return XERR_SUCCESS;
  const XErr err = errno;
  // ENOENT does not say whether the file or its directory is missing; Windows forgives only
  // the first, so ask whether the directory is there (the trailing separator makes the
  // question "is it a directory"; "." stands for a bare name's).
  const std::size_t last = path.rfind(XPL_PATH_SEPARATOR);
  const std::string directory = last == std::string::npos ? "." : path.substr(0, last + 1);
  if (err == XERR_NOENT && xfileExists(directory) == XERR_SUCCESS)
    return XERR_SUCCESS;
  return err;
}
