// pdmhost fuzz: random guest accesses against the devices, each batch played by a child
// pdmhost so that a crash or a hang of the VM manager's code ends the child only. A
// finding is shrunk to the fewest steps that still give it and written as a scenario.
#include "tools/pdmhost/Fuzz.h"

#include "tools/pdmhost/Child.h"
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

// Any sanitizer report in the child (ASan, UBSan, LSan, TSan) ends it with SANITIZER_EXIT.
void sanitizersExitDistinctly() {
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* old = std::getenv(name);
    const std::string value = std::string(old ? old : "") + (old && *old ? ":" : "") +
                              "exitcode=" + std::to_string(SANITIZER_EXIT) + ":halt_on_error=1";
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
  }
}

struct Target {
  enum Kind { Port, Memory, Irq } kind;
  uint64_t base;
  uint64_t size;
  std::string device;
};

// Ports of sizes 1, 2, 4 from one below to one past each range; memory of sizes 1 to 8 at
// the registers at the start, inside, at the edges and just past each region; interrupts.
json randomStep(std::mt19937_64& rng, const std::vector<Target>& targets) {
  const Target& t = targets[rng() % targets.size()];
  // The kinds of the step table that the target's accesses use.
  std::vector<const StepKind*> kinds;
  for (const StepKind& k : stepKinds())
    if (k.fuzz == FuzzUse::Irq                                        ? t.kind == Target::Irq
        : k.fuzz == FuzzUse::PortRead || k.fuzz == FuzzUse::PortWrite ? t.kind == Target::Port
        : k.fuzz != FuzzUse::None                                     ? t.kind == Target::Memory
                                                                      : false)
      kinds.push_back(&k);
  const StepKind& kind = *kinds[rng() % kinds.size()];
  const bool read = kind.fuzz == FuzzUse::PortRead || kind.fuzz == FuzzUse::MemRead;
  if (t.kind == Target::Irq)
    return {{"op", kind.name}, {"device", t.device}, {"level", static_cast<int>(rng() % 2)}};
  if (t.kind == Target::Port) {
    const uint32_t size = 1u << (rng() % 3);
    const uint64_t port =
        std::min<uint64_t>(t.base + rng() % (t.size + 2) - (t.base ? 1 : 0), 0xffff);
    json s = {{"op", kind.name}, {"port", hexText(port)}, {"size", size}};
    if (!read)
      s["value"] = hexText(rng() & ((uint64_t(1) << 8 * size) - 1));
    s["contract"] = true;
    return s;
  }
  const uint32_t size = rng() % 2 ? 4 : 1 + rng() % 8;
  uint64_t offset = 0;
  switch (rng() % 4) {
  case 0:
    offset = rng() % 64;
    break;
  case 1:
    offset = t.size - 1 - rng() % 8;
    break;
  case 2:
    offset = t.size + rng() % 8;
    break;
  default:
    offset = rng() % t.size;
  }
  json s = {{"op", kind.name}, {"address", hexText(t.base + offset)}, {"size", size}};
  if (!read)
    s["value"] = hexText(size == 8 ? rng() : rng() & ((uint64_t(1) << 8 * size) - 1));
  s["contract"] = true;
  return s;
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
  std::string play(const json& steps) {
    json doc = base_;
    doc["steps"] = steps;
    write(out_ + ".batch.json", doc);
    std::vector<std::string> args = childArgs_;
    args.push_back(out_ + ".batch.json");
    // A file per run: a crashed child's debugger may still hold the previous one.
    const std::string log = out_ + "." + std::to_string(++runs_) + ".log";
    const ChildOutcome o = runSelf(args, log, within(hangMs_));
    const std::string output = readText(log);
    std::remove(log.c_str());
    return findingOf(o, output, hangMs_);
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

  void writeReproducer(const json& steps, const std::string& note) {
    json doc = base_;
    doc["note"] = note;
    doc["steps"] = steps;
    write(out_, doc);
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

} // namespace

const char* fuzzUsage =
    "usage: pdmhost fuzz [--steps M | --seconds N] [--rng N] [--vm-manager PATH]\n"
    "                    [--module PATH] [--out FILE] [--hang-ms MS]\n"
    "       pdmhost fuzz --replay FILE [--vm-manager PATH] [--module PATH] [--hang-ms MS]\n"
    "\n"
    "Random guest accesses against the devices (the built-in sample's, or the VM manager\n"
    "library's): ports of sizes 1, 2 and 4 around each port range, memory accesses of 1 to 8\n"
    "bytes inside, at the edges of and just past each region, interrupt changes. Batches of\n"
    "100 steps run in a child pdmhost. A crash of the VM manager's code, any sanitizer's\n"
    "report, a batch that takes longer than --hang-ms (default 5000), or a status outside\n"
    "the module's contract is a\n"
    "finding: it is shrunk to the fewest steps that still give it and written to --out\n"
    "(default pdmhost-finding.json) as a scenario that --replay plays again. The same --rng\n"
    "number (default 1) gives the same accesses. --steps defaults to 2000.\n"
    "exit status: 0 no finding; 1 a finding (or, with --replay, the fault again); 2 bad usage.\n";

int fuzzMain(int argc, char** argv) {
  uint64_t steps = 2000, seconds = 0, start = 1, hangMs = 5000;
  std::string vmManager, modulePath, out = "pdmhost-finding.json", replay;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool valued = arg == "--steps" || arg == "--seconds" || arg == "--rng" ||
                        arg == "--vm-manager" || arg == "--module" || arg == "--out" ||
                        arg == "--replay" || arg == "--hang-ms";
    if (arg == "--help") {
      std::fputs(fuzzUsage, stdout);
      return 0;
    }
    if (!valued || i + 1 == argc || argv[i + 1][0] == '\0') {
      std::fprintf(stderr,
                   valued ? "pdmhost fuzz: %s needs a value\n"
                          : "pdmhost fuzz: unknown option \"%s\" (pdmhost fuzz --help)\n",
                   arg.c_str());
      return 2;
    }
    const char* value = argv[++i];
    uint64_t* target = arg == "--steps"     ? &steps
                       : arg == "--seconds" ? &seconds
                       : arg == "--rng"     ? &start
                       : arg == "--hang-ms" ? &hangMs
                                            : nullptr;
    if (target && (!number(value, target) || *target > 1000000000)) {
      std::fprintf(stderr, "pdmhost fuzz: %s takes a number up to 1000000000, got \"%s\"\n",
                   arg.c_str(), value);
      return 2;
    }
    if (arg == "--vm-manager")
      vmManager = value;
    else if (arg == "--module")
      modulePath = value;
    else if (arg == "--out")
      out = value;
    else if (arg == "--replay")
      replay = value;
  }
  sanitizersExitDistinctly();
  std::vector<std::string> childArgs{"--quiet", "--in-process"};
  if (!modulePath.empty())
    childArgs.insert(childArgs.end(), {"--module", modulePath});
  if (!vmManager.empty())
    childArgs.insert(childArgs.end(), {"--vm-manager", vmManager});

  if (!replay.empty()) {
    std::vector<std::string> args = childArgs;
    args.push_back(replay);
    const ChildOutcome o = runSelf(args, replay + ".log", within(hangMs));
    const std::string output = readText(replay + ".log");
    std::remove((replay + ".log").c_str());
    std::string finding;
    try {
      finding = findingOf(o, output, static_cast<int>(hangMs));
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
  json base = vmManager.empty() ? json::parse(sampleScenarioJson()) : json::object();
  std::vector<std::string> checkArgs = childArgs;
  checkArgs.insert(checkArgs.end(), {"--check", "--json"});
  const std::string checkLog = out + ".check.log";
  const ChildOutcome checked = runSelf(checkArgs, checkLog, within(hangMs));
  const std::string checkText = readText(checkLog);
  std::remove(checkLog.c_str());
  const json table = json::parse(checkText, nullptr, false);
  if (checked.kind != ChildOutcome::Exited || checked.code != 0 || !table.is_object()) {
    std::fprintf(stderr, "pdmhost fuzz: the devices could not be read (%s):\n%s",
                 checked.kind == ChildOutcome::Exited
                     ? ("exit status " + std::to_string(checked.code)).c_str()
                     : findingOf(checked, "", static_cast<int>(hangMs)).c_str(),
                 checkText.c_str());
    return 2;
  }
  std::vector<Target> targets;
  for (const json& d : table["devices"]) {
    const std::string name = d["name"];
    if (d["serial"]) {
      targets.push_back(Target{Target::Port, d["ioPortBase"], d["ioPortCount"], name});
      continue;
    }
    targets.push_back(Target{Target::Irq, 0, 0, name});
    // A region the host cannot place (size 0, say) is nothing to try.
    for (const json& r : d["regions"])
      if (r["size"] != 0 && r["placed"])
        targets.push_back(Target{Target::Memory, r["at"], r["size"], name});
  }
  if (targets.empty()) {
    std::fprintf(stderr, "pdmhost fuzz: no devices to try\n");
    return 2;
  }

  Fuzzer fuzzer(base, childArgs, out, static_cast<int>(hangMs));
  std::mt19937_64 rng(start);
  const auto began = std::chrono::steady_clock::now();
  uint64_t played = 0;
  for (size_t batch = 1;; ++batch) {
    if (seconds ? std::chrono::steady_clock::now() - began >= std::chrono::seconds(seconds)
                : played >= steps)
      break;
    json batchSteps = json::array();
    for (size_t k = 0; k < BATCH_STEPS && (seconds || played + k < steps); ++k)
      batchSteps.push_back(randomStep(rng, targets));
    played += batchSteps.size();
    const std::string finding = fuzzer.play(batchSteps);
    if (finding.empty())
      continue;
    const int searchRuns = fuzzer.runs();
    const json fewest = fuzzer.shrink(batchSteps, finding);
    const std::string note = "pdmhost fuzz --rng " + std::to_string(start) + ", batch " +
                             std::to_string(batch) + ": " + finding;
    fuzzer.writeReproducer(fewest, note);
    fuzzer.clean();
    std::printf("fuzz: finding in batch %zu (%llu steps played): %s\n"
                "fuzz: shrunk from %zu to %zu steps in %d runs; written to %s\n"
                "fuzz: replay: pdmhost fuzz --replay %s%s%s\n",
                batch, static_cast<unsigned long long>(played), finding.c_str(), batchSteps.size(),
                fewest.size(), fuzzer.runs() - searchRuns, out.c_str(), out.c_str(),
                vmManager.empty() ? "" : " --vm-manager ", vmManager.c_str());
    std::printf("%s\n", fewest.dump(1).c_str());
    return 1;
  }
  fuzzer.clean();
  std::printf("fuzz: %llu steps in %d runs, no finding\n", static_cast<unsigned long long>(played),
              fuzzer.runs());
  return 0;
}

} // namespace pdmhost
