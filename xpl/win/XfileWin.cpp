// The file layer on Windows: the wide-character file calls, every failure translated from
// the last error read right after the call that failed.
#include "xpl/Xfile.h"

#include "xpl/XfileOs.h"
#include "xpl/Xstr.h"

#include <windows.h>

#include <algorithm>
#include <vector>

const char* const xfileOsWalkPrefix = "\\\\?\\";

namespace {

constexpr DWORD errorAlreadyExists = 183; // ERROR_ALREADY_EXISTS
constexpr DWORD errorFileNotFound = 2;    // ERROR_FILE_NOT_FOUND
constexpr std::uint64_t maxTransfer = MAXDWORD;

inline XErr lastError() { return xerrFromWin32(static_cast<int>(GetLastError())); }

inline HANDLE handleOf(const XfileHandle& handle) {
  return static_cast<HANDLE>(handle.platformHandle);
}

// The wide paths are held in named locals by the callers, not in temporaries: freeing a
// temporary between the failing call and GetLastError must not be able to change it.
inline XstrWide wide(const std::string& path) { return xstrUtf8ToWide(path); }

struct OpenArguments {
  DWORD access;
  DWORD disposition;
};

OpenArguments openArguments(XfileOpenMode mode) {
  switch (mode) {
  case XFILE_MODE_READ:
    return {GENERIC_READ, OPEN_EXISTING};
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
  }
  return {GENERIC_READ, OPEN_EXISTING};
}

} // namespace

XErr xfileGetFullPath(const std::string& path, std::string& fullPath) {
  const XstrWide widePath = wide(path);
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
  const XstrWide widePath = wide(path);
  if (GetFileAttributesW(widePath.c_str()) != INVALID_FILE_ATTRIBUTES)
    return XERR_SUCCESS;
  return lastError();
}

XErr xfileMkdir(const std::string& path, std::uint32_t /*mode*/) {
  const XstrWide widePath = wide(path);
  if (CreateDirectoryW(widePath.c_str(), nullptr))
    return XERR_SUCCESS;
  // Read once: the existing name is success, anything else is translated.
  const DWORD error = GetLastError();
  if (error == errorAlreadyExists)
    return XERR_SUCCESS;
  return xerrFromWin32(static_cast<int>(error));
}

XErr xfileRmdir(const std::string& path) {
  const XstrWide widePath = wide(path);
  return RemoveDirectoryW(widePath.c_str()) ? XERR_SUCCESS : lastError();
}

XErr xfileOsOpen(XfileHandle& handle, const std::string& path, XfileOpenMode mode) {
  const OpenArguments arguments = openArguments(mode);
  // Inheritable, so that child processes created with handle inheritance receive it.
  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof security;
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  const XstrWide widePath = wide(path);
  const HANDLE opened = CreateFileW(
      widePath.c_str(), arguments.access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
      &security, arguments.disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE)
    return lastError();
  handle.platformHandle = opened;
  return XERR_SUCCESS;
}

XErr xfileClose(XfileHandle& handle) {
  return CloseHandle(handleOf(handle)) ? XERR_SUCCESS : lastError();
}

XErr xfileRead(XfileHandle& handle, void* buffer, std::uint64_t length, std::uint64_t& bytesRead) {
  DWORD count = 0;
  if (!ReadFile(handleOf(handle), buffer, static_cast<DWORD>(std::min(length, maxTransfer)), &count,
                nullptr))
    return lastError();
  bytesRead = count;
  return XERR_SUCCESS;
}

XErr xfileWrite(XfileHandle& handle, const void* buffer, std::uint64_t length,
                std::uint64_t& bytesWritten) {
  DWORD count = 0;
  if (!WriteFile(handleOf(handle), buffer, static_cast<DWORD>(std::min(length, maxTransfer)),
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
  const XstrWide widePath = wide(path);
  if (!GetFileAttributesExW(widePath.c_str(), GetFileExInfoStandard, &data))
    return lastError();
  size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return XERR_SUCCESS;
}

XErr xfileOsFlushHandle(XfileHandle& handle) {
  return FlushFileBuffers(handleOf(handle)) ? XERR_SUCCESS : lastError();
}

XErr xfileOsReplace(const std::string& source, const std::string& target) {
  // Without MOVEFILE_COPY_ALLOWED: a move to another volume fails instead of copying.
  const XstrWide wideSource = wide(source);
  const XstrWide wideTarget = wide(target);
  if (MoveFileExW(wideSource.c_str(), wideTarget.c_str(), MOVEFILE_REPLACE_EXISTING))
    return XERR_SUCCESS;
  return lastError();
}

XErr xfileCopy(const std::string& source, const std::string& target) {
  const XstrWide wideSource = wide(source);
  const XstrWide wideTarget = wide(target);
  if (CopyFileW(wideSource.c_str(), wideTarget.c_str(), TRUE))
    return XERR_SUCCESS;
  return lastError();
}

XErr xfileHardLink(const std::string& existingPath, const std::string& newPath) {
  const XstrWide wideNew = wide(newPath);
  const XstrWide wideExisting = wide(existingPath);
  if (CreateHardLinkW(wideNew.c_str(), wideExisting.c_str(), nullptr))
    return XERR_SUCCESS;
  return lastError();
}

XErr xfileDelete(const std::string& path) {
  const XstrWide widePath = wide(path);
  if (DeleteFileW(widePath.c_str()))
    return XERR_SUCCESS;
  const DWORD error = GetLastError();
  // Only the missing file is forgiven; a missing directory (error 3) is reported.
  if (error == errorFileNotFound)
    return XERR_SUCCESS;
  return xerrFromWin32(static_cast<int>(error));
}
