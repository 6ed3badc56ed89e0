// The few operating-system primitives the portable code of the layer needs.
#pragma once

#include <cstdint>

/// A debugger break that does not return: DebugBreak() on Windows, a trap on POSIX.
[[noreturn]] void xplDebugBreak();

/// Sets the C runtime to UTF-8 for every category: the ".UTF8" locale and multibyte code
/// page 65001 on Windows, a UTF-8 locale on POSIX.
void xplSetUtf8Locale();

/// The calling thread's operating-system id (GetCurrentThreadId, gettid).
uint64_t xplThreadId();

/// This process's id (_getpid, getpid), cached; a forked child reads its own.
int xplProcessId();
