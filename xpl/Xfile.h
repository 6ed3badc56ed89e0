// Paths, directories and files on UTF-8 paths, each operation returning an XErr.
//
// The layer keeps no state and takes no locks. Out parameters are written only on success.
// The separator the layer looks for and inserts is XPL_PATH_SEPARATOR (xpl/Xpl.h).
#pragma once

#include "xpl/Xerr.h"

#include <cstdint>
#include <string>

/// A caller-owned open file. xfileOpen writes the field; xfileClose releases the platform
/// handle without changing it. On Windows the field is the HANDLE, elsewhere the descriptor.
struct XfileHandle {
  void* platformHandle;
};
static_assert(sizeof(XfileHandle) == sizeof(void*), "one pointer-sized field");

/// How xfileOpen opens. Any other value opens an existing file for reading, as
/// XFILE_MODE_READ does, but prepares the parent directory first.
enum XfileOpenMode : std::int32_t {
  XFILE_MODE_READ = 1,               ///< read; the file must exist; no directory is created
  XFILE_MODE_READWRITE = 2,          ///< read and write, created empty if missing, at offset 0
  XFILE_MODE_APPEND = 3,             ///< write only, created if missing, every write at the end
  XFILE_MODE_TRUNCATE = 4,           ///< read and write, created or emptied
  XFILE_MODE_READWRITE_EXISTING = 5, ///< read and write; the file must exist
};

/// Origins of xfileSeek, handed to the platform unchanged.
constexpr std::uint32_t XFILE_SEEK_BEGIN = 0;
constexpr std::uint32_t XFILE_SEEK_CURRENT = 1;
constexpr std::uint32_t XFILE_SEEK_END = 2;

// Paths and directories.

/// The absolute form of path against the current directory, "." and ".." folded. The path
/// need not exist.
XErr xfileGetFullPath(const std::string& path, std::string& fullPath);
/// XERR_SUCCESS when path names an existing file or directory.
XErr xfileExists(const std::string& path);
/// Creates one directory; an existing file or directory of that name counts as success. The
/// mode is not used: directories get the process's default permissions, so that the parent
/// preparation of xfileOpen (which passes 0) makes usable directories on every platform.
XErr xfileMkdir(const std::string& path, std::uint32_t mode);
/// Creates every missing directory of path, ignoring every failure: always XERR_SUCCESS.
/// Whether the tree exists is learnt by the caller's next operation on it.
XErr xfileMkdirRecursive(const std::string& path, std::uint32_t mode);
/// Removes an empty directory.
XErr xfileRmdir(const std::string& path);

// Files. The platform handle is inheritable by child processes.

/// Unless mode is XFILE_MODE_READ, first creates the missing parent directories of path
/// (results ignored: the open reports the problem). Other handles and processes may read,
/// write, rename and delete the file while it is open.
XErr xfileOpen(XfileHandle& handle, const std::string& path, XfileOpenMode mode);
XErr xfileClose(XfileHandle& handle);
/// One platform read at the file pointer; at end of file it succeeds with 0 bytes. One call
/// moves at most 4294967295 bytes: a longer length is clamped to that, never wrapped.
XErr xfileRead(XfileHandle& handle, void* buffer, std::uint64_t length, std::uint64_t& bytesRead);
/// One platform write, with the same clamping as xfileRead.
XErr xfileWrite(XfileHandle& handle, const void* buffer, std::uint64_t length,
                std::uint64_t& bytesWritten);
/// Reads until length bytes are in. A read that gives 0 bytes before that (end of file)
/// ends the loop with XERR_NODATA instead of asking again and again. On any failure the
/// bytes already read stay in the buffer and the file pointer stays after them.
XErr xfileReadAll(XfileHandle& handle, void* buffer, std::uint64_t length);
/// Writes until length bytes are out. A write that takes 0 bytes of a nonzero length gives
/// XERR_IO, since asking again would not make it take more.
XErr xfileWriteAll(XfileHandle& handle, const void* buffer, std::uint64_t length);
/// Moves the file pointer from origin (XFILE_SEEK_*) and gives the new position.
XErr xfileSeek(XfileHandle& handle, std::int64_t offset, std::uint32_t origin,
               std::uint64_t& newPosition);
XErr xfileGetSize(XfileHandle& handle, std::uint64_t& size);
/// The size from the directory entry, without opening the file (works on an open log file).
XErr xfileGetSizeByPath(const std::string& path, std::uint64_t& size);
/// Writes the file's buffered data, whoever wrote it, through to the disk. The file is
/// opened in XFILE_MODE_READWRITE_EXISTING for it, so a missing parent directory is created
/// before the open fails.
XErr xfileFlush(const std::string& path);
/// Flushes source (a failure is logged as a warning and does not stop the move), then
/// renames it to target, replacing an existing target. Returns the rename's result only.
XErr xfileMove(const std::string& source, const std::string& target);
/// Copies a file; an existing target is refused with XERR_EXIST and left as it was.
XErr xfileCopy(const std::string& source, const std::string& target);
/// Makes newPath a second name of the existing file.
XErr xfileHardLink(const std::string& existingPath, const std::string& newPath);
/// Deletes a file. A missing file in an existing directory counts as success; a file whose
/// directory is missing gives XERR_NOENT.
XErr xfileDelete(const std::string& path);
