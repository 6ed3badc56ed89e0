// The step kinds of a scenario: one table, each row a kind's name, its fields, and the
// functions that read, check and run it. --help's list of steps, the reader's key check
// and the fuzzer's choice of accesses all come from the table.
#pragma once

#include "tools/pdmhost/Pattern.h"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace pdmhost {

class StepFields;
class StepRun;
struct ScenarioDevice;
struct ScenarioStep;

/// What a guest access should give: a status, or any status of the module's contract.
struct Outcome {
  int32_t status = 0;
  bool contract = false;
};
/// An access to a port, to a device's region or configuration space, or to an absolute
/// address; placeRegion's region and address.
struct AccessOperands {
  uint32_t region = 0;
  uint64_t offset = 0;             ///< in the region or configuration space, or the port
  std::optional<uint64_t> address; ///< an absolute guest-physical address instead
  uint32_t size = 0;
  uint64_t value = 0;             ///< written
  std::optional<uint64_t> expect; ///< read
  Outcome outcome;
};
struct LevelOperands {
  int32_t level = 0;
};
/// What was transmitted, or the interrupt levels as "1,0,1".
struct TextOperands {
  std::string text;
};
struct FailOperands {
  int operation = 0; ///< a HostOp
  std::string name;
  int32_t status = 0;
  uint32_t count = 1;
};
struct LogOperands {
  int32_t level = 0;
  std::string text;
  Pattern pattern;
  std::optional<uint32_t> count;
};
struct CallsOperands {
  std::string callback;
  std::optional<uint64_t> where; ///< port or offset
  std::optional<uint32_t> size;
  uint32_t count = 0;
};
using StepOperands = std::variant<AccessOperands, LevelOperands, TextOperands, FailOperands,
                                  LogOperands, CallsOperands>;

/// How the fuzzer may use a kind: not at all, or as an access to a port range, to a
/// region, or to the interrupt line.
enum class FuzzUse { None, PortRead, PortWrite, MemRead, MemWrite, Irq };

struct StepKind {
  const char* name;
  const char* fields; ///< besides "op" and "note", each between spaces
  const char* device; ///< "serial", "pci", "any" (expectCalls: by its callback), or nullptr
  bool regional;      ///< names a region of its device
  FuzzUse fuzz;
  StepOperands (*read)(const StepFields& fields, const StepKind& kind);
  /// Against the step's device, once every device is known; "" or "field: why not".
  std::string (*check)(const ScenarioStep& step, const ScenarioDevice& device);
  void (*run)(const ScenarioStep& step, StepRun& run);
};

/// The table, and its rows by name (nullptr for none).
const std::vector<StepKind>& stepKinds();
const StepKind* stepKind(const std::string& name);
/// "  portRead {port, size, expect, status, contract}" for each kind: --help's list.
std::string stepKindsHelp();

} // namespace pdmhost
