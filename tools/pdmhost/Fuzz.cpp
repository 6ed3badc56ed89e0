// pdmhost fuzz: guest accesses against the devices, each batch played by a child pdmhost
// (or, with --coverage, libFuzzer's inputs played by one) so that a crash or a hang of the
// VM manager's code ends the child only. A finding is shrunk to the fewest steps that still
// give it, in plain children, and written as a scenario that --replay plays again.
#include "tools/pdmhost/Fuzz.h"

#include "tools/pdmhost/Child.h"
#include "tools/pdmhost/FuzzInput.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Scenario.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

namespace pdmhost {

namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr size_t BATCH_STEPS = 100;
constexpr int MAX_SHRINK_RUNS = 400;
constexpr int SANITIZER_EXIT = 86; // not one of pdmhost's own exit statuses

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
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

void save(const std::string& path, const json& doc) {
  const std::string text = doc.dump(1) + "\n";
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
      std::fclose(file) != 0)
    throw std::runtime_error("cannot write " + path);
}

struct Fuzzer {
  json base; // the scenario without its steps
  std::vector<std::string> args;
  std::string out;
  int hangMs;
  int runs = 0;

  // "" when the steps play without a finding, else what went wrong (findingOf).
  std::string play(const json& steps, std::string* output = nullptr) {
    json doc = base;
    doc["steps"] = steps;
    save(out + ".batch.json", doc);
    std::vector<std::string> childArgs = args;
    childArgs.push_back(out + ".batch.json");
    if (!output) // only mismatches: the fastest
      childArgs.insert(childArgs.begin(), "--quiet");
    // A file per run: a crashed child's debugger may still hold the previous one.
    const std::string log = out + "." + std::to_string(++runs) + ".log";
    const ChildOutcome o = runSelf(childArgs, log, within(hangMs));
    const std::string text = readOutput(log);
    std::remove(log.c_str());
    std::remove((out + ".batch.json").c_str());
    if (output)
      *output = text;
    return findingOf(o, text, hangMs);
  }

  // The fewest steps (a prefix, then chunks left out) that still give `finding`.
  json shrink(json steps, const std::string& finding) {
    const int budget = runs + MAX_SHRINK_RUNS; // however many batches the search took
    size_t lo = 1, hi = steps.size();
    while (lo < hi && runs < budget) {
      const size_t mid = (lo + hi) / 2;
      if (play(json(steps.begin(), steps.begin() + mid)) == finding)
        hi = mid;
      else
        lo = mid + 1;
    }
    steps = json(steps.begin(), steps.begin() + hi);
    for (size_t chunk = steps.size() / 2; chunk >= 1 && runs < budget; chunk /= 2) {
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

  // Shrinks what a search found and writes it with the hang limit it was found with.
  int report(const json& steps, const std::string& finding, const std::string& where,
             double seconds) {
    const int searchRuns = runs;
    const json fewest = shrink(steps, finding);
    json doc = base;
    doc["note"] = "pdmhost fuzz " + where + ": " + finding;
    doc["hangMs"] = hangMs;
    doc["steps"] = fewest;
    save(out, doc);
    std::string replay = out;
    for (size_t i = 1; i < args.size(); ++i) // --module, --vm-manager
      replay += " " + args[i];
    std::printf("fuzz: finding after %.1f s in %s: %s\n"
                "fuzz: shrunk from %zu to %zu steps in %d runs; written to %s\n"
                "fuzz: replay: pdmhost fuzz --replay %s\n%s\n",
                seconds, where.c_str(), finding.c_str(), steps.size(), fewest.size(),
                runs - searchRuns, out.c_str(), replay.c_str(), fewest.dump(1).c_str());
    return 1;
  }
};

struct Options {
  uint64_t steps = 2000, seconds = 0, rng = 1, hangMs = 2000;
  bool coverage = false, child = false, stepsGiven = false, hangGiven = false;
  std::string vmManager, modulePath, out = "pdmhost-finding.json", replay;
};

// libFuzzer's search in a child (this program again, with the same options); the input
// it stopped at, if any, becomes the finding.
int coverageSearch(const Options& o, Fuzzer& fuzzer, const std::vector<FuzzTarget>& targets,
                   std::vector<std::string> args) {
  args.insert(args.begin(), {"fuzz", "--libfuzzer-child"});
  const std::string input = o.out + ".input", log = o.out + ".coverage.log";
  std::remove(input.c_str());
  // An allocation's stack would be most of a step's cost in the instrumented code.
  addChildOption("ASAN_OPTIONS", "malloc_context_size=0");
  const auto began = Clock::now();
  const ChildOutcome c = runSelf(args, log, within(o.seconds * 1000 + o.hangMs + 60000));
  const double took = since(began);
  const std::string text = readOutput(log), bytes = readOutput(input);
  const size_t at = text.rfind("fuzz: coverage: ");
  const double steps = at == std::string::npos ? 0 : std::atof(text.c_str() + at + 16);
  if (c.kind == ChildOutcome::Exited && c.code == 0) {
    std::remove(log.c_str());
    std::remove((o.out + ".history").c_str());
    std::printf("fuzz: %.0f steps in %.1f s, no finding (%.0f steps a second)\n", steps, took,
                steps / took);
    return 0;
  }
  if (bytes.empty()) {
    std::fprintf(stderr, "pdmhost fuzz: the coverage run ended without an input:\n%s",
                 text.c_str());
    return 2;
  }
  json found = stepsJson(decodeAccesses(bytes, targets, {}, FUZZ_INPUT_STEPS));
  std::string finding = fuzzer.play(found), where = "libFuzzer's input " + input;
  // State carries over between inputs: else the last inputs, in order, up to this one.
  const std::string history = readOutput(o.out + ".history");
  if (finding.empty() && history.size() == 8 + FUZZ_HISTORY * FUZZ_SLOT) {
    uint64_t count = 0, size = 0;
    std::memcpy(&count, history.data(), 8);
    found = json::array();
    for (uint64_t i = count > FUZZ_HISTORY ? count - FUZZ_HISTORY : 0; i < count; ++i) {
      const char* slot = history.data() + 8 + i % FUZZ_HISTORY * FUZZ_SLOT;
      std::memcpy(&size, slot, 8);
      for (json& step :
           stepsJson(decodeAccesses(std::string(slot + 8, std::min(size, FUZZ_SLOT - 8)), targets,
                                    {}, FUZZ_INPUT_STEPS)))
        found.push_back(std::move(step));
    }
    finding = fuzzer.play(found);
    where =
        "libFuzzer's last " + std::to_string(std::min<uint64_t>(count, FUZZ_HISTORY)) + " inputs";
  }
  if (finding.empty()) {
    std::printf("fuzz: libFuzzer's input %s gives no finding from a fresh start, nor with the "
                "inputs before it: it needs what older ones left in the VM manager's library "
                "(its log: %s)\n",
                input.c_str(), log.c_str());
    return 1;
  }
  std::remove(log.c_str());
  std::remove((o.out + ".history").c_str());
  return fuzzer.report(found, finding, where, took);
}

// The values reads gave ("-> 0x1f" in a child's lines), the latest few, for later writes.
void noteReadValues(const std::string& output, std::vector<uint64_t>* seen) {
  for (size_t at = output.find("-> 0x"); at != std::string::npos; at = output.find("-> 0x", at + 1))
    if (const uint64_t v = std::strtoull(output.c_str() + at + 3, nullptr, 16);
        v > 1 && std::find(seen->begin(), seen->end(), v) == seen->end())
      seen->push_back(v);
  if (seen->size() > 16)
    seen->erase(seen->begin(), seen->end() - 16);
}

// Batches of random bytes read as steps; a batch far slower than the median is worth a look.
int randomSearch(const Options& o, Fuzzer& fuzzer, const std::vector<FuzzTarget>& targets) {
  std::mt19937_64 rng(o.rng);
  std::vector<uint64_t> seen;
  std::vector<double> took;
  double median = 0;
  const auto began = Clock::now();
  uint64_t played = 0;
  for (size_t batch = 1; o.seconds ? since(began) < o.seconds : played < o.steps; ++batch) {
    std::string bytes(BATCH_STEPS * 24, '\0');
    for (char& b : bytes)
      b = static_cast<char>(rng());
    const json steps = stepsJson(decodeAccesses(
        bytes, targets, seen, o.seconds ? BATCH_STEPS : std::min(BATCH_STEPS, o.steps - played)));
    played += steps.size();
    const auto start = Clock::now();
    std::string output; // every 10th batch's lines, for the values it read
    const std::string finding = fuzzer.play(steps, batch % 10 == 1 ? &output : nullptr);
    // A finding happens again (a loaded machine can make any batch slow).
    if (!finding.empty() && fuzzer.play(steps) != finding)
      std::printf("fuzz: batch %zu did not give \"%s\" again: no finding\n", batch,
                  finding.c_str());
    else if (!finding.empty())
      return fuzzer.report(steps, finding,
                           "batch " + std::to_string(batch) + " (" + std::to_string(played) +
                               " steps played) of --seed " + std::to_string(o.rng),
                           since(began));
    noteReadValues(output, &seen);
    took.push_back(since(start) * 1000);
    if (took.size() % 32 == 0) { // the median now and then is enough to compare with
      std::vector<double> sorted = took;
      std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
      median = sorted[sorted.size() / 2];
    }
    if (median > 0 && took.back() > 10 * median && took.back() > 500)
      std::printf("fuzz: warning: batch %zu took %.0f ms, over ten times the median %.1f ms: "
                  "a device slow for some inputs?\n",
                  batch, took.back(), median);
  }
  std::printf("fuzz: %llu steps in %d runs, no finding (%.0f steps a second)\n",
              static_cast<unsigned long long>(played), fuzzer.runs, played / since(began));
  return 0;
}

} // namespace

const char* fuzzUsage =
    "usage: pdmhost fuzz [--steps M | --seconds N] [--seed N] [--coverage] [--vm-manager PATH]\n"
    "                    [--module PATH] [--out FILE] [--hang-ms MS]\n"
    "       pdmhost fuzz --replay FILE [--vm-manager PATH] [--module PATH] [--hang-ms MS]\n"
    "\n"
    "Guest accesses against the devices (the sample's or the VM manager library's), mostly to\n"
    "a region's first registers with values such as 0, all ones and powers of two, in batches\n"
    "of 100 steps played by a child pdmhost; with --coverage (the fuzz preset's pdmhost, Linux)\n"
    "chosen by libFuzzer from the library's coverage for --seconds (default 60). A crash, a\n"
    "sanitizer's report, a batch slower than --hang-ms (default 2000) or a status outside the\n"
    "module's contract is shrunk and written to --out (default pdmhost-finding.json) as a\n"
    "scenario, with its hang limit, that --replay plays again. --seed (or --rng, default 1)\n"
    "fixes the accesses; --steps defaults to 2000. docs/pdmhost.md says more.\n"
    "exit status: 0 no finding; 1 a finding (or, with --replay, the fault again); 2 bad usage.\n";

int fuzzMain(int argc, char** argv) {
  Options o;
  struct Named {
    const char* name;
    uint64_t* number;
    std::string* text;
  };
  const Named named[] = {
      {"--steps", &o.steps, nullptr},       {"--seconds", &o.seconds, nullptr},
      {"--seed", &o.rng, nullptr},          {"--rng", &o.rng, nullptr},
      {"--hang-ms", &o.hangMs, nullptr},    {"--vm-manager", nullptr, &o.vmManager},
      {"--module", nullptr, &o.modulePath}, {"--out", nullptr, &o.out},
      {"--replay", nullptr, &o.replay}};
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
    uint64_t* number = nullptr;
    std::string* text = nullptr;
    for (const Named& n : named)
      if (arg == n.name)
        number = n.number, text = n.text;
    if (!number && !text) {
      std::fprintf(stderr, "pdmhost fuzz: unknown option \"%s\" (pdmhost fuzz --help)\n",
                   arg.c_str());
      return 2;
    }
    if (i + 1 == argc || argv[i + 1][0] == '\0') {
      std::fprintf(stderr, "pdmhost fuzz: %s needs a value\n", arg.c_str());
      return 2;
    }
    const char* value = argv[++i];
    char* end = nullptr;
    if (number && (*number = std::strtoull(value, &end, 0),
                   *value < '0' || *value > '9' || *end || *number > 1000000000 ||
                       (number == &o.hangMs && *number == 0))) {
      std::fprintf(stderr, "pdmhost fuzz: %s takes a number up to 1000000000, got \"%s\"\n",
                   arg.c_str(), value);
      return 2;
    }
    if (text)
      *text = value;
    o.stepsGiven = o.stepsGiven || arg == "--steps";
    o.hangGiven = o.hangGiven || arg == "--hang-ms";
  }
  if (o.coverage && o.stepsGiven) {
    std::fprintf(stderr, "pdmhost fuzz: --coverage runs for --seconds, not --steps\n");
    return 2;
  }
  if (o.coverage && !o.seconds)
    o.seconds = 60;
#ifdef PDMHOST_COVERAGE
  if (o.child) // libFuzzer's hang limit is in whole seconds
    return coverageDriver(
        o.modulePath, o.vmManager, o.out + ".history",
        {"-seed=" + std::to_string(o.rng), "-max_total_time=" + std::to_string(o.seconds),
         "-timeout=" + std::to_string((o.hangMs + 999) / 1000),
         "-exact_artifact_path=" + o.out + ".input", "-max_len=" + std::to_string(FUZZ_MAX_INPUT),
         "-use_value_profile=1", "-len_control=0", "-detect_leaks=0", "-verbosity=0"});
#else
  if (o.coverage) {
    std::fprintf(stderr, "pdmhost fuzz: --coverage needs a pdmhost built by the fuzz preset "
                         "(Linux, clang)\n");
    return 2;
  }
#endif
  // Any sanitizer report in a child (ASan, UBSan, LSan, TSan) ends it with SANITIZER_EXIT.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"})
    addChildOption(name, "exitcode=" + std::to_string(SANITIZER_EXIT) + ":halt_on_error=1");
  std::vector<std::string> childArgs{"--in-process"};
  if (!o.modulePath.empty())
    childArgs.insert(childArgs.end(), {"--module", o.modulePath});
  if (!o.vmManager.empty())
    childArgs.insert(childArgs.end(), {"--vm-manager", o.vmManager});

  if (!o.replay.empty()) { // with the hang limit the finding was found with, unless given
    const json doc = json::parse(readOutput(o.replay), nullptr, false);
    if (!o.hangGiven && doc.is_object() && doc.contains("hangMs") &&
        doc["hangMs"].is_number_unsigned() && doc["hangMs"] > 0)
      o.hangMs = doc["hangMs"];
    childArgs.push_back(o.replay);
    const std::string log = o.out + ".replay.log";
    const ChildOutcome c = runSelf(childArgs, log, within(o.hangMs));
    const std::string output = readOutput(log);
    std::remove(log.c_str());
    std::string finding;
    try {
      finding = findingOf(c, output, static_cast<int>(o.hangMs));
    } catch (const std::runtime_error& e) {
      std::printf("replay: the scenario did not play: %s\n", e.what());
      return 2;
    }
    std::printf("replay: %s%s\n%s",
                finding.empty() ? "no fault" : "the fault again: ", finding.c_str(),
                output.c_str());
    return finding.empty() ? 0 : 1;
  }

  // The devices, from the library's table or the built-in sample, and where each region
  // lies once placed: what a child's --check --json says, so the library's entry runs
  // in the child only.
  std::vector<std::string> checkArgs = childArgs;
  checkArgs.insert(checkArgs.end(), {"--check", "--json"});
  const ChildOutcome checked = runSelf(checkArgs, o.out + ".check.log", within(o.hangMs));
  const std::string checkText = readOutput(o.out + ".check.log");
  std::remove((o.out + ".check.log").c_str());
  const json table = json::parse(checkText, nullptr, false);
  if (checked.kind != ChildOutcome::Exited || checked.code != 0 || !table.is_object()) {
    std::fprintf(stderr, "pdmhost fuzz: the devices could not be read (%s):\n%s",
                 checked.kind == ChildOutcome::Exited
                     ? ("exit status " + std::to_string(checked.code)).c_str()
                     : findingOf(checked, "", static_cast<int>(o.hangMs)).c_str(),
                 checkText.c_str());
    return 2;
  }
  const std::vector<FuzzTarget> targets = fuzzTargets(table);
  if (targets.empty()) {
    std::fprintf(stderr, "pdmhost fuzz: no devices to try\n");
    return 2;
  }
  Fuzzer fuzzer{o.vmManager.empty() ? json::parse(sampleScenarioJson()) : json::object(), childArgs,
                o.out, static_cast<int>(o.hangMs)};
  return o.coverage ? coverageSearch(o, fuzzer, targets, {argv + 2, argv + argc})
                    : randomSearch(o, fuzzer, targets);
}

} // namespace pdmhost
