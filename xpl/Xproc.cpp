// The portable part of the process layer: the command-line quoting and the choice between
// the plain and the elevated start. The operating-system calls are in win/XprocWinnt.cpp and
// posix/XprocPosix.cpp.
#include "xpl/Xproc.h"

// ERROR_ELEVATION_REQUIRED: the program's manifest asks for an elevated token.
static constexpr int XPROC_WIN32_ELEVATION_REQUIRED = 740;

std::string xprocCommandLine(const std::vector<std::string>& args, std::size_t first) {
  std::string line;
  for (std::size_t i = first; i < args.size(); ++i) {
    line += i > first ? " \"" : "\"";
    for (char c : args[i]) {
      if (c == '"' || c == '\\')
        line += '\\';
      line += c;
    }
    line += '"';
  }
  return line;
}

XErr xprocdetail::create(XprocHandle* handle, const std::vector<std::string>& args, StartFn basic,
                         StartFn elevated) {
  if (args.empty())
    return XERR_INVAL;
  const XErr result = basic(handle, args);
  // The failed plain start has logged already; the elevated one reports for itself.
  if (result == xerrFromWin32(XPROC_WIN32_ELEVATION_REQUIRED))
    return elevated(handle, args);
  return result;
}

XErr xprocCreate(XprocHandle* handle, const std::vector<std::string>& args) {
  return xprocdetail::create(handle, args, xprocCreate_basic, xprocCreate_elevated_basic);
}
