// A VM described as data: the device table the VM manager builds and a sequence of guest
// accesses with the values and statuses they should give. pdmhost reads it from JSON and
// plays it against the module through the stand-in host.
#pragma once

#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pdmhost {

struct ScenarioRegion {
  uint32_t region = 0;
  bool mmio = false;
  uint64_t size = 0;
};

struct ScenarioDevice {
  std::string type; ///< "serial" or "pci"
  std::string name;
  std::string description;
  // serial
  uint16_t ioPortBase = 0;
  uint16_t ioPortCount = 0;
  int failPort = -1;
  // pci
  uint16_t vendorId = 0, deviceId = 0, subsystemVendorId = 0, subsystemId = 0;
  uint8_t revision = 0, progIf = 0, subclass = 0, baseClass = 0;
  uint32_t idRegister = 0;
  int64_t failOffset = -1;
  std::vector<ScenarioRegion> regions;
};

struct ScenarioStep {
  std::string op;
  std::string device;
  uint32_t region = 0;
  uint64_t offset = 0;
  std::optional<uint64_t> address;
  uint16_t port = 0;
  uint32_t size = 4;
  uint64_t value = 0;
  std::optional<uint64_t> expect;
  int32_t status = 0;
  int32_t level = 0;
  std::string text;
};

struct Scenario {
  std::vector<ScenarioDevice> devices;
  std::vector<ScenarioStep> steps;
  uint64_t placementBase = 0xE0000000u;
};

/// Parses a scenario; throws std::runtime_error with a readable message on bad input.
Scenario parseScenario(const std::string& json);
/// The built-in sample VM, as JSON (what `pdmhost --print-sample` shows).
const char* sampleScenarioJson();

/// The module's two entries, from a loaded module or linked in.
struct ModuleEntries {
  VmmgrVboxPdmInitFn init = nullptr;
  VmmgrDevicesRegisterFn registerDevices = nullptr;
};

struct RunOptions {
  bool ownLogger = false; ///< pass no logger: the module logs with its own
  int logLevel = 2;       ///< pdmhost's logger enables levels up to this one
  bool quiet = false;     ///< only mismatches and the summary
};

struct RunResult {
  int steps = 0;
  int mismatches = 0;
  bool setupFailed = false;
};

/// Plays the scenario: init, registration, construction, placement of every region, then
/// each step. Writes a trace to `out`. The module's state is process-wide, so one
/// scenario runs per process.
RunResult runScenario(const Scenario& scenario, const ModuleEntries& module,
                      const RunOptions& options, std::FILE* out);

} // namespace pdmhost
