#include "tools/pdmhost/Supervise.h"

#include "tools/pdmhost/Child.h"
#include "tools/pdmhost/Run.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace pdmhost {

namespace {

using Clock = std::chrono::steady_clock;

// The child's events as they arrive: one JSON object a line.
class Events {
public:
  explicit Events(const std::string& path) : path_(path) {}

  // Reads what arrived; false when the step (or set-up) running has taken over stepMs.
  bool poll(uint32_t stepMs) {
    // Opened anew each time: a stream that once met the end may not see what follows
    // (the Windows runtime's does not).
    if (std::FILE* file = std::fopen(path_.c_str(), "rb")) {
      std::fseek(file, static_cast<long>(offset_), SEEK_SET);
      char chunk[4096];
      for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0; offset_ += n)
        pending_.append(chunk, n);
      std::fclose(file);
    }
    for (size_t end; (end = pending_.find('\n')) != std::string::npos;) {
      take(pending_.substr(0, end));
      pending_.erase(0, end + 1);
    }
    return !busy_ || Clock::now() - since_ < std::chrono::milliseconds(stepMs);
  }

  Supervised out;
  bool inStep_ = false;
  bool busy_ = true; ///< in a step or in the set-up (which the start of the child is part of)

private:
  void take(const std::string& line) {
    const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
    if (!e.is_object())
      return;
    RunResult& r = out.result;
    since_ = Clock::now();
    if (e.contains("devices")) {
      out.devices = std::stoul(e["devices"].get<std::string>());
    } else if (e.contains("start")) {
      busy_ = inStep_ = true;
      r.records.push_back(StepRecord{e["start"].get<size_t>(), e["line"].get<uint32_t>(),
                                     e["op"].get<std::string>(), e["op"].get<std::string>(), true,
                                     "", e["note"].get<std::string>(), ""});
    } else if (e.contains("end") && !r.records.empty()) {
      busy_ = inStep_ = false;
      StepRecord& s = r.records.back();
      s.access = e["access"].get<std::string>();
      s.ok = e["ok"].get<bool>();
      s.mismatch = e["mismatch"].get<std::string>();
      s.trace = e["trace"].get<std::string>();
      ++r.steps;
      r.mismatches += !s.ok;
    } else if (e.contains("trace") && !r.records.empty() && inStep_) {
      r.records.back().trace += "    > " + e["trace"].get<std::string>() + "\n";
    } else if (e.contains("setupFailed")) {
      r.setupFailed = true;
      r.setupError = e["setupFailed"].get<std::string>();
    } else if (e.contains("setup")) {
      busy_ = e["setup"] == "start";
    }
  }

  std::string path_;
  size_t offset_ = 0;
  std::string pending_;
  Clock::time_point since_ = Clock::now();
};

} // namespace

Supervised superviseRun(std::vector<std::string> args, bool discardOutput, uint32_t stepMs) {
#ifdef _WIN32
  const char *dir = std::getenv("TEMP"), *fallback = ".";
#else
  const char *dir = std::getenv("TMPDIR"), *fallback = "/tmp";
#endif
  const std::string base = std::string(dir && *dir ? dir : fallback) + "/pdmhost-" +
                           std::to_string(std::random_device()());
  args.insert(args.end(), {"--events", base + ".events"});
  Events events(base + ".events");
  const ChildOutcome o =
      runSelf(args, discardOutput ? base + ".out" : "", [&] { return events.poll(stepMs); });
  events.poll(stepMs);
  Supervised s = std::move(events.out);
  std::remove((base + ".events").c_str());
  if (o.kind == ChildOutcome::NotStarted) {
    std::fprintf(stderr, "pdmhost: cannot start the run: %s\n", o.what.c_str());
    s.exitStatus = 2;
    return s;
  }
  if (o.kind == ChildOutcome::Exited && !events.inStep_) {
    // A run that could not start says why on its output, which the caller may not see.
    if (o.code == 2 && discardOutput)
      if (std::FILE* f = std::fopen((base + ".out").c_str(), "rb")) {
        char chunk[4096];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
          std::fwrite(chunk, 1, n, stderr);
        std::fclose(f);
      }
    s.exitStatus = o.code;
    std::remove((base + ".out").c_str());
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
  std::remove((base + ".out").c_str());
  s.exitStatus = 1;
  std::FILE* out = discardOutput ? nullptr : stdout;
  if (events.inStep_ && !s.result.records.empty()) {
    StepRecord& r = s.result.records.back();
    r.ok = false;
    r.mismatch = why;
    ++s.result.steps;
    ++s.result.mismatches;
    if (out) { // as the child would have printed it: its access is the op, as at its start
      RunState printing;
      printing.out = out;
      printRecord(printing, r);
    }
  } else {
    s.result.setupFailed = true;
    s.result.setupError = "the set-up: " + why;
    if (out)
      std::fprintf(out, "setup failed: %s\n", s.result.setupError.c_str());
  }
  if (out)
    printSummary(out, s.devices, s.result);
  return s;
}

} // namespace pdmhost
