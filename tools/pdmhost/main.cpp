// pdmhost: plays a VM against the module without VirtualBox. It loads the module, acts as
// the VM manager (device table, callbacks, interrupts) and as the device manager (the
// stand-in host), then drives guest accesses and checks what they give.
#include "tools/pdmhost/ModuleLoader.h"
#include "tools/pdmhost/Scenario.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

const char* usage =
    "usage: pdmhost [options] [SCENARIO.json]\n"
    "\n"
    "Loads the module, builds the device table of a scenario (the built-in sample VM when\n"
    "no file is given), initialises and registers the module, constructs every device,\n"
    "places every PCI region in guest-physical memory, then plays the scenario's steps as\n"
    "guest accesses and checks their values and statuses.\n"
    "\n"
    "options:\n"
    "  --module PATH     the module to load (default: VmmgrVboxPdm beside pdmhost; an\n"
    "                    installed Linux pdmhost also looks in ../lib)\n"
    "  --own-logger      hand the module no logger: it logs with its own (standard output)\n"
    "  --verbose         pdmhost's logger also shows the module's debug lines\n"
    "  --quiet           print only mismatches and the summary\n"
    "  --print-sample    print the built-in sample scenario (a template for your own)\n"
    "  --help            this text\n"
    "\n"
    "Scenario format (JSON): {\"devices\": [...], \"steps\": [...]}\n"
    "  serial device: {\"type\": \"serial\", \"name\", \"description\", \"ioPortBase\", \"ioPortCount\",\n"
    "                  \"failPort\"}  (a UART-like model: transmit at +0, line status at +5)\n"
    "  PCI device:    {\"type\": \"pci\", \"name\", \"description\", \"vendorId\", \"deviceId\",\n"
    "                  \"revision\", \"progIf\", \"subclass\", \"baseClass\", \"subsystemVendorId\",\n"
    "                  \"subsystemId\", \"idRegister\", \"failOffset\",\n"
    "                  \"regions\": [{\"region\": 0, \"mmio\": true, \"size\": 4096}, ...]}\n"
    "                 (MMIO register file: id at 0x0, scratch 0x4, doorbell 0x8 raises the\n"
    "                  interrupt when nonzero, interrupt count 0xc)\n"
    "  steps, each {\"op\": ..., fields; \"status\" is the expected status, default 0}:\n"
    "    portRead {port, size, expect}          portWrite {port, value, size}\n"
    "    memRead {device, region, offset | address, size 1-8, expect}\n"
    "    memWrite {device, region, offset | address, size 1-8, value}\n"
    "    sharedRead / sharedWrite {device, region, offset, size, expect | value}\n"
    "                                           (the VM manager's view of shared memory)\n"
    "    setIrq {device, level}                 (the VM manager calls the interrupt function)\n"
    "    expectIrq {device, level}              expectConfig {device, offset, size, expect}\n"
    "    expectTransmitted {device, text}       placeRegion {device, region, address}\n"
    "  Numbers are integers or strings such as \"0x3f8\". Any field \"note\" is ignored.\n"
    "\n"
    "exit status: 0 all steps as expected, 1 a mismatch or a failed set-up, 2 bad usage,\n"
    "an unreadable scenario or a module that cannot be loaded.\n";

} // namespace

int main(int argc, char** argv) {
  std::string modulePath;
  std::string scenarioPath;
  pdmhost::RunOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    } else if (arg == "--print-sample") {
      std::fputs(pdmhost::sampleScenarioJson(), stdout);
      return 0;
    } else if (arg == "--module" && i + 1 < argc) {
      modulePath = argv[++i];
    } else if (arg == "--own-logger") {
      options.ownLogger = true;
    } else if (arg == "--verbose") {
      options.logLevel = 3;
    } else if (arg == "--quiet") {
      options.quiet = true;
    } else if (!arg.empty() && arg[0] != '-' && scenarioPath.empty()) {
      scenarioPath = arg;
    } else {
      std::fprintf(stderr, "pdmhost: unknown argument \"%s\"\n\n%s", arg.c_str(), usage);
      return 2;
    }
  }

  pdmhost::Scenario scenario;
  try {
    if (scenarioPath.empty()) {
      scenario = pdmhost::parseScenario(pdmhost::sampleScenarioJson());
    } else {
      std::ifstream in(scenarioPath, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "pdmhost: cannot read %s\n", scenarioPath.c_str());
        return 2;
      }
      std::stringstream text;
      text << in.rdbuf();
      scenario = pdmhost::parseScenario(text.str());
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pdmhost: %s: %s\n",
                 scenarioPath.empty() ? "built-in sample" : scenarioPath.c_str(), e.what());
    return 2;
  }

  if (modulePath.empty())
    modulePath = pdmhost::defaultModulePath();
  pdmhost::ModuleEntries module;
  std::string error;
  if (!pdmhost::loadModule(modulePath, &module, &error)) {
    std::fprintf(stderr, "pdmhost: %s\n", error.c_str());
    return 2;
  }
  std::printf("pdmhost: module %s, scenario %s\n", modulePath.c_str(),
              scenarioPath.empty() ? "built-in sample" : scenarioPath.c_str());

  const pdmhost::RunResult result = pdmhost::runScenario(scenario, module, options, stdout);
  std::printf("summary: %zu devices, %d steps, %d mismatches%s\n", scenario.devices.size(),
              result.steps, result.mismatches, result.setupFailed ? ", set-up FAILED" : "");
  std::fflush(stdout);
  return result.mismatches || result.setupFailed ? 1 : 0;
}
