// pdmhost: plays a VM against the module without VirtualBox. It loads the module, acts as
// the VM manager (device table, callbacks, interrupts) and as the device manager (the
// stand-in host), then drives guest accesses and checks what they give.
#include "tools/pdmhost-vbox/VboxCommands.h"
#include "tools/pdmhost/DeviceModels.h"
#include "tools/pdmhost/Fuzz.h"
#include "tools/pdmhost/ModuleLoader.h"
#include "tools/pdmhost/Run.h"
#include "tools/pdmhost/Scenario.h"
#include "tools/pdmhost/Supervise.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const char* usage =
    "usage: pdmhost [options] [SCENARIO.json]\n"
    "       pdmhost --vm-manager LIBRARY [options] [SCENARIO.json]\n"
    "       pdmhost fuzz [--steps M | --seconds N] [--rng N] [--vm-manager LIBRARY] ...\n"
    "               (pdmhost fuzz --help)\n"
    "       pdmhost vbox-config --vm NAME ...   (pdmhost vbox-config --help)\n"
    "       pdmhost check-install PATH          (pdmhost check-install --help)\n"
    "\n"
    "Loads the module, builds the device table of a scenario (the built-in sample VM when\n"
    "no file is given), initialises and registers the module, constructs every device,\n"
    "places every PCI region in guest-physical memory, then plays the scenario's steps as\n"
    "guest accesses and checks their values and statuses.\n"
    "\n"
    "options:\n"
    "  --module PATH     the module to load (default: VmmgrVboxPdm beside pdmhost; an\n"
    "                    installed Linux pdmhost also looks in ../lib)\n"
    "  --vm-manager PATH the VM manager's device library: pdmhost calls its entry\n"
    "                    vmmgrPdmHostEntry (vmmgr/vbox/pdm/VmmgrPdmHostEntry.h) with the\n"
    "                    module's init, and the library's table replaces the scenario's\n"
    "                    devices (the scenario then lists none; without one, pdmhost only\n"
    "                    registers, constructs and places)\n"
    "  --host RELEASES   the VirtualBox release(s) the host plays, comma-separated (e.g.\n"
    "                    5.1.22,6.0,7.2.2); the scenario is played once against each.\n"
    "                    Default: the scenario's \"host\", else the stand-in. Known:\n"
    "%s"
    "  --own-logger      hand the module no logger: it logs with its own (standard output)\n"
    "  --verbose         pdmhost's logger also shows the module's debug lines\n"
    "  --trace           show every call the host makes into the module, every callback\n"
    "                    the module makes into the VM manager and every interrupt change,\n"
    "                    in order (a step that mismatches shows its calls anyway)\n"
    "  --check           read the scenario (and the library's table), print the devices,\n"
    "                    regions and placements the run would make, and run nothing\n"
    "  --report FILE     also write a JUnit XML report: one test case per step, a failure\n"
    "                    carrying the step's mismatch, note and calls\n"
    "  --json            print the summary and each mismatch as JSON, and nothing else\n"
    "                    (with --check: the devices and where each region would be placed)\n"
    "  --quiet           print only mismatches (with the module's lines of their step) and\n"
    "                    the summary\n"
    "  --step-ms MS      a step (or the set-up) that takes longer fails and ends the run\n"
    "                    (default 10000)\n"
    "  --in-process      play in this process: no step time limit, and a crash of the VM\n"
    "                    manager's code ends pdmhost without its reports (by default a child\n"
    "                    pdmhost plays and this one keeps the record and writes the reports)\n"
    "  --print-sample    print the built-in sample scenario (a template for your own)\n"
    "  --help            this text\n"
    "\n"
    "Scenario format: docs/pdmhost.md, or --print-sample for a template. Numbers are JSON\n"
    "integers or strings in decimal or \"0x\" hex; a scenario file is a regular file of at\n"
    "most %llu MiB; at most %zu serial and %zu PCI devices.\n"
    "  top level: devices, steps, placementBase, setupStatus, host, note\n"
    "  devices: serial {name, description, ioPortBase, ioPortCount, failPort}\n"
    "           pci {name, description, vendorId, deviceId, revision, progIf, subclass,\n"
    "                baseClass, subsystemVendorId, subsystemId, idRegister, failOffset,\n"
    "                regions: [{region, mmio, size}]}\n"
    "  steps (\"op\" and the fields it takes; any step: note):\n%s"
    "\n"
    "exit status: 0 every step as expected; 1 a mismatch or a failed set-up; 2 bad usage, a\n"
    "bad scenario (one line names file, line and field) or a module that cannot be loaded.\n";

// The JSON summary (on standard output) and the JUnit report; false when the report
// cannot be written.
bool writeReports(const std::string& suite, size_t devices, const pdmhost::RunResult& result,
                  bool json, const std::string& reportPath) {
  if (json)
    std::fputs(pdmhost::jsonReport(suite, devices, result).c_str(), stdout);
  if (reportPath.empty())
    return true;
  std::FILE* report = std::fopen(reportPath.c_str(), "wb");
  const std::string xml = pdmhost::junitReport(suite, result);
  if (!report || std::fwrite(xml.data(), 1, xml.size(), report) != xml.size() ||
      std::fclose(report) != 0) {
    std::fprintf(stderr, "pdmhost: cannot write the report %s: %s\n", reportPath.c_str(),
                 std::strerror(errno));
    return false;
  }
  return true;
}

int run(int argc, char** argv) {
  std::string modulePath;
  std::string vmManagerPath;
  std::string scenarioPath;
  std::string reportPath;
  std::string eventsPath;
  std::string stepMs;
  std::string hostList;
  bool json = false, check = false, inProcess = false, verbose = false;
  pdmhost::RunState state;
  pdmhost::RunOptions& options = state.options;
  const struct {
    const char* name;
    std::string* value;
    const char* what;
  } valued[] = {{"--module", &modulePath, "the path of the module"},
                {"--vm-manager", &vmManagerPath, "the path of the VM manager's library"},
                {"--report", &reportPath, "the path of the JUnit XML file to write"},
                {"--step-ms", &stepMs, "milliseconds from 1 to 3600000"},
                {"--host", &hostList, "a release (pdmhost --help lists them)"},
                {"--events", &eventsPath, "a file"}};
  const struct {
    const char* name;
    bool* value;
  } flags[] = {{"--own-logger", &options.ownLogger},
               {"--verbose", &verbose},
               {"--check", &check},
               {"--json", &json},
               {"--trace", &options.trace},
               {"--quiet", &options.quiet},
               {"--in-process", &inProcess}};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto flag = std::find_if(std::begin(flags), std::end(flags),
                                   [&](const auto& f) { return arg == f.name; });
    const auto option = std::find_if(std::begin(valued), std::end(valued),
                                     [&](const auto& v) { return arg == v.name; });
    if (arg == "--help" || arg == "-h") {
      std::printf(usage, pdmhost::releaseNames(std::string(20, ' ')).c_str(),
                  static_cast<unsigned long long>(pdmhost::PDMHOST_MAX_SCENARIO_BYTES >> 20),
                  pdmhost::PDMHOST_MAX_MODELS, pdmhost::PDMHOST_MAX_MODELS,
                  pdmhost::stepKindsHelp().c_str());
      return 0;
    } else if (arg == "--print-sample") {
      std::fputs(pdmhost::sampleScenarioJson(), stdout);
      return 0;
    } else if (flag != std::end(flags)) {
      *flag->value = true;
    } else if (option != std::end(valued)) {
      if (i + 1 == argc || argv[i + 1][0] == '\0') {
        std::fprintf(stderr, "pdmhost: %s needs %s\n", option->name, option->what);
        return 2;
      }
      *option->value = argv[++i];
    } else if (arg.empty() || arg[0] == '-') {
      std::fprintf(stderr, "pdmhost: unknown option \"%s\" (pdmhost --help lists them)\n",
                   arg.c_str());
      return 2;
    } else if (!scenarioPath.empty()) {
      std::fprintf(stderr, "pdmhost: one scenario at a time (\"%s\" and \"%s\")\n",
                   scenarioPath.c_str(), arg.c_str());
      return 2;
    } else {
      scenarioPath = arg;
    }
  }

  options.logLevel = verbose ? 3 : options.logLevel;
  uint32_t ms = options.stepMs;
  const char* last = stepMs.data() + stepMs.size();
  const auto [stop, bad] = std::from_chars(stepMs.data(), last, ms);
  if ((!stepMs.empty() && (bad != std::errc() || stop != last)) || ms < 1 || ms > 3600000) {
    std::fprintf(stderr, "pdmhost: --step-ms needs milliseconds from 1 to 3600000, got \"%s\"\n",
                 stepMs.c_str());
    return 2;
  }
  options.stepMs = ms;
  std::vector<pdmhost::HostRelease> hosts;
  for (size_t at = 0; !hostList.empty() && at <= hostList.size();) {
    const size_t comma = std::min(hostList.find(',', at), hostList.size());
    pdmhost::HostRelease release;
    std::string why;
    if (!pdmhost::findRelease(hostList.substr(at, comma - at), &release, &why)) {
      std::fprintf(stderr, "pdmhost: --host: %s", why.c_str());
      return 2;
    }
    hosts.push_back(release);
    at = comma + 1;
  }
  if (json && options.trace) {
    std::fprintf(stderr, "pdmhost: --json with --trace: the JSON holds no trace; --report's "
                         "failures carry the calls of their step\n");
    return 2;
  }
  if (json && options.ownLogger) {
    std::fprintf(stderr, "pdmhost: --json with --own-logger: the module's own lines would go "
                         "into the JSON\n");
    return 2;
  }
  const std::string suite = !scenarioPath.empty()    ? scenarioPath
                            : !vmManagerPath.empty() ? vmManagerPath
                                                     : "built-in sample";
  if (!check && !inProcess && eventsPath.empty()) {
    // The same arguments for the child, but the reports, which this process writes.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
      const std::string arg = argv[i];
      if (arg == "--report")
        ++i;
      else if (arg != "--json")
        args.push_back(arg);
    }
    const pdmhost::Supervised s = pdmhost::superviseRun(args, json, options.stepMs);
    if (s.exitStatus == 2)
      return 2;
    return writeReports(suite, s.devices, s.result, json, reportPath) ? s.exitStatus : 2;
  }
  if (!eventsPath.empty() && !(state.events = std::fopen(eventsPath.c_str(), "wb"))) {
    std::fprintf(stderr, "pdmhost: cannot write %s: %s\n", eventsPath.c_str(),
                 std::strerror(errno));
    return 2;
  }

  // With --json the JSON is all standard output holds; the human output goes nowhere.
  std::FILE* human = json ? std::tmpfile() : stdout;
  if (!human) {
    std::fprintf(stderr, "pdmhost: --json: no temporary file for the human output\n");
    return 2;
  }
  state.out = human;
  if (modulePath.empty())
    modulePath = pdmhost::defaultModulePath();
  pdmhost::ModuleEntries module;
  std::string error;
  if (!pdmhost::loadModule(modulePath, &module, &error)) {
    std::fprintf(stderr, "pdmhost: %s\n", error.c_str());
    return 2;
  }
  VmmgrPdmHostEntryFn vmManagerEntry = nullptr;
  if (!vmManagerPath.empty() && !pdmhost::loadVmManager(vmManagerPath, &vmManagerEntry, &error)) {
    std::fprintf(stderr, "pdmhost: %s\n", error.c_str());
    return 2;
  }
  const auto header = [&] {
    if (!options.quiet)
      std::fprintf(human, "pdmhost: module %s%s%s, scenario %s\n", modulePath.c_str(),
                   vmManagerPath.empty() ? "" : ", VM manager ", vmManagerPath.c_str(),
                   !scenarioPath.empty() ? scenarioPath.c_str()
                   : vmManagerEntry      ? "none (set-up only)"
                                         : "built-in sample");
  };

  // The VM manager's library hands its table to the module first, as in production; the
  // scenario's steps are then checked against that table.
  pdmhost::VmManagerTable vmManager;
  std::vector<pdmhost::ScenarioDevice> provided;
  pdmhost::RunResult result;
  pdmhost::Scenario scenario;
  if (vmManagerEntry) {
    header();
    if (!pdmhost::startVmManager(vmManagerEntry, module, state, &vmManager, &error)) {
      std::fprintf(human, "setup failed: %s\n", error.c_str());
      result.setupFailed = true;
      result.setupError = error;
      if (state.events)
        pdmhost::eventLine(state, "setupFailed", error);
    } else {
      provided = pdmhost::devicesOfTable(*vmManager.list);
    }
  }
  if (!result.setupFailed) {
    try {
      if (!scenarioPath.empty())
        scenario = pdmhost::readScenarioFile(scenarioPath, vmManagerEntry ? &provided : nullptr);
      else if (vmManagerEntry)
        scenario = pdmhost::parseScenario("{}", "no scenario", &provided);
      else
        scenario = pdmhost::parseScenario(pdmhost::sampleScenarioJson(), "built-in sample");
    } catch (const pdmhost::ScenarioError& e) {
      std::fflush(human);
      std::fprintf(stderr, "pdmhost: %s\n", e.what());
      return 2;
    }
    if (!vmManagerEntry)
      header();
    if (state.events)
      pdmhost::eventLine(state, "devices", std::to_string(scenario.devices.size()));
    if (check) {
      if (json)
        std::fputs(pdmhost::checkJson(scenario).c_str(), stdout);
      else
        pdmhost::printCheck(scenario, human);
      return 0;
    }
    if (hosts.empty())
      hosts.push_back(scenario.host.profile ? scenario.host : pdmhost::standInRelease());
    // Each release is one run of its own; with several, each says how it went.
    for (const pdmhost::HostRelease& host : hosts) {
      options.host = host;
      if (hosts.size() > 1)
        std::fprintf(human, "host: %s (%s)\n", host.name.c_str(), host.profile->name);
      const pdmhost::RunResult one =
          pdmhost::runScenario(scenario, module, state, vmManagerEntry ? &vmManager : nullptr);
      if (hosts.size() > 1)
        std::fprintf(human, "host %s: %d steps, %d mismatches%s\n", host.name.c_str(), one.steps,
                     one.mismatches, one.setupFailed ? ", set-up FAILED" : "");
      result.steps += one.steps;
      result.mismatches += one.mismatches;
      result.setupFailed = result.setupFailed || one.setupFailed;
      if (one.setupFailed)
        result.setupError = one.setupError;
      result.records.insert(result.records.end(), one.records.begin(), one.records.end());
    }
  }
  pdmhost::printSummary(human, scenario.devices.size(), result);
  std::fflush(human);
  if (!writeReports(suite, scenario.devices.size(), result, json, reportPath))
    return 2;
  std::fflush(stdout);
  return result.mismatches || result.setupFailed ? 1 : 0;
}

// "pdmhost NAME ...": each takes the whole command line.
struct Subcommand {
  const char* name;
  int (*main)(int argc, char** argv);
};
const Subcommand SUBCOMMANDS[] = {
    {"fuzz", pdmhost::fuzzMain},
    {"vbox-config", pdmhost::vboxConfigMain},
    {"check-install", pdmhost::checkInstallMain},
};

} // namespace

int main(int argc, char** argv) {
  // Whatever escapes (memory exhausted, a failure of the system) still ends in one line.
  try {
    for (const Subcommand& c : SUBCOMMANDS)
      if (argc > 1 && std::strcmp(argv[1], c.name) == 0)
        return c.main(argc, argv);
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "pdmhost: %s\n", e.what());
    return 2;
  }
}
