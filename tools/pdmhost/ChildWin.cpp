// The child process on Windows: CreateProcessW of this program, a wait with a deadline.
#include "tools/pdmhost/Child.h"
#include "tools/pdmhost/WideWin.h"

#include <windows.h>

#include <cstdio>

namespace pdmhost {

ChildOutcome runSelf(const std::vector<std::string>& args, const std::string& outputPath,
                     int timeoutMs) {
  ChildOutcome outcome;
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  // The fuzzer's arguments are paths and options without quotes of their own.
  std::wstring line = L"\"" + std::wstring(self, n) + L"\"";
  for (const std::string& a : args)
    line += L" \"" + widen(a) + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // Shared in every way: a crashed child's debugger may hold it a while longer.
  HANDLE out = CreateFileW(widen(outputPath).c_str(), GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    outcome.what = outputPath + ": cannot create (" + std::to_string(GetLastError()) + ")";
    return outcome;
  }
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = start.hStdError = out;
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION child{};
  // No error dialog for a crash: the fuzzer reports it.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      nullptr, &start, &child);
  CloseHandle(out);
  if (!started) {
    outcome.what = "CreateProcessW failed (" + std::to_string(GetLastError()) + ")";
    return outcome;
  }
  CloseHandle(child.hThread);
  if (WaitForSingleObject(child.hProcess, static_cast<DWORD>(timeoutMs)) == WAIT_TIMEOUT) {
    TerminateProcess(child.hProcess, 3);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    outcome.kind = ChildOutcome::TimedOut;
    return outcome;
  }
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  // pdmhost exits 0, 1 or 2; a crash ends the process with its exception code.
  if (code <= 2) {
    outcome.kind = ChildOutcome::Exited;
    outcome.code = static_cast<int>(code);
  } else {
    char text[32];
    std::snprintf(text, sizeof text, "exception 0x%08lx", static_cast<unsigned long>(code));
    outcome.kind = ChildOutcome::Crashed;
    outcome.what = text;
  }
  return outcome;
}

} // namespace pdmhost
