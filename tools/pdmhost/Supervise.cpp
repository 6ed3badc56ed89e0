#include "tools/pdmhost/Supervise.h"

#include "tools/pdmhost/Child.h"

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace pdmhost {

namespace {

// Opened anew each time: a stream that once met the end may not see what follows (the
// Windows runtime's does not).
long fileSize(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  const long size = file && std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
  if (file)
    std::fclose(file);
  return size;
}

} // namespace

Supervised superviseRun(std::vector<std::string> args, bool discardOutput, uint32_t stepMs) {
  using Clock = std::chrono::steady_clock;
  const std::string base = childFilesBase(), events = base + ".events";
  const std::string output = discardOutput ? base + ".out" : "";
  args.insert(args.end(), {"--events", events});
  // The child tells each step's start, calls and end as they happen: one that has told
  // nothing for longer than stepMs (in a step, in the set-up) hangs.
  long told = -1;
  Clock::time_point since = Clock::now();
  const ChildOutcome o = runSelf(args, output, [&] {
    if (const long size = fileSize(events); size != told) {
      told = size;
      since = Clock::now();
    }
    return Clock::now() - since < std::chrono::milliseconds(stepMs);
  });
  Supervised s;
  static_cast<Events&>(s) = readEvents(readOutput(events, SIZE_MAX));
  const std::string printed = discardOutput ? readOutput(output, SIZE_MAX) : "";
  std::remove(events.c_str());
  std::remove(output.c_str());
  if (o.kind == ChildOutcome::NotStarted) {
    std::fprintf(stderr, "pdmhost: cannot start the run: %s\n", o.what.c_str());
    s.exitStatus = 2;
    return s;
  }
  if (o.kind == ChildOutcome::Exited && !s.inStep) {
    // A run that could not start says why on its output, which the caller may not see.
    if (o.code == 2)
      std::fwrite(printed.data(), 1, printed.size(), stderr);
    s.exitStatus = o.code;
    return s;
  }
  // The child crashed, hung, or exited in the middle of a step (exit() in the code under
  // test, a sanitizer's report): the step it was in fails (or the set-up, before any).
  const std::string why =
      o.kind == ChildOutcome::Crashed ? "crash of the VM manager's code: " + o.what
      : o.kind == ChildOutcome::Exited
          ? "crash of the VM manager's code: the process ended in this step, exit status " +
                std::to_string(o.code)
          : "took longer than " + std::to_string(stepMs) + " ms (--step-ms); the run was ended";
  s.exitStatus = 1;
  RunState printing; // prints what the child would have
  printing.out = discardOutput ? nullptr : stdout;
  if (s.inStep) {
    StepRecord& r = s.result.records.back();
    r.ok = false;
    r.mismatch = why;
    ++s.result.steps;
    ++s.result.mismatches;
    if (printing.out) // its access is the op, as at its start
      printRecord(printing, r);
  } else {
    s.result.setupFailed = true;
    s.result.setupError = "the set-up: " + why;
    if (printing.out)
      std::fprintf(printing.out, "setup failed: %s\n", s.result.setupError.c_str());
  }
  if (printing.out)
    printSummary(printing.out, s.devices, s.result);
  return s;
}

} // namespace pdmhost
