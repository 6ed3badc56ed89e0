// The child process on POSIX systems: fork, exec of /proc/self/exe, waitpid with a deadline.
#include "tools/pdmhost/Child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

namespace pdmhost {

ChildOutcome runSelf(const std::vector<std::string>& args, const std::string& outputPath,
                     int timeoutMs) {
  ChildOutcome outcome;
  std::vector<char*> argv{const_cast<char*>("pdmhost")};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    outcome.what = outputPath + ": " + std::strerror(errno);
    return outcome;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out, 1);
    dup2(out, 2);
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  close(out);
  if (pid < 0) {
    outcome.what = std::string("fork: ") + std::strerror(errno);
    return outcome;
  }
  int status = 0;
  for (int waited = 0;; waited += 2) {
    if (waitpid(pid, &status, WNOHANG) == pid)
      break;
    if (waited >= timeoutMs) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      outcome.kind = ChildOutcome::TimedOut;
      return outcome;
    }
    const timespec pause{0, 2000000};
    nanosleep(&pause, nullptr);
  }
  if (WIFSIGNALED(status)) {
    outcome.kind = ChildOutcome::Crashed;
    outcome.what =
        "signal " + std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")";
  } else {
    outcome.kind = ChildOutcome::Exited;
    outcome.code = WEXITSTATUS(status);
  }
  return outcome;
}

} // namespace pdmhost
