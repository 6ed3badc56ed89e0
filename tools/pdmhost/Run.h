// What one run of a scenario holds: the VM (table, host, models) and the run state (the
// trace, the module's log lines, the callbacks reached, the interrupt history positions).
//
// Threads: the runner thread plays the steps; the VM manager's code may call the interrupt
// function, and so reach the trace, from threads of its own at any time. Everything
// under RunState::lock is shared with those threads; the rest is the runner's alone.
#pragma once

#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/Scenario.h"
#include "tools/pdmhost/Trace.h"
#include "tools/pdmhost/VmTable.h"

#include <map>
#include <mutex>

namespace pdmhost {

struct Logged {
  int level;
  std::string message;
};

struct RunState {
  // Fixed before the module starts; read by every thread.
  RunOptions options;
  std::FILE* out = stdout;
  int showLevel = 2;                       ///< the module's lines up to this level are shown
  std::FILE* events = nullptr;             ///< step events for a supervising parent, or none
  VmmgrVboxPdmInitFn moduleInit = nullptr; ///< what a VM manager's library's init reaches
  VmManagerTable* table = nullptr;         ///< what it handed over, while its entry runs

  // Under `lock`, from any thread.
  std::recursive_mutex lock;
  bool inStep = false;               ///< lines wait for the step's end instead of going out
  int depth = 0;                     ///< of the trace's nesting
  std::string stepTrace;             ///< the current step's calls
  std::vector<Logged> logged;        ///< since the last expectLog
  std::vector<CallbackCall> reached; ///< every callback call, oldest first

  // The runner's alone.
  std::map<std::string, size_t> callsSeen; ///< per expectCalls filter: calls already counted
  std::vector<size_t> irqSeen;             ///< per device: its interrupt events already checked

  /// Forgets what an earlier run left (a scenario against another release, the fuzzer's
  /// previous input).
  void startRun() {
    {
      std::lock_guard<std::recursive_mutex> guard(lock);
      depth = 0;
      stepTrace.clear();
      logged.clear();
      reached.clear();
    }
    callsSeen.clear();
    irqSeen.clear();
  }
};

/// The VM a run plays: pdmhost's own table and models (unused with a VM manager's table),
/// the host, and the table and interrupt function the module was handed.
struct Vm : ModelTable {
  explicit Vm(const HostRelease& release) : host(release) {}
  Host host;
  VmmgrSetIrqFn setIrq = nullptr;
  VmmgrDeviceList* list = nullptr; ///< pdmhost's table, or the VM manager's own

  VmmgrDeviceDesc& entry(size_t i) { return static_cast<VmmgrDeviceDesc*>(list->begin)[i]; }
};

/// One step being run: what its kind's run function uses and reports through.
class StepRun {
public:
  StepRun(const Scenario& scenario, Vm& vm, RunState& state)
      : scenario(scenario), vm(vm), state(state) {}
  const std::string& name(const ScenarioStep& s) const;
  /// The step's device, constructed; otherwise a mismatch and nullptr.
  Device* device(const ScenarioStep& s);
  void describe(const std::string& text) { line = text; }
  void mismatch(const std::string& why);
  /// The status against what the step expects; `own` is the module's failure status.
  void status(int32_t rc, const Outcome& expected, int32_t own);
  /// A value read, when the access ended as expected (otherwise the value means nothing).
  void value(int32_t rc, uint64_t value, const std::optional<uint64_t>& expect,
             const Outcome& expected);

  const Scenario& scenario;
  Vm& vm;
  RunState& state;
  std::string line, detail;
  bool ok = true;
};

/// A run's events for a supervising parent (RunState::events), one JSON object a line:
/// the number of devices, a step's record at its start and its end, the trace lines of the
/// step running, the set-up's failure. eventLine writes one {kind: text}.
void eventLine(RunState& state, const char* kind, const std::string& text);
struct Events {
  size_t devices = 0;
  RunResult result; ///< of the steps that ended, and the last one started
  bool inStep = false;
};
/// What the events of a run say, a line cut short (a crash) left out.
Events readEvents(const std::string& text);

/// A step's line (or its mismatch, note and calls) as the run prints it.
void printRecord(RunState& state, const StepRecord& record);

} // namespace pdmhost
