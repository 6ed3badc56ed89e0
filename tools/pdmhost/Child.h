// pdmhost run again as a child process, so that a crash or a hang of the VM manager's code
// under test ends the child, not the pdmhost that reports it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pdmhost {

struct ChildOutcome {
  enum Kind { Exited, Crashed, TimedOut, NotStarted } kind = NotStarted;
  int code = 0;     ///< the exit status, when it exited
  std::string what; ///< "signal 11 (Segmentation fault)", "exception 0xc0000005", ...
};

/// Runs this program with args, its standard output and error going to outputPath (""
/// keeps this process's own). While it runs, `goOn` is asked every few milliseconds; when
/// it says no, the child's whole process group (job object on Windows) is ended and the
/// outcome is TimedOut.
ChildOutcome runSelf(const std::vector<std::string>& args, const std::string& outputPath,
                     const std::function<bool()>& goOn);

/// A path for a child run's files that no other run uses (a random name in the temporary
/// directory), to which the caller adds its suffixes.
std::string childFilesBase();
/// A goOn for runSelf: yes until `ms` milliseconds have passed since this call.
std::function<bool()> within(uint64_t ms);
/// What a child wrote to a file, its first `most` bytes (a MiB unless said).
std::string readOutput(const std::string& path, size_t most = size_t(1) << 20);
/// Adds an option to the children's environment variable `name` ("ASAN_OPTIONS": a:b:c).
void addChildOption(const char* name, const std::string& option);

} // namespace pdmhost
