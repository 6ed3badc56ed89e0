// pdmhost fuzz: guest accesses against the devices, each batch played by a child pdmhost
// (or, with --coverage, libFuzzer's inputs played by one) so that a crash or a hang of the
// VM manager's code ends the child only. A finding is shrunk to the fewest steps that still
// give it, in plain children, and written as a scenario that --replay plays again.
#include "tools/pdmhost/Fuzz.h"

#include "tools/pdmhost/Child.h"
#include "tools/pdmhost/FuzzInput.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Scenario.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

namespace pdmhost {

namespace {

using json = nlohmann::ordered_json;

constexpr size_t BATCH_STEPS = 100;
constexpr int MAX_SHRINK_RUNS = 400;
constexpr int SANITIZER_EXIT = 86; // not one of pdmhost's own exit statuses

// Adds to a sanitizer's options for the children.
void addOption(const char* name, const std::string& option) {
  const char* old = std::getenv(name);
  const std::string value = std::string(old ? old : "") + (old && *old ? ":" : "") + option;
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// Any sanitizer report in the child (ASan, UBSan, LSan, TSan) ends it with SANITIZER_EXIT.
void sanitizersExitDistinctly() {
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    addOption(name, "exitcode=" + std::to_string(SANITIZER_EXIT) + ":halt_on_error=1");
}

// A hang check by the time elapsed since the child started.
std::function<bool()> within(uint64_t ms) {
  const auto start = std::chrono::steady_clock::now();
  return [start, ms] {
    return std::chrono::steady_clock::now() - start < std::chrono::milliseconds(ms);
  };
}

// What a child wrote (its output, a few kilobytes at most: pdmhost runs --quiet).
std::string readText(const std::string& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() < (1u << 20))
      text.append(chunk, n);
    std::fclose(file);
  }
  return text;
}

// "" when a child's run gave no finding, else what went wrong. Throws on a run that says
// nothing about the devices (a child that cannot start, a scenario refused).
std::string findingOf(const ChildOutcome& o, const std::string& output, int hangMs) {
  switch (o.kind) {
  case ChildOutcome::Crashed:
    return "crash of the VM manager's code: " + o.what;
  case ChildOutcome::TimedOut:
    return "no answer within " + std::to_string(hangMs) + " ms (a callback that does not return)";
  case ChildOutcome::NotStarted:
    throw std::runtime_error(o.what);
  case ChildOutcome::Exited:
    break;
  }
  if (o.code == 0)
    return "";
  // Every sanitizer of the child ends it with this status (fuzzMain sets their options).
  if (o.code == SANITIZER_EXIT)
    return "crash of the VM manager's code: a sanitizer's report";
  // Every step of a batch checks only the contract: a mismatch is a status outside it. A
  // failure without one is the set-up's (a table the host refuses): no step was tried.
  const size_t at =
      o.code == 1 ? output.find("is outside the module's contract") : std::string::npos;
  const size_t from = at == std::string::npos ? at : output.rfind("MISMATCH: ", at);
  if (from != std::string::npos)
    return "a status outside the module's contract: " + output.substr(from + 10, at - from - 10) +
           "is outside it";
  throw std::runtime_error("a run says nothing about the devices (exit status " +
                           std::to_string(o.code) + "):\n" + output);
}

class Fuzzer {
public:
  Fuzzer(json base, std::vector<std::string> childArgs, std::string out, int hangMs)
      : base_(std::move(base)), childArgs_(std::move(childArgs)), out_(std::move(out)),
        hangMs_(hangMs) {}

  // "" when the steps play without a finding, else what went wrong. Throws on a run that
  // says nothing about the devices (a child that cannot start, a scenario refused).
  std::string play(const json& steps, std::string* output = nullptr) {
    json doc = base_;
    doc["steps"] = steps;
    write(out_ + ".batch.json", doc);
    std::vector<std::string> args = childArgs_;
    args.push_back(out_ + ".batch.json");
    // A file per run: a crashed child's debugger may still hold the previous one.
    const std::string log = out_ + "." + std::to_string(++runs_) + ".log";
    const ChildOutcome o = runSelf(args, log, within(hangMs_));
    const std::string text = readText(log);
    std::remove(log.c_str());
    if (output)
      *output = text;
    return findingOf(o, text, hangMs_);
  }

  // The fewest steps (a prefix, then chunks left out) that still give `finding`.
  json shrink(json steps, const std::string& finding) {
    const int budget = runs_ + MAX_SHRINK_RUNS; // however many batches the search took
    size_t lo = 1, hi = steps.size();
    while (lo < hi && runs_ < budget) {
      const size_t mid = (lo + hi) / 2;
      if (play(json(steps.begin(), steps.begin() + mid)) == finding)
        hi = mid;
      else
        lo = mid + 1;
    }
    steps = json(steps.begin(), steps.begin() + hi);
    for (size_t chunk = steps.size() / 2; chunk >= 1 && runs_ < budget; chunk /= 2) {
      for (size_t i = 0; i + chunk <= steps.size() && steps.size() > 1;) {
        json fewer = json::array();
        for (size_t k = 0; k < steps.size(); ++k)
          if (k < i || k >= i + chunk)
            fewer.push_back(steps[k]);
        if (!fewer.empty() && play(fewer) == finding)
          steps = std::move(fewer);
        else
          i += chunk;
      }
    }
    return steps;
  }

  // Shrinks what a search found, writes it with the hang limit it was found with, and says
  // so; the exit status of a finding.
  int report(const json& steps, const std::string& finding, const std::string& where,
             double seconds) {
    const int searchRuns = runs_;
    const json fewest = shrink(steps, finding);
    json doc = base_;
    doc["note"] = "pdmhost fuzz " + where + ": " + finding;
    doc["hangMs"] = hangMs_;
    doc["steps"] = fewest;
    write(out_, doc);
    std::remove((out_ + ".batch.json").c_str());
    std::string replay = out_;
    for (size_t i = 1; i < childArgs_.size(); ++i) // --module, --vm-manager
      replay += " " + childArgs_[i];
    std::printf("fuzz: finding after %.1f s in %s: %s\n"
                "fuzz: shrunk from %zu to %zu steps in %d runs; written to %s\n"
                "fuzz: replay: pdmhost fuzz --replay %s\n%s\n",
                seconds, where.c_str(), finding.c_str(), steps.size(), fewest.size(),
                runs_ - searchRuns, out_.c_str(), replay.c_str(), fewest.dump(1).c_str());
    return 1;
  }
  void clean() { std::remove((out_ + ".batch.json").c_str()); }
  int runs() const { return runs_; }

private:
  static void write(const std::string& path, const json& doc) {
    const std::string text = doc.dump(1) + "\n";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
        std::fclose(file) != 0)
      throw std::runtime_error("cannot write " + path);
  }

  json base_;
  std::vector<std::string> childArgs_;
  std::string out_;
  int hangMs_;
  int runs_ = 0;
};

bool number(const char* text, uint64_t* out) {
  char* end = nullptr;
  *out = std::strtoull(text, &end, 0);
  return *text >= '0' && *text <= '9' && *end == '\0';
}

// The values reads gave ("-> 0x1f" in a child's lines), the latest few, for later writes.
void noteReadValues(const std::string& output, std::vector<uint64_t>* seen) {
  for (size_t at = output.find("-> 0x"); at != std::string::npos;
       at = output.find("-> 0x", at + 1)) {
    const uint64_t v = std::strtoull(output.c_str() + at + 3, nullptr, 16);
    if (v > 1 && std::find(seen->begin(), seen->end(), v) == seen->end())
      seen->push_back(v);
  }
  if (seen->size() > 16)
    seen->erase(seen->begin(), seen->end() - 16);
}

struct Options {
  uint64_t steps = 2000, seconds = 0, seed = 1, hangMs = 1000;
  bool coverage = false, child = false, stepsGiven = false;
  std::string vmManager, modulePath, out = "pdmhost-finding.json", replay;
};

// libFuzzer's search in a child; its input, if it found something, becomes the finding.
int coverageSearch(const Options& o, Fuzzer& fuzzer, const std::vector<FuzzTarget>& targets) {
  std::vector<std::string> args{"fuzz",      "--libfuzzer-child",
                                "--seed",    std::to_string(o.seed),
                                "--seconds", std::to_string(o.seconds),
                                "--hang-ms", std::to_string(o.hangMs),
                                "--out",     o.out};
  if (!o.modulePath.empty())
    args.insert(args.end(), {"--module", o.modulePath});
  if (!o.vmManager.empty())
    args.insert(args.end(), {"--vm-manager", o.vmManager});
  const std::string input = o.out + ".input", log = o.out + ".coverage.log";
  std::remove(input.c_str());
  // An allocation's stack is the cost of a step in the instrumented code, not its report.
  addOption("ASAN_OPTIONS", "malloc_context_size=0");
  const auto began = std::chrono::steady_clock::now();
  const ChildOutcome c = runSelf(args, log, within(o.seconds * 1000 + o.hangMs + 60000));
  const double took =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  const std::string text = readText(log), bytes = readText(input);
  const size_t at = text.rfind("fuzz: coverage: ");
  const unsigned long long steps =
      at == std::string::npos ? 0 : std::strtoull(text.c_str() + at + 16, nullptr, 10);
  std::printf("fuzz: coverage: %llu steps in %.1f s (%.0f steps a second)\n", steps, took,
              steps / took);
  if (c.kind == ChildOutcome::Exited && c.code == 0) {
    std::remove(log.c_str());
    std::printf("fuzz: %llu steps, no finding\n", steps);
    return 0;
  }
  if (bytes.empty()) {
    std::fprintf(stderr, "pdmhost fuzz: the coverage run ended without an input to show:\n%s",
                 text.c_str());
    return 2;
  }
  const json found = stepsJson(decodeAccesses(bytes, targets, {}, FUZZ_INPUT_STEPS));
  const std::string finding = fuzzer.play(found);
  if (finding.empty()) {
    std::printf("fuzz: libFuzzer's input (%s) gives no finding on a fresh start: it needs what "
                "earlier inputs left in the VM manager's library; its log is %s\n",
                input.c_str(), log.c_str());
    return 1;
  }
  std::remove(log.c_str());
  return fuzzer.report(found, finding, "libFuzzer's input " + input, took);
}

// Batches of random bytes read as steps; a batch far slower than the median is worth a look.
int randomSearch(const Options& o, Fuzzer& fuzzer, const std::vector<FuzzTarget>& targets) {
  std::mt19937_64 rng(o.seed);
  std::vector<uint64_t> seen;
  std::vector<double> took;
  double median = 0;
  const auto began = std::chrono::steady_clock::now();
  uint64_t played = 0;
  for (size_t batch = 1;; ++batch) {
    if (o.seconds ? std::chrono::steady_clock::now() - began >= std::chrono::seconds(o.seconds)
                  : played >= o.steps)
      break;
    std::string bytes(BATCH_STEPS * 24, '\0');
    for (char& b : bytes)
      b = static_cast<char>(rng());
    const size_t count =
        o.seconds ? BATCH_STEPS : std::min<uint64_t>(BATCH_STEPS, o.steps - played);
    const json steps = stepsJson(decodeAccesses(bytes, targets, seen, count));
    played += steps.size();
    const auto start = std::chrono::steady_clock::now();
    std::string output;
    const std::string finding = fuzzer.play(steps, &output);
    if (!finding.empty())
      return fuzzer.report(
          steps, finding,
          "batch " + std::to_string(batch) + " (" + std::to_string(played) +
              " steps played) of --seed " + std::to_string(o.seed),
          std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
    noteReadValues(output, &seen);
    took.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
    if (took.size() % 32 == 0) { // the median now and then: enough to compare with
      std::vector<double> sorted = took;
      std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
      median = sorted[sorted.size() / 2];
    }
    if (median > 0 && took.back() > 10 * median && took.back() > 50)
      std::printf("fuzz: warning: batch %zu took %.0f ms, over ten times the median %.1f ms: a "
                  "device slow for some inputs?\n",
                  batch, took.back(), median);
  }
  fuzzer.clean();
  const double secs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  std::printf("fuzz: %llu steps in %d runs, no finding (%.0f steps a second)\n",
              static_cast<unsigned long long>(played), fuzzer.runs(), played / secs);
  return 0;
}

// Plays a finding again with the hang limit it was found with (unless --hang-ms says).
int replayFinding(const Options& o, bool hangGiven, std::vector<std::string> args) {
  const json doc = json::parse(readText(o.replay), nullptr, false);
  const uint64_t hangMs =
      !hangGiven && doc.is_object() && doc.contains("hangMs") && doc["hangMs"].is_number_unsigned()
          ? doc["hangMs"].get<uint64_t>()
          : o.hangMs;
  args.push_back(o.replay);
  const ChildOutcome c = runSelf(args, o.replay + ".log", within(hangMs));
  const std::string output = readText(o.replay + ".log");
  std::remove((o.replay + ".log").c_str());
  std::string finding;
  try {
    finding = findingOf(c, output, static_cast<int>(hangMs));
  } catch (const std::runtime_error& e) {
    std::printf("replay: the scenario did not play: %s\n", e.what());
    return 2;
  }
  std::printf("replay: %s%s\n%s",
              finding.empty() ? "no fault" : "the fault again: ", finding.c_str(), output.c_str());
  return finding.empty() ? 0 : 1;
}

} // namespace

const char* fuzzUsage =
    "usage: pdmhost fuzz [--steps M | --seconds N] [--seed N] [--coverage] [--vm-manager PATH]\n"
    "                    [--module PATH] [--out FILE] [--hang-ms MS]\n"
    "       pdmhost fuzz --replay FILE [--vm-manager PATH] [--module PATH] [--hang-ms MS]\n"
    "\n"
    "Guest accesses against the devices (the built-in sample's, or the VM manager library's):\n"
    "ports of 1, 2 and 4 bytes around each port range; memory accesses of 1 to 8 bytes, most\n"
    "to the registers of a region's first pages with values such as 0, all ones, powers of\n"
    "two and what reads gave, some to its edges, past its end, or anywhere; interrupt\n"
    "changes. Batches of 100 steps run in a child pdmhost; with --coverage (a pdmhost built by\n"
    "the fuzz preset, Linux only) libFuzzer chooses them by the coverage of the instrumented\n"
    "library, for --seconds (default 60). A crash of the VM manager's code, any sanitizer's\n"
    "report, a batch or input that takes longer than --hang-ms (default 1000), or a status\n"
    "outside the module's contract is a finding: it is shrunk to the fewest steps that still\n"
    "give it and written to --out (default pdmhost-finding.json) as a scenario that --replay\n"
    "plays again, with its hang limit. The same --seed (--rng; default 1) gives the same\n"
    "accesses. --steps defaults to 2000.\n"
    "exit status: 0 no finding; 1 a finding (or, with --replay, the fault again); 2 bad usage.\n";

int fuzzMain(int argc, char** argv) {
  Options o;
  bool hangGiven = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help") {
      std::fputs(fuzzUsage, stdout);
      return 0;
    }
    if (arg == "--coverage" || arg == "--libfuzzer-child") {
      (arg == "--coverage" ? o.coverage : o.child) = true;
      continue;
    }
    const bool valued = arg == "--steps" || arg == "--seconds" || arg == "--seed" ||
                        arg == "--rng" || arg == "--vm-manager" || arg == "--module" ||
                        arg == "--out" || arg == "--replay" || arg == "--hang-ms";
    if (!valued || i + 1 == argc || argv[i + 1][0] == '\0') {
      std::fprintf(stderr,
                   valued ? "pdmhost fuzz: %s needs a value\n"
                          : "pdmhost fuzz: unknown option \"%s\" (pdmhost fuzz --help)\n",
                   arg.c_str());
      return 2;
    }
    const char* value = argv[++i];
    uint64_t* target = arg == "--steps"                    ? &o.steps
                       : arg == "--seconds"                ? &o.seconds
                       : arg == "--seed" || arg == "--rng" ? &o.seed
                       : arg == "--hang-ms"                ? &o.hangMs
                                                           : nullptr;
    if (target &&
        (!number(value, target) || *target > 1000000000 || (arg == "--hang-ms" && *target == 0))) {
      std::fprintf(stderr, "pdmhost fuzz: %s takes a number up to 1000000000, got \"%s\"\n",
                   arg.c_str(), value);
      return 2;
    }
    o.stepsGiven = o.stepsGiven || arg == "--steps";
    hangGiven = hangGiven || arg == "--hang-ms";
    std::string* text = arg == "--vm-manager" ? &o.vmManager
                        : arg == "--module"   ? &o.modulePath
                        : arg == "--out"      ? &o.out
                        : arg == "--replay"   ? &o.replay
                                              : nullptr;
    if (text)
      *text = value;
  }
  if (o.coverage && o.stepsGiven) {
    std::fprintf(stderr, "pdmhost fuzz: --coverage runs for --seconds, not --steps\n");
    return 2;
  }
  if (o.child) // libFuzzer's hang limit is in whole seconds
    return coverageDriver(
        o.modulePath, o.vmManager,
        {"-seed=" + std::to_string(o.seed), "-max_total_time=" + std::to_string(o.seconds),
         "-timeout=" + std::to_string((o.hangMs + 999) / 1000),
         "-exact_artifact_path=" + o.out + ".input", "-max_len=1024", "-use_value_profile=1",
         "-len_control=0", "-detect_leaks=0", "-verbosity=0"});
  if (o.coverage && !o.seconds)
    o.seconds = 60;
  sanitizersExitDistinctly();
  std::vector<std::string> childArgs{"--in-process"};
  if (!o.modulePath.empty())
    childArgs.insert(childArgs.end(), {"--module", o.modulePath});
  if (!o.vmManager.empty())
    childArgs.insert(childArgs.end(), {"--vm-manager", o.vmManager});
  if (!o.replay.empty())
    return replayFinding(o, hangGiven, childArgs);

  // The devices, from the library's table or the built-in sample, and where each region
  // lies once placed: what a child's --check --json says, so the library's entry runs
  // in the child only.
  const int hangMs = static_cast<int>(o.hangMs);
  json base = o.vmManager.empty() ? json::parse(sampleScenarioJson()) : json::object();
  std::vector<std::string> checkArgs = childArgs;
  checkArgs.insert(checkArgs.end(), {"--check", "--json"});
  const std::string checkLog = o.out + ".check.log";
  const ChildOutcome checked = runSelf(checkArgs, checkLog, within(o.hangMs));
  const std::string checkText = readText(checkLog);
  std::remove(checkLog.c_str());
  const json table = json::parse(checkText, nullptr, false);
  if (checked.kind != ChildOutcome::Exited || checked.code != 0 || !table.is_object()) {
    std::fprintf(stderr, "pdmhost fuzz: the devices could not be read (%s):\n%s",
                 checked.kind == ChildOutcome::Exited
                     ? ("exit status " + std::to_string(checked.code)).c_str()
                     : findingOf(checked, "", hangMs).c_str(),
                 checkText.c_str());
    return 2;
  }
  const std::vector<FuzzTarget> targets = fuzzTargets(table);
  if (targets.empty()) {
    std::fprintf(stderr, "pdmhost fuzz: no devices to try\n");
    return 2;
  }
  Fuzzer fuzzer(base, childArgs, o.out, hangMs);
  return o.coverage ? coverageSearch(o, fuzzer, targets) : randomSearch(o, fuzzer, targets);
}

} // namespace pdmhost
