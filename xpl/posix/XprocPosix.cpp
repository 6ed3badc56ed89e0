// Processes and environment on POSIX: the same operations, results and messages as on
// Windows, from posix_spawnp, waitpid, kill and setenv.
//
// The messages keep their Windows texts (log filters and readers look for the same words on
// both targets); the command line, file and parameters are printed as UTF-8 with %s, since
// %ls would need wchar_t text and a UTF-8 locale to come out the same, and the number after
// "GetLastError()" is the errno value, which is also the XErr code.
#include "xpl/Xlog.h"
#include "xpl/Xproc.h"
#include "xpl/Xstr.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

// Under XSTR (39), not XPROC (37), as on Windows: level specifications filter on the number.
static constexpr XlogModuleId xlogModuleId = XLOG_MODULE_XSTR;

namespace {
// The argv array posix_spawnp takes, pointing into the caller's strings (which it does not
// modify, whatever its prototype says).
std::vector<char*> argvOf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.reserve(args.size() + 1);
  for (const std::string& arg : args)
    argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Waits for the child pid to end, through any signals that interrupt the wait.
XErr reap(pid_t pid, int& status) {
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return errno;
  }
  return XERR_SUCCESS;
}

// A child nobody will wait for must not stay a zombie of this process: an intermediate
// child starts it and ends at once, so the program is adopted by init (or the nearest
// subreaper), which reaps it. This is what closing the process handle at once means here.
XErr spawnDetached(const std::vector<std::string>& args) {
  // Built before fork: the child of a multithreaded process must not allocate.
  std::vector<char*> argv = argvOf(args);
  const pid_t intermediate = fork();
  if (intermediate < 0)
    return errno;
  if (intermediate == 0) {
    pid_t pid;
    // errno values fit an exit status.
    _exit(posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ));
  }
  int status = 0;
  const XErr e = reap(intermediate, status);
  return e != XERR_SUCCESS ? e : WIFEXITED(status) ? WEXITSTATUS(status) : XERR_FAILURE;
}

// posix_spawnp reports a failed exec (a missing program, no execute permission) as its own
// result, so the caller learns it just as CreateProcessW would tell it.
XErr start(XprocHandle* handle, const std::vector<std::string>& args) {
  if (!handle)
    return spawnDetached(args);
  std::vector<char*> argv = argvOf(args);
  pid_t pid = 0;
  const XErr error = posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
  if (error == XERR_SUCCESS)
    *handle = XprocHandle{static_cast<int>(pid), 0, 0};
  return error;
}

// waitpid and kill give 0 and negative ids a meaning of their own (the process group, every
// child, every process): such a handle names no process of ours and is refused as a bad one,
// as Windows refuses a null handle.
bool namesProcess(const XprocHandle* handle) { return handle->pid > 0; }

std::uint32_t exitCodeOf(const XprocHandle* handle, int status) {
  if (WIFEXITED(status))
    return static_cast<std::uint32_t>(WEXITSTATUS(status));
  if (handle->killed && WTERMSIG(status) == SIGKILL)
    return handle->killExitCode;
  // Ended by a signal nobody here sent: the shells' convention.
  return 128u + static_cast<std::uint32_t>(WTERMSIG(status));
}
} // namespace

XErr xprocCreate_basic(XprocHandle* handle, const std::vector<std::string>& args) {
  const XErr error = start(handle, args);
  if (error != XERR_SUCCESS) {
    XLOG_E("%s: CreateProcessW failed: cmdline %s GetLastError() %d", "xprocCreate_basic",
           xprocCommandLine(args).c_str(), error);
  }
  return error;
}

XErr xprocCreate_elevated_basic(XprocHandle* handle, const std::vector<std::string>& args) {
  // Root has nothing to be elevated to, so the program simply starts. Anyone else would need
  // an interactive consent (a polkit agent, a sudo password) that a VM manager cannot give
  // and that may wait forever, so the start is refused without running anything.
  const XErr error = geteuid() == 0 ? start(handle, args) : XERR_PERM;
  if (error != XERR_SUCCESS) {
    XLOG_E("%s: ShellExecuteEx failed: filename %s parameters %s GetLastError() %d",
           "xprocCreate_elevated_basic", args[0].c_str(), xprocCommandLine(args, 1).c_str(), error);
  }
  return error;
}

XErr xprocWait(XprocHandle* handle, std::uint32_t* exitCode) {
  int status = 0;
  const XErr e = namesProcess(handle) ? reap(handle->pid, status) : XERR_BADF;
  if (e != XERR_SUCCESS) {
    XLOG_E("xprocWait failed with %d %s", e, xerrToString(e).c_str());
    return e;
  }
  // Reading the status cannot fail once the child is reaped, so the GetExitCodeProcess
  // failure has no counterpart here.
  if (exitCode)
    *exitCode = exitCodeOf(handle, status);
  return XERR_SUCCESS;
}

XErr xprocKill(XprocHandle* handle, std::uint32_t exitCode) {
  const XErr e = !namesProcess(handle)             ? XERR_BADF
                 : kill(handle->pid, SIGKILL) == 0 ? XERR_SUCCESS
                                                   : errno;
  if (e != XERR_SUCCESS) {
    XLOG_E("%s: TerminateProcess failed err=%d [%s]", "xprocKill", e, xerrToString(e).c_str());
    return e;
  }
  handle->killed = 1;
  handle->killExitCode = exitCode;
  return XERR_SUCCESS;
}

XErr xprocSetEnv(const std::string& name, const std::string& value) {
  // One assignment text split at its first equals sign, as _putenv reads it: a name holding
  // "=" moves the rest into the value, and an empty name is refused.
  const std::string assignment = xstrFormat("%s=%s", name.c_str(), value.c_str());
  const std::size_t equals = assignment.find('=');
  const std::string variable = assignment.substr(0, equals);
  const std::string content = assignment.substr(equals + 1);
  const int result =
      content.empty() ? unsetenv(variable.c_str()) : setenv(variable.c_str(), content.c_str(), 1);
  return result == 0 ? XERR_SUCCESS : static_cast<XErr>(errno);
}

int xprocGetPid() { return static_cast<int>(getpid()); }
