// The primitives under the portable file logic of xpl/Xfile.cpp, one set per operating
// system (xpl/win/XfileWin.cpp, xpl/posix/XfilePosix.cpp). Internal to the layer.
#pragma once

#include "xpl/Xfile.h"

#include <cstdint>
#include <string>

/// The longest count handed to one platform read or write: Windows takes a 32-bit count.
constexpr std::uint64_t XFILE_MAX_TRANSFER = 0xFFFFFFFFu;

/// What the recursive creation puts before the first piece of a full path: the long-path
/// form's "\\?\" on Windows; nothing elsewhere, where the first piece of an absolute path is
/// empty and the walk starts at the root.
extern const char* const XFILE_OS_WALK_PREFIX;

/// The platform open with the access and disposition of mode; no directory is prepared.
XErr xfileOsOpen(XfileHandle& handle, const std::string& path, XfileOpenMode mode);
/// Writes the file of an open handle through to the disk.
XErr xfileOsFlushHandle(XfileHandle& handle);
/// Renames source to target, replacing an existing target.
XErr xfileOsReplace(const std::string& source, const std::string& target);
