// pdmhost fuzz's one generator of guest accesses: bytes read as a sequence of steps of the
// step table. The random mode feeds it random bytes; the coverage mode, libFuzzer's inputs;
// the coverage mode's parent, the input a finding came from.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace pdmhost {

/// The most steps one input of the coverage mode becomes (a random batch has 100), and the
/// most bytes libFuzzer makes an input of.
constexpr size_t FUZZ_INPUT_STEPS = 16, FUZZ_MAX_INPUT = 256;
/// The coverage mode's history: its last inputs, each in a slot of a size and the bytes.
constexpr size_t FUZZ_HISTORY = 1024, FUZZ_SLOT = 8 + FUZZ_MAX_INPUT;

struct FuzzTarget {
  enum Kind { Port, Memory, Irq } kind;
  uint64_t base;
  uint64_t size;
  std::string device;
};

/// What a guest can reach, from what `pdmhost --check --json` prints: each device's port
/// range or interrupt line and each region placed (one of size 0 is nothing to try).
std::vector<FuzzTarget> fuzzTargets(const nlohmann::ordered_json& check);

struct StepKind;
/// One guest access: to a port, to an absolute address, or an interrupt level (`where`).
struct FuzzAccess {
  const StepKind* kind;
  const FuzzTarget* target;
  uint64_t where;
  uint32_t size;
  uint64_t value;
};

/// Up to maxSteps accesses read from `bytes` (fewer when they run out). `seen` holds values
/// the devices returned on earlier reads, for the written values.
std::vector<FuzzAccess> decodeAccesses(const std::string& bytes,
                                       const std::vector<FuzzTarget>& targets,
                                       const std::vector<uint64_t>& seen, size_t maxSteps);
/// The accesses as a scenario's steps.
nlohmann::ordered_json stepsJson(const std::vector<FuzzAccess>& accesses);

/// The coverage mode's child, in the pdmhost the fuzz preset builds (FuzzCoverage.cpp):
/// loads the libraries, then runs libFuzzer with libFuzzerArgs, each input also written
/// to the history file.
int coverageDriver(const std::string& modulePath, const std::string& vmManagerPath,
                   const std::string& historyPath, std::vector<std::string> libFuzzerArgs);

} // namespace pdmhost
