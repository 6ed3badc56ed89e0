// The child process on POSIX systems: fork, exec of /proc/self/exe in a process group of
// its own (so a hang ends with whatever the device code started), waitpid with polling.
#include "tools/pdmhost/Child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>

namespace pdmhost {

ChildOutcome runSelf(const std::vector<std::string>& args, const std::string& outputPath,
                     const std::function<bool()>& goOn) {
  ChildOutcome outcome;
  std::vector<char*> argv{const_cast<char*>("pdmhost")};
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int out = outputPath.empty()
                      ? -1
                      : open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (!outputPath.empty() && out < 0) {
    outcome.what = outputPath + ": " + std::strerror(errno);
    return outcome;
  }
  std::fflush(nullptr); // nothing buffered twice
  const pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    execv("/proc/self/exe", argv.data());
    _exit(127);
  }
  if (out >= 0)
    close(out);
  if (pid < 0) {
    outcome.what = std::string("fork: ") + std::strerror(errno);
    return outcome;
  }
  setpgid(pid, pid); // also here: the group exists before any kill
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) != pid) {
    if (!goOn()) {
      kill(-pid, SIGKILL);
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

std::string childFilesBase() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir && *dir ? dir : "/tmp") + "/pdmhost-" +
         std::to_string(std::random_device()());
}

} // namespace pdmhost
