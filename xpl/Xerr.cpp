#include "xpl/Xerr.h"

#include <cstdint>

namespace {
constexpr int XERR_NAME_TABLE_SIZE = 1002;   // codes 0 to 1001
constexpr int XERR_WIN32_TABLE_SIZE = 16001; // Windows errors 0 to 16000

// Both tables live in zero-initialised static storage: no constructor runs at load, and until
// xerrLibInit fills them every lookup falls through to the untranslated path.
const char* xerrNameTable[XERR_NAME_TABLE_SIZE];
std::uint32_t xerrWin32Table[XERR_WIN32_TABLE_SIZE];

// Windows error number (ERROR_* name in the comment) to its code.
constexpr struct {
  int win32Error;
  XErr code;
} XERR_WIN32_MAPPINGS[] = {
    {2, XERR_NOENT},         // ERROR_FILE_NOT_FOUND
    {3, XERR_NOENT},         // ERROR_PATH_NOT_FOUND
    {4, XERR_NFILE},         // ERROR_TOO_MANY_OPEN_FILES
    {5, XERR_ACCES},         // ERROR_ACCESS_DENIED
    {6, XERR_BADF},          // ERROR_INVALID_HANDLE
    {8, XERR_NOMEM},         // ERROR_NOT_ENOUGH_MEMORY
    {14, XERR_NOMEM},        // ERROR_OUTOFMEMORY
    {18, XERR_NOENT},        // ERROR_NO_MORE_FILES
    {19, XERR_ACCES},        // ERROR_WRITE_PROTECT
    {21, XERR_IO},           // ERROR_NOT_READY
    {38, XERR_NODATA},       // ERROR_HANDLE_EOF
    {39, XERR_NOSPC},        // ERROR_HANDLE_DISK_FULL
    {50, XERR_NOSYS},        // ERROR_NOT_SUPPORTED
    {80, XERR_EXIST},        // ERROR_FILE_EXISTS
    {87, XERR_INVAL},        // ERROR_INVALID_PARAMETER
    {109, XERR_PIPE},        // ERROR_BROKEN_PIPE
    {112, XERR_NOSPC},       // ERROR_DISK_FULL
    {120, XERR_NOSYS},       // ERROR_CALL_NOT_IMPLEMENTED
    {123, XERR_INVAL},       // ERROR_INVALID_NAME
    {145, XERR_NOTEMPTY},    // ERROR_DIR_NOT_EMPTY
    {161, XERR_NOENT},       // ERROR_BAD_PATHNAME
    {170, XERR_BUSY},        // ERROR_BUSY
    {183, XERR_ADDRINUSE},   // ERROR_ALREADY_EXISTS: callers tell it apart from a file that exists
    {206, XERR_NAMETOOLONG}, // ERROR_FILENAME_EXCED_RANGE
    {234, XERR_MSGSIZE},     // ERROR_MORE_DATA
    {267, XERR_NOTDIR},      // ERROR_DIRECTORY
    {288, XERR_PERM},        // ERROR_NOT_OWNER
    {487, XERR_FAULT},       // ERROR_INVALID_ADDRESS
    {997, XERR_ALREADY},     // ERROR_IO_PENDING
    {998, XERR_FAULT},       // ERROR_NOACCESS
    {1006, XERR_INVAL},      // ERROR_FILE_INVALID
    {1117, XERR_IO},         // ERROR_IO_DEVICE
    {1142, XERR_MLINK},      // ERROR_TOO_MANY_LINKS
    {1392, XERR_IO},         // ERROR_FILE_CORRUPT
    {1393, XERR_IO},         // ERROR_DISK_CORRUPT
    {1460, XERR_TIMEDOUT},   // ERROR_TIMEOUT
};
} // namespace

XErr xerrLibInit() {
  xerrNameTable[XERR_SUCCESS] = "XERR_SUCCESS";
#define XERR_NAME_ENTRY(suffix, value) xerrNameTable[value] = "XERR_" #suffix;
  XERR_NAMED_CODES(XERR_NAME_ENTRY)
#undef XERR_NAME_ENTRY
  for (const auto& entry : XERR_WIN32_MAPPINGS)
    xerrWin32Table[entry.win32Error] = static_cast<std::uint32_t>(entry.code);
  return XERR_SUCCESS;
}

XErr xerrFromWin32(int win32Error) {
  if (win32Error >= 0 && win32Error < XERR_WIN32_TABLE_SIZE && xerrWin32Table[win32Error] != 0)
    return static_cast<XErr>(xerrWin32Table[win32Error]);
  // A last-error value at or above 2^31 arrives negative; the sum wraps as 32-bit unsigned
  // arithmetic does, which signed addition may not be relied on to do.
  return static_cast<XErr>(static_cast<std::uint32_t>(win32Error) +
                           static_cast<std::uint32_t>(XERR_WIN32_BASE));
}

std::string xerrToString(XErr code) {
  if (code == XERR_FAILURE)
    return "XERR_FAILURE";
  if (code >= 0 && code < XERR_NAME_TABLE_SIZE && xerrNameTable[code] != nullptr)
    return xerrNameTable[code];
  return "NOTDEFINED: " + std::to_string(code);
}
