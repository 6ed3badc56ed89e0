#include "xpl/XplOs.h"

#include <windows.h>

#include <clocale>
#include <cstdlib>
#include <mbctype.h>
#include <process.h>

void xplDebugBreak() {
  DebugBreak();
  // Execution must not go on past the break, even when a debugger resumes it.
  std::abort();
}

void xplSetUtf8Locale() {
  std::setlocale(LC_ALL, ".UTF8");
  _setmbcp(65001);
}

uint64_t xplThreadId() { return GetCurrentThreadId(); }

int xplProcessId() { return _getpid(); }
