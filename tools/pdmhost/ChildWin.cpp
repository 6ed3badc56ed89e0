// The child process on Windows: CreateProcessW of this program in a job object (so a hang
// ends with whatever the device code started), waits with polling.
#include "tools/pdmhost/Child.h"
#include "tools/pdmhost/WideWin.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace pdmhost {

ChildOutcome runSelf(const std::vector<std::string>& args, const std::string& outputPath,
                     const std::function<bool()>& goOn) {
  ChildOutcome outcome;
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  // The fuzzer's arguments are paths and options without quotes of their own.
  std::wstring line = L"\"" + std::wstring(self, n) + L"\"";
  for (const std::string& a : args)
    line += L" \"" + widen(a) + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  // Shared in every way: a crashed child's debugger may hold it a while longer.
  HANDLE out = outputPath.empty()
                   ? nullptr
                   : CreateFileW(widen(outputPath).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    outcome.what = outputPath + ": cannot create (" + std::to_string(GetLastError()) + ")";
    return outcome;
  }
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = out ? out : GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = out ? out : GetStdHandle(STD_ERROR_HANDLE);
  start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION child{};
  // No error dialog for a crash: the fuzzer reports it.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  std::fflush(nullptr);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                      CREATE_SUSPENDED, nullptr, nullptr, &start, &child);
  if (out)
    CloseHandle(out);
  if (!started) {
    outcome.what = "CreateProcessW failed (" + std::to_string(GetLastError()) + ")";
    if (job)
      CloseHandle(job);
    return outcome;
  }
  if (job)
    AssignProcessToJobObject(job, child.hProcess);
  ResumeThread(child.hThread);
  CloseHandle(child.hThread);
  while (WaitForSingleObject(child.hProcess, 2) == WAIT_TIMEOUT) {
    if (!goOn()) {
      if (!job || !TerminateJobObject(job, 3))
        TerminateProcess(child.hProcess, 3);
      WaitForSingleObject(child.hProcess, INFINITE);
      CloseHandle(child.hProcess);
      if (job)
        CloseHandle(job);
      outcome.kind = ChildOutcome::TimedOut;
      return outcome;
    }
  }
  if (job)
    CloseHandle(job);
  DWORD code = 0;
  GetExitCodeProcess(child.hProcess, &code);
  CloseHandle(child.hProcess);
  // pdmhost exits 0, 1, 2 (or 86, a sanitizer's report); a crash ends the process with
  // its exception code.
  if (code <= 2 || code == 86) {
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

std::string childFilesBase() {
  const char* dir = std::getenv("TEMP");
  return std::string(dir && *dir ? dir : ".") + "/pdmhost-" +
         std::to_string(std::random_device()());
}

} // namespace pdmhost
