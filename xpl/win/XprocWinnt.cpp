// Processes and environment on Windows: CreateProcessW, the shell's "runas" verb for
// programs that demand elevation, and the C runtime's environment.
#include "xpl/Xlog.h"
#include "xpl/Xproc.h"
#include "xpl/Xstr.h"

#include <windows.h>

#include <process.h>
#include <shellapi.h>
#include <stdlib.h>

// Its messages go under XSTR (39), not XPROC (37): a level specification selects them by
// that module, together with the string layer's.
static constexpr XlogModuleId xlogModuleId = XLOG_MODULE_XSTR;

namespace {
// Hands a new process's handle to the caller, or lets it go when nobody asked for it.
void keepOrClose(XprocHandle* handle, HANDLE process) {
  if (handle)
    handle->handle = process;
  else
    CloseHandle(process);
}
} // namespace

XErr xprocCreate_basic(XprocHandle* handle, const std::vector<std::string>& args) {
  // CreateProcessW may write into the command line, so it gets a buffer of its own.
  XstrWide commandLine = xstrUtf8ToWide(xprocCommandLine(args));

  // The standard handles are recorded without STARTF_USESTDHANDLES: Windows gives a console
  // child started with CREATE_NO_WINDOW a console of its own, so nothing the child prints
  // reaches this process's output or a VM manager's window.
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};

  // Inheritance on: files the layer opened for the child (log files, pipes) stay usable.
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &info)) {
    const int error = static_cast<int>(GetLastError());
    XLOG_E("%s: CreateProcessW failed: cmdline %ls GetLastError() %d", "xprocCreate_basic",
           commandLine.c_str(), error);
    return xerrFromWin32(error);
  }
  keepOrClose(handle, info.hProcess);
  CloseHandle(info.hThread);
  return XERR_SUCCESS;
}

XErr xprocCreate_elevated_basic(XprocHandle* handle, const std::vector<std::string>& args) {
  // The shell looks the file up itself, so it goes unquoted; only the parameters are quoted.
  const XstrWide file = xstrUtf8ToWide(args[0]);
  const XstrWide parameters = xstrUtf8ToWide(xprocCommandLine(args, 1));

  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.lpVerb = L"runas";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!ShellExecuteExW(&info)) {
    const int error = static_cast<int>(GetLastError());
    XLOG_E("%s: ShellExecuteEx failed: filename %ls parameters %ls GetLastError() %d",
           "xprocCreate_elevated_basic", file.c_str(), parameters.c_str(), error);
    return xerrFromWin32(error);
  }
  // The shell may hand the file to a running program instead of starting a new process;
  // then there is no handle, and the caller's object keeps what it held.
  if (info.hProcess)
    keepOrClose(handle, info.hProcess);
  return XERR_SUCCESS;
}

XErr xprocWait(XprocHandle* handle, std::uint32_t* exitCode) {
  const HANDLE process = static_cast<HANDLE>(handle->handle);
  if (WaitForSingleObject(process, INFINITE) == WAIT_FAILED) {
    const XErr e = xerrFromWin32(static_cast<int>(GetLastError()));
    XLOG_E("xprocWait failed with %d %s", e, xerrToString(e).c_str());
    return e;
  }
  if (!exitCode) {
    CloseHandle(process);
    return XERR_SUCCESS;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) {
    const XErr e = xerrFromWin32(static_cast<int>(GetLastError()));
    XLOG_E("xprocWait  GetExitCodeProcess failed with %d %s", e, xerrToString(e).c_str());
    return e;
  }
  *exitCode = static_cast<std::uint32_t>(code);
  CloseHandle(process);
  return XERR_SUCCESS;
}

XErr xprocKill(XprocHandle* handle, std::uint32_t exitCode) {
  if (!TerminateProcess(static_cast<HANDLE>(handle->handle), static_cast<UINT>(exitCode))) {
    const XErr e = xerrFromWin32(static_cast<int>(GetLastError()));
    XLOG_E("%s: TerminateProcess failed err=%d [%s]", "xprocKill", e, xerrToString(e).c_str());
    return e;
  }
  return XERR_SUCCESS;
}

XErr xprocSetEnv(const std::string& name, const std::string& value) {
  // ucrt's _putenv updates the process environment block too, which CreateProcessW hands to
  // the children; "A=" removes A.
  const std::string assignment = xstrFormat("%s=%s", name.c_str(), value.c_str());
  if (_putenv(assignment.c_str()) == 0)
    return XERR_SUCCESS;
  return xerrFromWin32(static_cast<int>(GetLastError()));
}

int xprocGetPid() { return _getpid(); }
