// The file layer on Windows: the wide-character file calls, every failure translated from
// the last error read right after the call that failed.
//
// The wide paths are held in named locals, not in temporaries: freeing a temporary between
// the failing call and GetLastError must not be able to change the last error.
#include "xpl/Xfile.h"

#include "xpl/XfileOs.h"
#include "xpl/Xstr.h"

#include <windows.h>

#include <algorithm>
#include <vector>

const char* const XFILE_OS_WALK_PREFIX = "\\\\?\\";

namespace {

inline XErr lastError() { return xerrFromWin32(static_cast<int>(GetLastError())); }

// The result of a call that returns nonzero on success and sets the last error on failure.
inline XErr result(BOOL succeeded) { return succeeded ? XERR_SUCCESS : lastError(); }

inline HANDLE handleOf(const XfileHandle& handle) {
  return static_cast<HANDLE>(handle.platformHandle);
}

struct OpenArguments {
  DWORD access;
  DWORD disposition;
};

OpenArguments openArguments(XfileOpenMode mode) {
  switch (mode) {
  case XFILE_MODE_READWRITE:
    return {GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS};
  case XFILE_MODE_APPEND:
    // Append data only: the system puts every write at the current end of the file,
    // whatever the file pointer says.
    return {FILE_APPEND_DATA, OPEN_ALWAYS};
  case XFILE_MODE_TRUNCATE:
    return {GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS};
  case XFILE_MODE_READWRITE_EXISTING:
    return {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING};
  default:
    return {GENERIC_READ, OPEN_EXISTING};
  }
}

} // namespace

XErr xfileGetFullPath(const std::string& path, std::string& fullPath) {
  const XstrWide widePath = xstrUtf8ToWide(path);
  const DWORD needed = GetFullPathNameW(widePath.c_str(), 0, nullptr, nullptr);
  if (needed == 0)
    return lastError();
  std::vector<wchar_t> buffer(needed, L'\0');
  if (GetFullPathNameW(widePath.c_str(), needed, buffer.data(), nullptr) == 0)
    return lastError();
  fullPath = xstrWideToUtf8(buffer.data());
  return XERR_SUCCESS;
}

XErr xfileExists(const std::string& path) {
  const XstrWide widePath = xstrUtf8ToWide(path);
  return result(GetFileAttributesW(widePath.c_str()) != INVALID_FILE_ATTRIBUTES);
}

XErr xfileMkdir(const std::string& path, std::uint32_t /*mode*/) {
  const XstrWide widePath = xstrUtf8ToWide(path);
  if (CreateDirectoryW(widePath.c_str(), nullptr))
    return XERR_SUCCESS;
  // Read once: the existing name is success, anything else is translated.
  const DWORD error = GetLastError();
  return error == ERROR_ALREADY_EXISTS ? XERR_SUCCESS : xerrFromWin32(static_cast<int>(error));
}

XErr xfileRmdir(const std::string& path) {
  const XstrWide widePath = xstrUtf8ToWide(path);
  return result(RemoveDirectoryW(widePath.c_str()));
}

XErr xfileOsOpen(XfileHandle& handle, const std::string& path, XfileOpenMode mode) {
  const OpenArguments arguments = openArguments(mode);
  // Inheritable, so that child processes created with handle inheritance receive it.
  SECURITY_ATTRIBUTES security{sizeof security, nullptr, TRUE};
  const XstrWide widePath = xstrUtf8ToWide(path);
  const HANDLE opened = CreateFileW(
      widePath.c_str(), arguments.access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      &security, arguments.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE)
    return lastError();
  handle.platformHandle = opened;
  return XERR_SUCCESS;
}

XErr xfileClose(XfileHandle& handle) { return result(CloseHandle(handleOf(handle))); }

XErr xfileRead(XfileHandle& handle, void* buffer, std::uint64_t length, std::uint64_t& bytesRead) {
  DWORD count = 0;
  if (!ReadFile(handleOf(handle), buffer, static_cast<DWORD>(std::min(length, XFILE_MAX_TRANSFER)),
                &count, nullptr))
    return lastError();
  bytesRead = count;
  return XERR_SUCCESS;
}

XErr xfileWrite(XfileHandle& handle, const void* buffer, std::uint64_t length,
                std::uint64_t& bytesWritten) {
  DWORD count = 0;
  if (!WriteFile(handleOf(handle), buffer, static_cast<DWORD>(std::min(length, XFILE_MAX_TRANSFER)),
                 &count, nullptr))
    return lastError();
  bytesWritten = count;
  return XERR_SUCCESS;
}

XErr xfileSeek(XfileHandle& handle, std::int64_t offset, std::uint32_t origin,
               std::uint64_t& newPosition) {
  LARGE_INTEGER distance;
  distance.QuadPart = offset;
  LARGE_INTEGER position;
  if (!SetFilePointerEx(handleOf(handle), distance, &position, origin))
    return lastError();
  newPosition = static_cast<std::uint64_t>(position.QuadPart);
  return XERR_SUCCESS;
}

XErr xfileGetSize(XfileHandle& handle, std::uint64_t& size) {
  LARGE_INTEGER fileSize;
  if (!GetFileSizeEx(handleOf(handle), &fileSize))
    return lastError();
  size = static_cast<std::uint64_t>(fileSize.QuadPart);
  return XERR_SUCCESS;
}

XErr xfileGetSizeByPath(const std::string& path, std::uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  const XstrWide widePath = xstrUtf8ToWide(path);
  if (!GetFileAttributesExW(widePath.c_str(), GetFileExInfoStandard, &data))
    return lastError();
  size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return XERR_SUCCESS;
}

XErr xfileOsFlushHandle(XfileHandle& handle) { return result(FlushFileBuffers(handleOf(handle))); }

XErr xfileOsReplace(const std::string& source, const std::string& target) {
  // Without MOVEFILE_COPY_ALLOWED: a move to another volume fails instead of copying.
  const XstrWide wideSource = xstrUtf8ToWide(source);
  const XstrWide wideTarget = xstrUtf8ToWide(target);
  return result(MoveFileExW(wideSource.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING));
}

XErr xfileCopy(const std::string& source, const std::string& target) {
  const XstrWide wideSource = xstrUtf8ToWide(source);
  const XstrWide wideTarget = xstrUtf8ToWide(target);
  return result(CopyFileW(wideSource.c_str(), wideTarget.c_str(), TRUE));
}

XErr xfileHardLink(const std::string& existingPath, const std::string& newPath) {
  const XstrWide wideNew = xstrUtf8ToWide(newPath);
  const XstrWide wideExisting = xstrUtf8ToWide(existingPath);
  return result(CreateHardLinkW(wideNew.c_str(), wideExisting.c_str(), nullptr));
}

XErr xfileDelete(const std::string& path) {
  const XstrWide widePath = xstrUtf8ToWide(path);
  if (DeleteFileW(widePath.c_str()))
    return XERR_SUCCESS;
  // Read once. Only the missing file is forgiven; a missing directory (error 3) is reported.
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND ? XERR_SUCCESS : xerrFromWin32(static_cast<int>(error));
}
