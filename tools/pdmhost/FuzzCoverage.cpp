// pdmhost fuzz --coverage's child: the libraries loaded, the VM manager's table handed over
// and the VM set up once, before libFuzzer starts (so that their coverage counters count
// and an input costs only its accesses); then each input's accesses played through the
// module, as the steps of a scenario are.
#include "tools/pdmhost/FuzzInput.h"
#include "tools/pdmhost/ModuleLoader.h"
#include "tools/pdmhost/Run.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace pdmhost {

extern "C" int LLVMFuzzerRunDriver(int* argc, char*** argv,
                                   int (*callback)(const uint8_t* data, size_t size));

namespace {

struct Driver {
  ModuleEntries module;
  VmManagerTable table;
  RunState state;
  Scenario scenario; // the devices, no steps
  std::unique_ptr<Vm> vm;
  std::vector<FuzzTarget> targets;
  unsigned long long steps = 0;
  uint8_t* history = nullptr; // a count, then FUZZ_HISTORY slots of a size and an input
};
Driver* driver;

int playInput(const uint8_t* data, size_t size) {
  Driver& d = *driver;
  d.state.startRun(); // what the last input's calls left to check
  // The input into the history file's next slot: a memory copy, and in the file even when
  // this process dies on it.
  uint64_t& count = *reinterpret_cast<uint64_t*>(d.history);
  uint8_t* slot = d.history + 8 + count++ % FUZZ_HISTORY * FUZZ_SLOT;
  const uint64_t kept = std::min<uint64_t>(size, FUZZ_SLOT - 8);
  std::memcpy(slot, &kept, 8);
  std::memcpy(slot + 8, data, kept);
  for (const FuzzAccess& a : decodeAccesses(std::string(reinterpret_cast<const char*>(data), size),
                                            d.targets, {}, FUZZ_INPUT_STEPS)) {
    ScenarioStep step;
    step.kind = a.kind;
    if (a.target->kind == FuzzTarget::Irq) {
      while (d.scenario.devices[step.device].name != a.target->device)
        ++step.device;
      step.operands = LevelOperands{static_cast<int32_t>(a.where)};
    } else {
      AccessOperands m;
      if (a.target->kind == FuzzTarget::Port)
        m.offset = a.where;
      else
        m.address = a.where;
      m.size = a.size;
      m.value = a.value;
      m.outcome.contract = true;
      step.operands = m;
    }
    StepRun run(d.scenario, *d.vm, d.state);
    a.kind->run(step, run);
    ++d.steps;
    if (!run.ok) {
      std::fprintf(stderr, "fuzz: %s: %s\n", run.line.c_str(), run.detail.c_str());
      std::abort(); // libFuzzer keeps the input
    }
  }
  return 0;
}

} // namespace

int coverageDriver(const std::string& modulePath, const std::string& vmManagerPath,
                   const std::string& historyPath, std::vector<std::string> libFuzzerArgs) {
  static Driver d;
  driver = &d;
  const size_t historySize = 8 + FUZZ_HISTORY * FUZZ_SLOT;
  const int fd = open(historyPath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  void* map = fd < 0 || ftruncate(fd, historySize) != 0
                  ? MAP_FAILED
                  : mmap(nullptr, historySize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (fd >= 0)
    close(fd);
  if (map == MAP_FAILED) {
    std::fprintf(stderr, "pdmhost fuzz: cannot write %s\n", historyPath.c_str());
    return 2;
  }
  d.history = static_cast<uint8_t*>(map);
  d.state.options.logLevel = -1; // none of the module's lines: a finding is a status
  std::string error;
  VmmgrPdmHostEntryFn entry = nullptr;
  if (vmManagerPath.empty())
    error = "--coverage needs --vm-manager: the library whose coverage guides the search";
  else if (loadModule(modulePath.empty() ? defaultModulePath() : modulePath, &d.module, &error) &&
           loadVmManager(vmManagerPath, &entry, &error) &&
           startVmManager(entry, d.module, d.state, &d.table, &error)) {
    const std::vector<ScenarioDevice> devices = devicesOfTable(*d.table.list);
    d.scenario = parseScenario("{}", "devices", &devices);
    d.targets = fuzzTargets(nlohmann::ordered_json::parse(checkJson(d.scenario)));
    d.vm = std::make_unique<Vm>(d.state.options.host);
    Vm& vm = *d.vm;
    vm.list = d.table.list;
    vm.setIrq = d.table.setIrq;
    // Registration, construction and placement, as a run's set-up does them.
    int32_t rc = d.module.registerDevices(vm.host.callbacks(), vm.host.release().vboxVersion);
    for (size_t i = 0; rc >= 0 && i < vm.host.devices().size(); ++i)
      rc = vm.host.construct(i);
    if (rc >= 0)
      rc = vm.host.placeAllRegions(d.scenario.placementBase);
    if (rc < 0)
      error = "the VM's set-up failed: " + hostStatusText(rc);
  }
  if (!error.empty() || d.targets.empty()) {
    std::fprintf(stderr, "pdmhost fuzz: %s\n", error.empty() ? "no devices to try" : error.c_str());
    return 2;
  }
  std::atexit([] { std::fprintf(stderr, "fuzz: coverage: %llu steps\n", driver->steps); });
  std::vector<char*> argv{const_cast<char*>("pdmhost")};
  for (std::string& a : libFuzzerArgs)
    argv.push_back(a.data());
  int argc = static_cast<int>(argv.size());
  char** args = argv.data();
  return LLVMFuzzerRunDriver(&argc, &args, playInput);
}

} // namespace pdmhost
