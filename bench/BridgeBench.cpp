// Cost of forwarding a guest access through the bridge, against the VM manager's callback
// called straight through a function pointer (what a host without the bridge would do).
//
//   BridgeBench                      Google Benchmark timings and the time each path adds
//   BridgeBench --count-loop PATH N [HELPERS]
//                                    N accesses of one path (mmio-read, mmio-write), for
//                                    scripts/count-instructions.sh (valgrind --tool=callgrind),
//                                    on pdmhost or on a host of the release whose helper
//                                    table has that version word (0xffe70430: 7.2)
//   BridgeBench --list-hosts         the helper-table versions of the releases served
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/VmTable.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdmInternal.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

namespace {

// A VM manager's register file: a bounds check and a copy of the access's size.
alignas(8) uint8_t registers[4096];

int32_t registerRead(uint64_t offset, void* buffer, uint32_t size) {
  if (offset > sizeof registers - size)
    return 1;
  std::memcpy(buffer, registers + offset, size == 8 ? 8 : 4);
  return 0;
}

int32_t registerWrite(uint64_t offset, const void* buffer, uint32_t size) {
  if (offset > sizeof registers - size)
    return 1;
  std::memcpy(registers + offset, buffer, 4);
  return 0;
}

uint32_t ports[8];
int32_t portRead(uint16_t port, uint32_t* value, uint32_t) {
  *value = ports[port & 7];
  return 0;
}
int32_t portWrite(uint16_t port, uint32_t value, uint32_t) {
  ports[port & 7] = value;
  return 0;
}

constexpr uint64_t MMIO_BASE = 0xE0000000;
constexpr uint16_t PORT_BASE = 0x3F8;

// One VM for the whole run: the module's state is process-wide.
struct Rig {
  pdmhost::VmTable table;
  pdmhost::Host host;
  VmmgrSetIrqFn setIrq = nullptr;
  const pdmhost::MmioRange* mmio = nullptr;
  const pdmhost::PortRange* port = nullptr;

  Rig() {
    table.addSerial({"COM1", "uart", PORT_BASE, 8, portRead, portWrite});
    pdmhost::PciSpec pci;
    pci.name = "pci0";
    pci.regions = {{0, true, sizeof registers, nullptr}};
    pci.read = registerRead;
    pci.write = registerWrite;
    table.addPci(pci);
    // No logger handed over: the module's own, with debug disabled ("*:I").
    if (vmmgrVboxPdmInit(nullptr, table.list(), &setIrq) != 0 ||
        VBoxDevicesRegister(host.callbacks(), 0) != 0 || host.constructAll() != 0 ||
        host.placeRegion(1, 0, MMIO_BASE) != 0) {
      std::fprintf(stderr, "BridgeBench: the VM did not start\n");
      std::exit(1);
    }
    mmio = &host.mmioRanges().at(0);
    port = &host.portRanges().at(0);
  }
};

Rig& rig() {
  static Rig r;
  return r;
}

// Each path calls through a pointer the compiler cannot see through, as a host does.
template <typename T> T opaque(T value) {
  benchmark::DoNotOptimize(value);
  return value;
}

void BM_MmioRead_Baseline(benchmark::State& state) {
  const VmmgrPciReadFn fn = opaque<VmmgrPciReadFn>(registerRead);
  uint32_t value = 0;
  uint64_t offset = 0x10;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(offset, &value, 4));
    benchmark::DoNotOptimize(offset);
  }
}

void BM_MmioRead_Bridge(benchmark::State& state) {
  const pdmhost::MmioRange& r = *rig().mmio;
  const VmmgrPdmMmioReadFn fn = opaque(r.read);
  uint32_t value = 0;
  uint64_t address = MMIO_BASE + 0x10;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(r.devIns, r.user, address, &value, 4));
    benchmark::DoNotOptimize(address);
  }
}

void BM_MmioWrite_Baseline(benchmark::State& state) {
  const VmmgrPciWriteFn fn = opaque<VmmgrPciWriteFn>(registerWrite);
  uint32_t value = 7;
  uint64_t offset = 0x10;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(offset, &value, 4));
    benchmark::DoNotOptimize(offset);
  }
}

void BM_MmioWrite_Bridge(benchmark::State& state) {
  const pdmhost::MmioRange& r = *rig().mmio;
  const VmmgrPdmMmioWriteFn fn = opaque(r.write);
  uint32_t value = 7;
  uint64_t address = MMIO_BASE + 0x10;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(r.devIns, r.user, address, &value, 4));
    benchmark::DoNotOptimize(address);
  }
}

void BM_SerialRead_Baseline(benchmark::State& state) {
  const VmmgrSerialReadFn fn = opaque<VmmgrSerialReadFn>(portRead);
  uint32_t value = 0;
  uint16_t port = PORT_BASE + 7;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(port, &value, 1));
    benchmark::DoNotOptimize(port);
  }
}

void BM_SerialRead_Bridge(benchmark::State& state) {
  const pdmhost::PortRange& r = *rig().port;
  const VmmgrPdmIoPortInFn fn = opaque(r.in);
  uint32_t value = 0;
  uint16_t port = PORT_BASE + 7;
  for (auto _ : state) {
    benchmark::DoNotOptimize(fn(r.devIns, r.user, port, &value, 1));
    benchmark::DoNotOptimize(port);
  }
}

BENCHMARK(BM_MmioRead_Baseline);
BENCHMARK(BM_MmioRead_Bridge);
BENCHMARK(BM_MmioWrite_Baseline);
BENCHMARK(BM_MmioWrite_Bridge);
BENCHMARK(BM_SerialRead_Baseline);
BENCHMARK(BM_SerialRead_Bridge);

// Keeps each run's processor time per iteration for the figures printed at the end: on a
// machine shared with other work the wall clock also counts the time the thread waited to
// run, which neither path spends.
class TimeReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration)
        times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> times;
};

// ---- instruction counting ----
// Each loop is its own function so that callgrind can collect it alone.

// The MMIO range a host was given: the callbacks, their user value and the address of the
// register at 0x10 as that host passes it (absolute up to 6.0, an offset from 6.1 on).
struct Range {
  VmmgrPdmDevIns* devIns;
  void* user;
  VmmgrPdmMmioReadFn read;
  VmmgrPdmMmioWriteFn write;
  uint64_t address;
};
Range captured;

// Every helper the construction calls but these answers success; the callers pop their own
// arguments on both targets, so one function serves every argument list.
int32_t hostOk() { return 0; }
int32_t mmioRegister(VmmgrPdmDevIns* d, uint64_t gcPhys, uint64_t, void* user,
                     VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void*, uint32_t,
                     const char*) {
  captured = {d, user, read, write, gcPhys + 0x10};
  return 0;
}
int32_t mmioCreateEx(VmmgrPdmDevIns* d, uint64_t, uint32_t, void*, uint32_t,
                     VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void*, void* user,
                     const char*, uint64_t* handle) {
  captured = {d, user, read, write, 0x10};
  *handle = 1;
  return 0;
}
VmmgrPdmPciMapFn mapRegion = nullptr;
int32_t pciIoRegionRegister(VmmgrPdmDevIns*, void*, uint32_t, uint64_t, int32_t,
                            VmmgrPdmPciMapFn map) {
  mapRegion = map;
  return 0;
}

// A host of one release laid out by its profile: the helpers the construction calls, each at
// its slot, every other slot a success. Only the PCI function is constructed.
Range releaseRange(uint32_t helpers) {
  const VmmgrHostProfile* profile = nullptr;
  for (const VmmgrHostProfile& p : VMMGR_HOST_PROFILES)
    if (p.major == vmmgrHelperMajor(helpers) && vmmgrHelperMagic(helpers) == VMMGR_DEVHLP_MAGIC)
      profile = &p;
  if (!profile) {
    std::fprintf(stderr, "BridgeBench: no release has helpers %#010x\n", helpers);
    std::exit(2);
  }
  const bool isNew = profile->layout == &VMMGR_LAYOUT_NEW;
  static void* hlp[400];
  for (void*& slot : hlp)
    slot = reinterpret_cast<void*>(&hostOk);
  hlp[0] = reinterpret_cast<void*>(uintptr_t{helpers});
  hlp[profile->mmio] =
      isNew ? reinterpret_cast<void*>(&mmioCreateEx) : reinterpret_cast<void*>(&mmioRegister);
  if (!isNew)
    hlp[profile->pciIoRegionRegister] = reinterpret_cast<void*>(&pciIoRegionRegister);
  alignas(64) static uint8_t devIns[1024], data[1024], pciDev[4608], reg[280];
  std::memcpy(reg + (isNew ? 8 : 4), "pci0", 5); // the record's name field
  const auto put = [](size_t at, const void* value) { std::memcpy(devIns + at, &value, 8); };
  put(profile->layout->devInsHlp, hlp);
  put(profile->layout->devInsReg, reg);
  if (isNew) {
    std::memcpy(devIns, &VMMGR_DEVINS_VERSION_NEW, 4);
    put(profile->layout->devInsData, data);
    put(VMMGR_DEVINS_NEW_PCI_DEVS_OFFSET, pciDev);
  }
  auto* ins = reinterpret_cast<VmmgrPdmDevIns*>(devIns);
  rig(); // the module's device table
  if ((isNew ? VmmgrPciConstructNew : VmmgrPciConstruct)(ins, 0, nullptr) != 0 ||
      (!isNew && mapRegion(ins, devIns + 256, 0, MMIO_BASE, sizeof registers, 0) != 0)) {
    std::fprintf(stderr, "BridgeBench: the host of helpers %#010x refused the device\n", helpers);
    std::exit(1);
  }
  return captured;
}

Range pdmhostRange() {
  const pdmhost::MmioRange& r = *rig().mmio;
  return {r.devIns, r.user, r.read, r.write, MMIO_BASE + 0x10};
}

__attribute__((noinline)) void countLoopMmioReadBridge(const Range& r, long n) {
  const VmmgrPdmMmioReadFn fn = opaque(r.read);
  uint32_t value = 0;
  for (long i = 0; i < n; ++i)
    benchmark::DoNotOptimize(fn(r.devIns, r.user, r.address, &value, 4));
}

__attribute__((noinline)) void countLoopMmioWriteBridge(const Range& r, long n) {
  const VmmgrPdmMmioWriteFn fn = opaque(r.write);
  uint32_t value = 0;
  for (long i = 0; i < n; ++i)
    benchmark::DoNotOptimize(fn(r.devIns, r.user, r.address, &value, 4));
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--list-hosts") == 0) {
    for (const VmmgrHostProfile& p : VMMGR_HOST_PROFILES)
      std::printf("%#010x %s\n", static_cast<unsigned>(0xFFE70000u | p.major << 4), p.releases);
    return 0;
  }
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--count-loop") == 0) {
    const std::map<std::string, void (*)(const Range&, long)> loops = {
        {"mmio-read", countLoopMmioReadBridge},
        {"mmio-write", countLoopMmioWriteBridge},
    };
    auto loop = loops.find(argv[2]);
    char* end = nullptr;
    const long n = std::strtol(argv[3], &end, 10);
    if (loop == loops.end() || *end || n <= 0) {
      std::fprintf(stderr, "BridgeBench: unknown loop %s or count %s\n", argv[2], argv[3]);
      return 2;
    }
    Range range;
    if (argc == 5) {
      const unsigned long helpers = std::strtoul(argv[4], &end, 16);
      if (*end || helpers > 0xFFFFFFFFu) {
        std::fprintf(stderr, "BridgeBench: %s is no helper-table version\n", argv[4]);
        return 2;
      }
      range = releaseRange(static_cast<uint32_t>(helpers));
    } else {
      range = pdmhostRange();
    }
    loop->second(range, n);
    return 0;
  }

  benchmark::Initialize(&argc, argv);
  rig();
  TimeReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  // What the bridge adds to the VM manager's callback, in nanoseconds per access.
  const struct {
    const char* path;
    const char* bridge;
    const char* baseline;
  } pairs[] = {
      {"MMIO read", "BM_MmioRead_Bridge", "BM_MmioRead_Baseline"},
      {"MMIO write", "BM_MmioWrite_Bridge", "BM_MmioWrite_Baseline"},
      {"serial read, debug disabled", "BM_SerialRead_Bridge", "BM_SerialRead_Baseline"},
  };
  constexpr double TARGET_NS = 2.5;
  std::printf("\n");
  for (const auto& p : pairs) {
    const double bridge = reporter.times[p.bridge], baseline = reporter.times[p.baseline];
    const double added = bridge - baseline;
    std::printf("| BridgeBench: %s, time added to the callback | %.2f ns (%.2f ns in all) | "
                "direct call %.2f ns | at most %.1f ns | %s |\n",
                p.path, added, bridge, baseline, TARGET_NS, added <= TARGET_NS ? "met" : "NOT met");
  }
  benchmark::Shutdown();
  return 0;
}
