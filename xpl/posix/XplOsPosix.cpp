#include "xpl/XplOs.h"

#include <clocale>
#include <csignal>
#include <cstdlib>

#include <atomic>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

void xplDebugBreak() {
  // SIGTRAP stops under a debugger and ends the process without one.
  std::raise(SIGTRAP);
  std::abort();
}

void xplSetUtf8Locale() {
  // C.UTF-8 exists on every glibc system; keep the user's locale when it is UTF-8 already
  // would make the module's byte classification depend on the host, so it is set outright.
  if (!std::setlocale(LC_ALL, "C.UTF-8"))
    std::setlocale(LC_ALL, "C.utf8");
}

uint64_t xplThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

namespace {
// getpid is a system call; the id changes only across fork, which clears the cache.
std::atomic<int> cachedPid{0};
const int forkHandlerRegistered =
    pthread_atfork(nullptr, nullptr, [] { cachedPid.store(0, std::memory_order_relaxed); });
} // namespace

int xplProcessId() {
  (void)forkHandlerRegistered;
  int pid = cachedPid.load(std::memory_order_relaxed);
  if (pid == 0) {
    pid = static_cast<int>(getpid());
    cachedPid.store(pid, std::memory_order_relaxed);
  }
  return pid;
}
