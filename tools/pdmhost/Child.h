// pdmhost run again as a child process, so that a crash or a hang of the VM manager's code
// under test ends the child, not the fuzzer.
#pragma once

#include <string>
#include <vector>

namespace pdmhost {

struct ChildOutcome {
  enum Kind { Exited, Crashed, TimedOut, NotStarted } kind = NotStarted;
  int code = 0;     ///< the exit status, when it exited
  std::string what; ///< "signal 11 (Segmentation fault)", "exception 0xc0000005", ...
};

/// Runs this program with args, its standard output and error going to outputPath, and
/// waits at most timeoutMs; a child still running then is killed.
ChildOutcome runSelf(const std::vector<std::string>& args, const std::string& outputPath,
                     int timeoutMs);

} // namespace pdmhost
