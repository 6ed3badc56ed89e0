// Processes and environment: start a program from an argument vector (plainly, or elevated
// when the system demands it), wait for it and read its exit code, terminate it, change the
// process's environment for the programs started afterwards, and the current process id.
//
// Every operation that can fail returns an XErr and logs its failure at XLOG_ERROR under
// module XSTR. Out parameters (the handle object, the exit code) are written only on success.
#pragma once

#include "xpl/Xerr.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

/// A started process, owned by the caller. A zero-initialised object names no process.
/// Filled by a successful start; closed (not cleared) by the first successful xprocWait,
/// after which it must not be used again.
struct XprocHandle {
#if defined(_WIN32)
  void* handle; ///< the process HANDLE
#else
  // A process id is not a handle that can be closed: the child is reaped by xprocWait. A
  // signal cannot carry an exit code, so xprocKill keeps the requested one here for the wait.
  int pid;                    ///< the child's process id; 0 names no process
  int killed;                 ///< nonzero once xprocKill has sent SIGKILL
  std::uint32_t killExitCode; ///< what xprocWait reports for a child that SIGKILL ended
#endif
};

/// The tokens of args[first] onward, joined by single spaces; empty when there are none. A
/// token is a double quote, the element with a backslash written before every double quote
/// and every backslash, a double quote. Backslashes are doubled wherever they stand, so a
/// Windows child that parses its command line by the C runtime's rules sees doubled
/// backslashes inside an element, and a single one only where the element ends in a
/// backslash or has one before a double quote.
std::string xprocCommandLine(const std::vector<std::string>& args, std::size_t first = 0);

/// Starts args[0] with args[1..] as its arguments; falls back to the elevated start when the
/// plain one fails because the program requires elevation. An empty vector gives XERR_INVAL
/// and starts nothing. With a null handle address the process runs on unattended.
XErr xprocCreate(XprocHandle* handle, const std::vector<std::string>& args);

/// The plain start; the child inherits this process's inheritable handles (descriptors),
/// environment and current directory. args must not be empty.
XErr xprocCreate_basic(XprocHandle* handle, const std::vector<std::string>& args);

/// The elevated start ("runas" through the shell on Windows). args must not be empty.
XErr xprocCreate_elevated_basic(XprocHandle* handle, const std::vector<std::string>& args);

/// Waits without a time limit for the process to end, stores its exit code when exitCode is
/// given, and closes the handle. A failed wait leaves the handle open.
XErr xprocWait(XprocHandle* handle, std::uint32_t* exitCode);

/// Terminates the process with exitCode without waiting for it; the handle stays open.
XErr xprocKill(XprocHandle* handle, std::uint32_t exitCode);

/// Sets name to value in this process's environment, which programs started later inherit;
/// an empty value removes the variable. Never logs.
XErr xprocSetEnv(const std::string& name, const std::string& value);

/// The current process's id, the one the log lines print.
int xprocGetPid();

namespace xprocdetail {
using StartFn = XErr (*)(XprocHandle*, const std::vector<std::string>&);
/// xprocCreate's choice between its two starts, with the starts passed in.
XErr create(XprocHandle* handle, const std::vector<std::string>& args, StartFn basic,
            StartFn elevated);
} // namespace xprocdetail
