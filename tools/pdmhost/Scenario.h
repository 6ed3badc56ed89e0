// A VM described as data: the device table the VM manager builds and a sequence of guest
// accesses with the values and statuses they should give. pdmhost reads it from JSON and
// plays it against the module through the stand-in host.
#pragma once

#include "tools/pdmhost/HostReleases.h"
#include "tools/pdmhost/Json.h"
#include "tools/pdmhost/Steps.h"
#include "vmmgr/vbox/pdm/VmmgrPdmHostEntry.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace pdmhost {

struct RunState;

/// Limits of what a scenario may ask for, checked when it is read.
constexpr uint64_t PDMHOST_MAX_SCENARIO_BYTES = 64ull << 20;
constexpr uint64_t PDMHOST_MIN_REGION_SIZE = 16;
constexpr uint64_t PDMHOST_MAX_MMIO_REGION_SIZE = 1ull << 40;
constexpr uint64_t PDMHOST_MAX_SHARED_REGION_SIZE = 1ull << 30;
constexpr uint64_t PDMHOST_MAX_SHARED_TOTAL = 16ull << 30;
/// Calls one failHost step may refuse.
constexpr uint32_t PDMHOST_MAX_FAULTS = 1000;

struct ScenarioRegion {
  uint32_t region = 0;
  bool mmio = false;
  uint64_t size = 0;
};

struct ScenarioDevice {
  bool serial = false; ///< a serial port; otherwise a PCI function
  std::string name;
  std::string description;
  uint32_t line = 0; ///< where it stands in the scenario file
  // serial
  uint16_t ioPortBase = 0;
  uint16_t ioPortCount = 0;
  std::optional<uint16_t> failPort;
  // pci
  uint16_t vendorId = 0, deviceId = 0, subsystemVendorId = 0, subsystemId = 0;
  uint8_t revision = 0, progIf = 0, subclass = 0, baseClass = 0;
  uint32_t idRegister = 0;
  std::optional<uint64_t> failOffset;
  std::vector<ScenarioRegion> regions;
};

/// One step: its kind (a row of the step table), where it stands, and its kind's operands.
struct ScenarioStep {
  const StepKind* kind = nullptr;
  uint32_t line = 0;
  std::string note;
  size_t device = 0;      ///< index into Scenario::devices, for kinds that name one
  std::string deviceName; ///< as the scenario names it, until checked
  uint32_t deviceLine = 0;
  StepOperands operands;
};

struct Scenario {
  std::vector<ScenarioDevice> devices;
  std::vector<ScenarioStep> steps;
  uint64_t placementBase = 0xE0000000u;
  int32_t setupStatus = 0; ///< how the set-up is to end: 0, or the status of its refusal
  HostRelease host;        ///< the release the scenario is played against; none: the stand-in
};

/// Parses and checks a scenario; `source` names it in messages. Throws ScenarioError.
/// With `provided` (the devices of a VM manager's own table) the scenario lists no devices
/// and its steps name those.
Scenario parseScenario(const std::string& json, const std::string& source = "scenario",
                       const std::vector<ScenarioDevice>* provided = nullptr);
/// Reads a scenario file (a regular file of at most PDMHOST_MAX_SCENARIO_BYTES) and parses it.
Scenario readScenarioFile(const std::string& path,
                          const std::vector<ScenarioDevice>* provided = nullptr);
/// The built-in sample VM, as JSON (what `pdmhost --print-sample` shows).
const char* sampleScenarioJson();

/// The module's two entries, from a loaded module or linked in.
struct ModuleEntries {
  VmmgrVboxPdmInitFn init = nullptr;
  VmmgrDevicesRegisterFn registerDevices = nullptr;
};

/// A VM manager's own device table, built by its library, which has handed it to the
/// module's init itself (pdmhost --vm-manager).
struct VmManagerTable {
  VmmgrDeviceList* list = nullptr;
  VmmgrSetIrqFn setIrq = nullptr;     ///< what the module handed out
  const XlogLogger* logger = nullptr; ///< what the library handed to init
  int32_t initStatus = 0;
  int calls = 0; ///< how often the library called init
};

/// The devices a table describes (names, ports, IDs, regions), so that a scenario's steps
/// can name them and be checked against them.
std::vector<ScenarioDevice> devicesOfTable(const VmmgrDeviceList& list);

struct RunOptions {
  HostRelease host = standInRelease(); ///< the release the host plays
  bool ownLogger = false;              ///< pass no logger: the module logs with its own
  int logLevel = 2;                    ///< pdmhost's logger enables levels up to this one
  bool quiet = false;      ///< only mismatches, the module's error lines and the summary
  bool trace = false;      ///< every call between host, module and VM manager, in order
  uint32_t stepMs = 10000; ///< a step that takes longer fails
};

/// What one step gave, for the reports.
struct StepRecord {
  size_t number = 0;
  uint32_t line = 0;
  std::string op;     ///< "memRead"
  std::string access; ///< what the step did and got, as its trace line shows it
  bool ok = true;
  std::string mismatch; ///< why not
  std::string note;
  std::string trace; ///< the calls it became
};

struct RunResult {
  int steps = 0;
  int mismatches = 0;
  bool setupFailed = false;
  std::string setupError; ///< the set-up's failure, as printed
  std::vector<StepRecord> records;
};

/// What a run would set up, without running anything: the device table, each region and
/// where it would be placed (pdmhost --check).
void printCheck(const Scenario& scenario, std::FILE* out);
/// The run's last line.
void printSummary(std::FILE* out, size_t devices, const RunResult& result);

/// Reports for CI: JUnit XML (one test case per step; a failed set-up is one failing case)
/// and JSON (the summary and each mismatch). `suite` names the scenario.
std::string junitReport(const std::string& suite, const RunResult& result);
std::string jsonReport(const std::string& suite, size_t devices, const RunResult& result);
/// What --check --json prints: the devices and where each region would be placed.
std::string checkJson(const Scenario& scenario);

/// Calls a VM manager library's entry with the module's init (through a forwarder that
/// notes the table and the interrupt function). False with *error when the entry fails
/// or never calls init.
bool startVmManager(VmmgrPdmHostEntryFn entry, const ModuleEntries& module, RunState& state,
                    VmManagerTable* table, std::string* error);

/// Plays the scenario: init, registration, construction, placement of every region, then
/// each step. Writes a trace to state.out. With `vmManager` the table is the VM manager's,
/// already handed to init. The module's state is process-wide, so one scenario runs per
/// process.
RunResult runScenario(const Scenario& scenario, const ModuleEntries& module, RunState& state,
                      const VmManagerTable* vmManager = nullptr);

} // namespace pdmhost
