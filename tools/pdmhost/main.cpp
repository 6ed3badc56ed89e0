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
#include <map>
#include <string>
#include <vector>

namespace {

// pdmhost's options and their --help lines. A valued option's help starts with what it
// takes, which a missing value's message names (up to " (").
struct Option {
  const char* name;
  const char* arg; ///< nullptr: a flag
  const char* help;
};
const Option OPTIONS[] = {
    {"--module", "PATH", "the path of the module (default: beside pdmhost, or ../lib)"},
    {"--vm-manager", "PATH", "the path of the VM manager's library (its entry: vmmgrPdmHostEntry)"},
    {"--host", "RELEASES", "a release (or several, comma-separated) the host plays; known:"},
    {"--own-logger", nullptr, "hand the module no logger: it logs with its own"},
    {"--verbose", nullptr, "pdmhost's logger also shows the module's debug lines"},
    {"--trace", nullptr, "show every call between host, module and VM manager, in order"},
    {"--check", nullptr, "print the devices, regions and placements of a run; run nothing"},
    {"--report", "FILE", "the path of the JUnit XML file to write (a test case a step)"},
    {"--json", nullptr, "print the summary and each mismatch as JSON, and nothing else"},
    {"--quiet", nullptr, "print only mismatches (with their module lines) and the summary"},
    {"--step-ms", "MS", "milliseconds from 1 to 3600000 (default 10000) a step may take"},
    {"--in-process", nullptr, "play in this process: no time limit; a crash loses the reports"},
    {"--print-sample", nullptr, "print the built-in sample scenario (a template for your own)"},
    {"--help", nullptr, "this text"},
};

void printUsage() {
  std::fputs("usage: pdmhost [options] [SCENARIO.json]\n"
             "       pdmhost --vm-manager LIBRARY [options] [SCENARIO.json]\n"
             "       pdmhost fuzz ...            (pdmhost fuzz --help)\n"
             "       pdmhost vbox-config ...     (pdmhost vbox-config --help)\n"
             "       pdmhost check-install PATH  (pdmhost check-install --help)\n\n"
             "Plays a scenario (or the built-in sample VM) against the module: registration,\n"
             "construction, placement, then each step as a guest access, checked.\n\noptions:\n",
             stdout);
  for (const Option& o : OPTIONS) {
    std::printf("  %-17s %s\n", (std::string(o.name) + " " + (o.arg ? o.arg : "")).c_str(), o.help);
    if (std::strcmp(o.name, "--host") == 0)
      std::fputs(pdmhost::releaseNames(std::string(20, ' ')).c_str(), stdout);
  }
  std::printf(
      "\nScenario format: docs/pdmhost.md, or --print-sample for a template. Numbers are JSON\n"
      "integers or strings in decimal or \"0x\" hex; a scenario file is a regular file of at\n"
      "most %llu MiB; at most %zu serial and %zu PCI devices.\n"
      "  top level: devices, steps, placementBase, setupStatus, host, note\n"
      "  devices: serial {name, description, ioPortBase, ioPortCount, failPort}\n"
      "           pci {name, description, vendorId, deviceId, revision, progIf, subclass,\n"
      "                baseClass, subsystemVendorId, subsystemId, idRegister, failOffset,\n"
      "                regions: [{region, mmio, size}]}\n"
      "  steps (\"op\" and the fields it takes; any step: note):\n%s\n"
      "exit status: 0 every step as expected; 1 a mismatch or a failed set-up; 2 bad usage, a\n"
      "bad scenario (one line names file, line and field) or a module that cannot be loaded.\n",
      static_cast<unsigned long long>(pdmhost::PDMHOST_MAX_SCENARIO_BYTES >> 20),
      pdmhost::PDMHOST_MAX_MODELS, pdmhost::PDMHOST_MAX_MODELS, pdmhost::stepKindsHelp().c_str());
}

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

int fail(const std::string& why) {
  std::fflush(stdout);
  std::fprintf(stderr, "pdmhost: %s\n", why.c_str());
  return 2;
}

int run(int argc, char** argv) {
  std::map<std::string, std::string> given; // the options met, with their values
  std::string scenarioPath, eventsPath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const Option* o = std::find_if(std::begin(OPTIONS), std::end(OPTIONS),
                                   [&](const Option& o) { return arg == o.name; });
    if (arg == "--events" && i + 1 < argc) { // from a supervising pdmhost
      eventsPath = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      printUsage();
      return 0;
    } else if (arg == "--print-sample") {
      std::fputs(pdmhost::sampleScenarioJson(), stdout);
      return 0;
    } else if (o != std::end(OPTIONS)) {
      if (o->arg && (i + 1 == argc || argv[i + 1][0] == '\0'))
        return fail(arg + " needs " + std::string(o->help, std::strcspn(o->help, "(") - 1));
      given[arg] = o->arg ? argv[++i] : "";
    } else if (arg.empty() || arg[0] == '-') {
      return fail("unknown option \"" + arg + "\" (pdmhost --help lists them)");
    } else if (!scenarioPath.empty()) {
      return fail("one scenario at a time (\"" + scenarioPath + "\" and \"" + arg + "\")");
    } else {
      scenarioPath = arg;
    }
  }
  const auto has = [&](const char* name) { return given.count(name) != 0; };
  const bool json = has("--json"), check = has("--check");
  std::string modulePath = given["--module"], vmManagerPath = given["--vm-manager"];
  const std::string reportPath = given["--report"];
  pdmhost::RunState state;
  pdmhost::RunOptions& options = state.options;
  options.ownLogger = has("--own-logger");
  options.trace = has("--trace");
  options.quiet = has("--quiet");
  options.logLevel = has("--verbose") ? 3 : options.logLevel;
  const std::string& stepMs = given["--step-ms"];
  const char* last = stepMs.data() + stepMs.size();
  const auto [stop, bad] = std::from_chars(stepMs.data(), last, options.stepMs);
  if ((!stepMs.empty() && (bad != std::errc() || stop != last)) || options.stepMs < 1 ||
      options.stepMs > 3600000)
    return fail("--step-ms needs milliseconds from 1 to 3600000, got \"" + stepMs + "\"");
  std::vector<pdmhost::HostRelease> hosts;
  const std::string& hostList = given["--host"];
  for (size_t at = 0; !hostList.empty() && at <= hostList.size();) {
    const size_t comma = std::min(hostList.find(',', at), hostList.size());
    std::string why;
    if (!pdmhost::findRelease(hostList.substr(at, comma - at), &hosts.emplace_back(), &why)) {
      std::fprintf(stderr, "pdmhost: --host: %s", why.c_str());
      return 2;
    }
    at = comma + 1;
  }
  if (json && options.trace)
    return fail("--json with --trace: the JSON holds no trace; --report's failures carry the "
                "calls of their step");
  if (json && options.ownLogger)
    return fail("--json with --own-logger: the module's own lines would go into the JSON");
  const std::string suite = !scenarioPath.empty()    ? scenarioPath
                            : !vmManagerPath.empty() ? vmManagerPath
                                                     : "built-in sample";
  if (!check && !has("--in-process") && eventsPath.empty()) {
    // The same arguments for the child, but the reports, which this process writes.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
      if (std::strcmp(argv[i], "--report") == 0)
        ++i;
      else if (std::strcmp(argv[i], "--json") != 0)
        args.push_back(argv[i]);
    const pdmhost::Supervised s = pdmhost::superviseRun(args, json, options.stepMs);
    if (s.exitStatus == 2)
      return 2;
    return writeReports(suite, s.devices, s.result, json, reportPath) ? s.exitStatus : 2;
  }
  if (!eventsPath.empty() && !(state.events = std::fopen(eventsPath.c_str(), "wb")))
    return fail("cannot write " + eventsPath + ": " + std::strerror(errno));
  // With --json the JSON is all standard output holds; the human output goes nowhere.
  std::FILE* human = state.out = json ? std::tmpfile() : stdout;
  if (!human)
    return fail("--json: no temporary file for the human output");
  if (modulePath.empty())
    modulePath = pdmhost::defaultModulePath();
  pdmhost::ModuleEntries module;
  VmmgrPdmHostEntryFn vmManagerEntry = nullptr;
  std::string error;
  if (!pdmhost::loadModule(modulePath, &module, &error) ||
      (!vmManagerPath.empty() && !pdmhost::loadVmManager(vmManagerPath, &vmManagerEntry, &error)))
    return fail(error);
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
  if (vmManagerEntry)
    header();
  if (vmManagerEntry &&
      !pdmhost::startVmManager(vmManagerEntry, module, state, &vmManager, &error)) {
    result.setupFailed = true;
    result.setupError = error;
    std::fprintf(human, "setup failed: %s\n", error.c_str());
    if (state.events)
      pdmhost::eventLine(state, "setupFailed", error);
  } else if (vmManagerEntry) {
    provided = pdmhost::devicesOfTable(*vmManager.list);
  }
  if (!result.setupFailed) {
    try {
      if (!scenarioPath.empty())
        scenario = pdmhost::readScenarioFile(scenarioPath, vmManagerEntry ? &provided : nullptr);
      else
        scenario = vmManagerEntry
                       ? pdmhost::parseScenario("{}", "no scenario", &provided)
                       : pdmhost::parseScenario(pdmhost::sampleScenarioJson(), "built-in sample");
    } catch (const pdmhost::ScenarioError& e) {
      std::fflush(human);
      return fail(e.what());
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
      result.setupError = one.setupFailed ? one.setupError : result.setupError;
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
    return fail(e.what());
  }
}
