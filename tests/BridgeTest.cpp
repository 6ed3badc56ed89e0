// The device bridge: every binary layout byte for byte, then registration, serial ports, PCI
// construction, MMIO forwarding and the interrupt line on the stand-in host, and one bounded
// run of concurrent guest traffic.
#include "tests/support/CaptureLogger.h"
#include "tests/support/Files.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/VmTable.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdmInternal.h"

#include <gmock/gmock.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

using pdmhost::HostOp;
using namespace ::testing;
using testsupport::CaptureLogger;
using Words = std::vector<uint64_t>;
using Texts = std::vector<std::string>;
using P = void*;

namespace {

template <typename T> T at(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const uint8_t*>(base) + offset, sizeof value);
  return value;
}
template <typename T> uint64_t w(T v) { return (uint64_t)(uintptr_t)v; }
// Little-endian 64-bit words at byte offsets.
void fill(void* base, std::initializer_list<std::pair<size_t, uint64_t>> words) {
  for (auto [offset, word] : words)
    std::memcpy(static_cast<uint8_t*>(base) + offset, &word, 8);
}

// A host laid out by hand: each slot records its number and its arguments, declared here
// with the widths of the contract.
std::vector<Words> hostCalls;
template <int SLOT, typename R, typename... A> R hostSlot(A... args) {
  hostCalls.push_back({static_cast<uint64_t>(SLOT), w(args)...});
  return R();
}
template <int SLOT, typename R, typename... A> P slot() { return (P)&hostSlot<SLOT, R, A...>; }

// Hosts of every release: a helper the row of data/hosts.txt places records its kind instead
// of its slot, and every other slot is a trap that records its number and fails.
enum Kind : uint64_t { IoPort = 1001, IoPortMap, Mmio, Mmio2, Mmio2Map, PciReg, PciRegion, Irq };
constexpr uint64_t Trap = 2000;
template <size_t I> int64_t trap() { return hostCalls.push_back({Trap + I}), -1; }
template <size_t... I> std::vector<P> traps(std::index_sequence<I...>) { return {(P)&trap<I>...}; }
// The new-style creators hand back a handle (and the shared memory), recorded without them.
alignas(16) uint8_t sharedPages[0x3000];
int32_t ioPortCreate(P d, uint16_t n, uint32_t f, P pci, uint32_t r, P o, P i, P os, P is, P u,
                     P desc, P ext, uint64_t* handle) {
  hostCalls.push_back(
      {IoPort, w(d), n, f, w(pci), r, w(o), w(i), w(os), w(is), w(u), w(desc), w(ext)});
  return *handle = 0x10, 0;
}
int32_t mmioCreate(P d, uint64_t size, uint32_t f, P pci, uint32_t r, P wr, P rd, P fill, P u,
                   P desc, uint64_t* handle) {
  hostCalls.push_back({Mmio, w(d), size, f, w(pci), r, w(wr), w(rd), w(fill), w(u), w(desc)});
  return *handle = 0x20, 0;
}
int32_t mmio2Create(P d, P pci, uint32_t r, uint64_t size, uint32_t f, P desc, void** mapping,
                    uint64_t* handle) {
  hostCalls.push_back({Mmio2, w(d), w(pci), r, size, f, w(desc), w(mapping)});
  return *mapping = sharedPages, *handle = 0x30, 0;
}

struct HostRow {
  std::string release;
  uint64_t helpers = 0, vbox = 0, record = 0, slots = 0;
  std::vector<int> at; // port, map, mmio, mmio2, map2, pci, region, irq; -1: none; empty: refused
};
std::vector<HostRow> hostRows() {
  std::istringstream in(testsupport::readFile(VMMGR_TEST_DATA "/hosts.txt"));
  std::vector<HostRow> rows;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    HostRow row;
    if (line.empty() || line[0] == '#' ||
        !(fields >> row.release >> std::hex >> row.helpers >> row.vbox >> row.record >> std::dec >>
          row.slots))
      continue;
    for (std::string slot; fields >> slot && slot != "refused";)
      row.at.push_back(slot == "-" ? -1 : std::stoi(slot));
    rows.push_back(row);
  }
  return rows;
}

// The VM manager's callbacks record {device, port or offset, size[, value]} and answer.
std::vector<Words> seen;
int32_t answer = 0;
template <int D> int32_t portIn(uint16_t port, uint32_t* value, uint32_t size) {
  return seen.push_back({D, port, size}), *value = 0xC0DE0000u + D, answer;
}
template <int D> int32_t portOut(uint16_t port, uint32_t value, uint32_t size) {
  return seen.push_back({D, port, size, value}), answer;
}
int32_t mmioIn(uint64_t offset, void* buffer, uint32_t size) {
  return seen.push_back({0, offset, size, 0}), std::memset(buffer, 0x5A, size), answer;
}
int32_t mmioOut(uint64_t offset, const void* buffer, uint32_t size) {
  return seen.push_back({0, offset, size, at<uint32_t>(buffer, 0)}), answer;
}

// Callbacks for the concurrent run: they count, and take no lock that would hide a race.
std::atomic<long> calls{0};
int32_t countIn(uint16_t port, uint32_t* value, uint32_t) { return *value = port, ++calls, 0; }
int32_t countOut(uint16_t, uint32_t, uint32_t) { return ++calls, 0; }
int32_t countRead(uint64_t offset, void* buffer, uint32_t size) {
  return std::memset(buffer, static_cast<int>(offset & 0xFF), size), ++calls, 0;
}
int32_t countWrite(uint64_t, const void*, uint32_t) { return ++calls, 0; }

// The captured lines as "<level letter> <function>: <text>".
Texts logged() {
  Texts out;
  for (const auto& l : CaptureLogger::lines())
    out.push_back(std::string(1, "EWIDV"[l.level]) + " " + l.function + ": " + l.text);
  return out;
}

class Bridge : public Test {
protected:
  void SetUp() override {
    CaptureLogger::install();
    seen.clear();
    answer = 0;
    host.setInstanceFill(0xA5);
  }
  template <int D = 1> void addSerial(const std::string& name, uint16_t base) {
    table.addSerial({name, "uart", base, 8, portIn<D>, portOut<D>});
  }
  // By default an MMIO region 0 and a shared-memory region 1.
  void addPci(const std::string& name = "pci0", std::vector<pdmhost::RegionSpec> regions = {}) {
    pdmhost::PciSpec s{name, "function", {}, regions, mmioIn, mmioOut};
    if (regions.empty())
      s.regions = {{0, true, 0x1000, nullptr}, {1, false, 0x4000, &shared}};
    std::memset(s.config, 0xEE, sizeof s.config);
    fill(s.config, {{0x00, 0x1234567800421DE5}, {0x08, 0xEEEEEEEE05800107}, {0x2C, 0xBBBBAAAA}});
    table.addPci(s);
  }
  int32_t registerAll() {
    EXPECT_EQ(vmmgrVboxPdmInit(&CaptureLogger::table, table.list(), &setIrq), 0);
    CaptureLogger::clear();
    return VBoxDevicesRegister(host.callbacks(), 0x00010000u);
  }
  void start() {
    ASSERT_EQ(registerAll(), 0);
    ASSERT_EQ(host.constructAll(), 0);
    CaptureLogger::clear();
  }
  const uint8_t* data(size_t i) { return (const uint8_t*)host.devices()[i].instanceData(); }
  pdmhost::VmTable table;
  pdmhost::Host host;
  VmmgrSetIrqFn setIrq = nullptr;
  void* shared = nullptr;
};
using BridgeDeathTest = Bridge;

} // namespace

// The device table, the registration callbacks, the device instances and the helper table
// written byte for byte, as another compiler lays them out: no struct of the module's can
// agree with itself here.
TEST_F(Bridge, EveryLayoutIsReadAndWrittenAtItsDocumentedOffsets) {
  static char longText[] = "a description longer than fifteen bytes";
  void* sharedOut = nullptr;
  alignas(8) uint8_t entries[800] = {}, regions[48] = {}, com[256 + 8] = {}, fn[256 + 680] = {};
  uint8_t* pci = entries + 400; // type 0; the serial entry is type 1 and its name is inline
  std::memcpy(entries + 8, "com", 4);
  std::memcpy(pci + 8, "pci", 4);
  fill(entries, {{0, 1}, {24, 3}, {32, 15}, {40, w(longText)}, {56, 39}, {64, 39}});
  fill(entries, {{72, 0x500}, {76, 4}, {80, w(&portIn<0>)}, {88, w(&portOut<0>)}}); // in order
  fill(pci, {{24, 3}, {32, 15}, {96, 0xFFFFFFFFBEEF1234}, {352, w(regions)}});
  fill(pci, {{360, w(regions + 48)}, {376, w(&mmioIn)}, {384, w(&mmioOut)}});
  // Region 0: MMIO of 4 KiB; region 1: 16 KiB of shared memory.
  fill(regions, {{0, 1ull << 32}, {8, 0x1000}, {24, 1}, {32, 0x4000}, {40, w(&sharedOut)}});
  void* list[3] = {entries, entries + 800, nullptr};
  void* callbacks[2] = {nullptr, slot<-1, int32_t, P, P>()};
  void* slots[52] = {};
  slots[1] = slot<1, int32_t, P, uint16_t, uint16_t, P, P, P, P, P, P>();
  slots[5] = slot<5, int32_t, P, uint64_t, uint64_t, P, P, P, P, uint32_t, P>();
  slots[9] = slot<9, int32_t, P, P, uint32_t, uint64_t, uint32_t, P, P>();
  slots[12] = slot<12, int32_t, P, P, uint32_t, uint64_t>();
  slots[45] = slot<45, int32_t, P, P, uint32_t, uint32_t, uint8_t, uint8_t, P>();
  slots[47] = slot<47, int32_t, P, P, uint32_t, uint64_t, int32_t, P>();
  slots[51] = slot<51, void, P, P, int32_t, int32_t>();
  hostCalls.clear();
  ASSERT_EQ(vmmgrVboxPdmInit(nullptr, reinterpret_cast<VmmgrDeviceList*>(list), &setIrq), 0);
  ASSERT_EQ(setIrq, &vmmgrVboxPdmSetIrq);
  ASSERT_EQ(VBoxDevicesRegister(reinterpret_cast<VmmgrPdmRegCallbacks*>(callbacks), 1), 0);
  ASSERT_EQ(hostCalls.size(), 2u);
  uint8_t* instances[2] = {com, fn};
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const uint8_t* rec = reinterpret_cast<const uint8_t*>(hostCalls[i][2]);
    EXPECT_EQ(std::string((const char*)rec, 36),
              std::string("\x21\0\xFF\xFF", 4) + (i ? "pci" : "com") + std::string(29, '\0'));
    EXPECT_EQ(at<const char*>(rec, 104), i ? (char*)pci + 40 : longText);
    EXPECT_EQ(at<uint64_t>(rec, 112), 0x8000000000000320u);           // flags, class
    EXPECT_EQ(at<uint64_t>(rec, 120), (i ? 680ull : 8ull) << 32 | 1); // instances, size
    EXPECT_EQ(at<int32_t (*)(P)>(rec, 136)(nullptr), 0);              // the destructor
    EXPECT_EQ(at<uint32_t>(rec, 240), 0xFFFF0021u);
    for (size_t b = 36; b < 248; ++b) // the rest is zero
      EXPECT_TRUE(rec[b] == 0 || (b >= 104 && b < 144) || (b >= 240 && b < 244)) << b;
    fill(instances[i], {{48, w(slots)}, {72, w(rec)}});
    EXPECT_EQ(at<int32_t (*)(P, int32_t, P)>(rec, 128)(instances[i], 0, nullptr), 0);
  }
  const uint64_t dev = w(fn + 256), map = w(&VmmgrMmioMap);
  EXPECT_EQ(hostCalls[2], (Words{1, w(com), 0x500, 4, w(entries), w(&VmmgrSerialWrite),
                                 w(&VmmgrSerialRead), 0, 0, w(entries + 8)}));
  EXPECT_EQ(hostCalls[3], (Words{45, w(fn), dev, 0xFFFFFFFF, 0, 254, 255, 0}));
  EXPECT_EQ(hostCalls[4], (Words{47, w(fn), 0, 0, 0x1000, 0, map}));
  EXPECT_EQ(hostCalls[5], (Words{9, w(fn), dev, 1, 0x4000, 0, w(&sharedOut), w(pci + 8)}));
  EXPECT_EQ(hostCalls[6], (Words{47, w(fn), 0, 1, 0x4000, 0, map}));
  EXPECT_EQ(at<void*>(com, 256), entries);        // serial instance data: the entry
  EXPECT_EQ(at<void*>(fn, 256 + 664), pci);       // PCI instance data: the entry after the device
  EXPECT_EQ(at<void*>(pci, 392), fn);             // devIns, for the interrupt function
  EXPECT_EQ(at<uint32_t>(pci, 100), 0x00800006u); // command and status, in the image too
  EXPECT_EQ(at<uint32_t>(fn, 256), 0xBEEF1234u);  // identity in the configuration space

  hostCalls.clear();
  auto* fnIns = reinterpret_cast<VmmgrPdmDevIns*>(fn);
  EXPECT_EQ(VmmgrMmioMap(fnIns, fn + 256, 0, 0xE0000000, 0x1000, 0), 0);
  EXPECT_EQ(VmmgrMmioMap(fnIns, fn + 256, 1, 0xE0100000, 0x4000, 0), 0);
  setIrq(fn, 1);
  setIrq(fn, 0);
  EXPECT_EQ(hostCalls,
            (std::vector<Words>{{5, w(fn), 0xE0000000, 0x1000, dev, w(&VmmgrPciMmioWrite),
                                 w(&VmmgrPciMmioRead), 0, 0x51, w(pci + 8)},
                                {12, w(fn), dev, 1, 0xE0100000},
                                {51, w(fn), 0, 0, 1},
                                {51, w(fn), 0, 0, 0}}));
  EXPECT_EQ(at<uint64_t>(fn, 256 + 672), 0xE0000000u); // mmioBase
  uint32_t value = 0;
  EXPECT_EQ(VmmgrSerialRead((VmmgrPdmDevIns*)com, entries, 0x503, &value, 2), 0);
  EXPECT_EQ(VmmgrPciMmioRead(fnIns, fn + 256, 0xE0000010, &value, 4), 0);
  EXPECT_EQ(seen, (std::vector<Words>{{0, 0x503, 2}, {0, 0x10, 4, 0}}));
}

// Each release of data/hosts.txt, laid out by hand at its own offsets: the record VirtualBox
// takes, the device instance it builds and the slot of every helper. A helper at a slot of
// another release, or a refused release that gets any helper call, shows as a trap.
TEST_F(Bridge, EveryReleaseGetsItsOwnRecordInstanceLayoutAndHelperSlots) {
  using Construct = int32_t (*)(P, int32_t, P);
  const std::vector<HostRow> rows = hostRows();
  ASSERT_EQ(rows.size(), 15u);
  const std::vector<P> allTraps = traps(std::make_index_sequence<400>());
  addSerial("com", 0x2F8);
  addPci("pci", {{0, true, 0x1000, nullptr}, {1, false, 0x2800, &shared}});
  const uint64_t entry0 = w(&table.entry(0)), name0 = w(vmmgrStdStringData(table.entry(0).name));
  const uint64_t name1 = w(vmmgrStdStringData(table.entry(1).name));
  const uint64_t write = w(&VmmgrPciMmioWrite), read = w(&VmmgrPciMmioRead);
  const uint64_t nil = ~0ull, map = w(&VmmgrMmioMap);
  CaptureLogger::setMaxLevel(XLOG_INFO);
  for (const HostRow& row : rows) {
    SCOPED_TRACE(row.release);
    const bool real = row.helpers >> 16 == 0xFFE7, isNew = row.record == 0xFFFF0040;
    std::vector<P> hlp(allTraps.begin(), allTraps.begin() + row.slots);
    hlp[0] = (P)(uintptr_t)row.helpers;
    const P served[8] = {
        isNew ? (P)&ioPortCreate : slot<IoPort, int32_t, P, uint16_t, uint16_t, P, P, P, P, P, P>(),
        slot<IoPortMap, int32_t, P, uint64_t, uint16_t>(),
        isNew ? (P)&mmioCreate
              : slot<Mmio, int32_t, P, uint64_t, uint64_t, P, P, P, P, uint32_t, P>(),
        isNew ? (P)&mmio2Create : slot<Mmio2, int32_t, P, P, uint32_t, uint64_t, uint32_t, P, P>(),
        slot<Mmio2Map, int32_t, P, P, uint32_t, uint64_t>(),
        isNew ? slot<PciReg, int32_t, P, P, uint32_t, uint8_t, uint8_t, P>()
              : slot<PciReg, int32_t, P, P, uint32_t, uint32_t, uint8_t, uint8_t, P>(),
        isNew ? slot<PciRegion, int32_t, P, P, uint32_t, uint64_t, int32_t, uint32_t, uint64_t, P>()
              : slot<PciRegion, int32_t, P, P, uint32_t, uint64_t, int32_t, P>(),
        slot<Irq, void, P, P, int32_t, int32_t>()};
    for (size_t k = 0; k < row.at.size(); ++k)
      if (row.at[k] >= 0)
        hlp[row.at[k]] = served[k];
    void* callbacks[2] = {(P)(real ? 0xFFE30010ull : 0), slot<-1, int32_t, P, P>()};
    table.entry(1).devIns = nullptr;
    shared = nullptr;
    hostCalls.clear();
    ASSERT_EQ(vmmgrVboxPdmInit(&CaptureLogger::table, table.list(), &setIrq), 0);
    ASSERT_EQ(VBoxDevicesRegister(reinterpret_cast<VmmgrPdmRegCallbacks*>(callbacks), row.vbox), 0);
    ASSERT_EQ(hostCalls.size(), 2u);
    // Record: version at both ends, name, flags, instance sizes, constructor. Instance: the
    // helper table, the record, the instance data (after the header, or through a pointer)
    // and, new-style, the PCI device VirtualBox allocated.
    alignas(16) uint8_t ins[2][1024] = {}, data[2][1024] = {}, pciDev[4608] = {};
    const size_t n = isNew ? 8 : 4, flags = isNew ? 40 : 112, end = isNew ? 272 : 240;
    uint8_t* dev[2];
    for (int i = 0; i < 2; ++i) {
      const uint8_t* rec = reinterpret_cast<const uint8_t*>(hostCalls[i][2]);
      EXPECT_EQ(at<uint32_t>(rec, 0), row.record);
      EXPECT_EQ(at<uint32_t>(rec, end), row.record);
      EXPECT_EQ(std::string((const char*)rec + n, 4), std::string(i ? "pci" : "com", 4));
      EXPECT_EQ(at<uint64_t>(rec, flags), isNew ? 0x8000000080003200u : 0x8000000000000320u);
      EXPECT_EQ(at<uint32_t>(rec, isNew ? 56 : 124), i ? 680u : 8u);
      if (isNew) {
        EXPECT_EQ(at<uint16_t>(rec, 68), i); // a PCI device for the function only
        fill(ins[i], {{0, 0xFF820040}, {16, w(hlp.data())}, {24, w(data[i])}, {48, w(rec)}});
        fill(ins[i], {{112, w(pciDev)}});
      } else {
        fill(ins[i], {{48, w(hlp.data())}, {72, w(rec)}});
      }
      dev[i] = isNew ? data[i] : ins[i] + 256;
      CaptureLogger::clear();
      const int32_t status = at<Construct>(rec, isNew ? 96 : 128)(ins[i], 0, nullptr);
      if (row.at.empty()) { // refused: one line, -11, nothing called or written
        char version[16];
        std::snprintf(version, sizeof version, " %#010x ", static_cast<unsigned>(row.helpers));
        EXPECT_EQ(status, -11);
        EXPECT_THAT(logged(),
                    ElementsAre(AllOf(
                        StartsWith("E "), HasSubstr(i ? ": pci: " : ": com: "), HasSubstr(version),
                        HasSubstr("majors 0x13 (5.1.10-5.1.26), "), EndsWith(", 0x43 (7.2.2)"))));
        EXPECT_EQ(at<uint64_t>(dev[i], 0), 0u);
      } else {
        EXPECT_EQ(status, 0);
      }
    }
    hostCalls.erase(hostCalls.begin(), hostCalls.begin() + 2);
    if (row.at.empty()) {
      EXPECT_EQ(hostCalls, std::vector<Words>());
      EXPECT_EQ(table.entry(1).devIns, nullptr);
      continue;
    }
    const uint64_t com = w(ins[0]), fn = w(ins[1]), inst = w(dev[1]), pci = w(pciDev);
    const uint64_t sharedSize = real ? 0x3000 : 0x2800; // VirtualBox's shared memory: whole pages
    std::vector<Words> expected;
    if (isNew)
      expected = {{IoPort, com, 8, 1, 0, 0xFFFFFFFF, w(&VmmgrSerialWrite), w(&VmmgrSerialRead), 0,
                   0, entry0, name0, 0},
                  {IoPortMap, com, 0x10, 0x2F8},
                  {PciReg, fn, pci, 0, 254, 255, 0},
                  {Mmio, fn, 0x1000, 0x51, pci, 0, write, read, 0, inst, name1},
                  {PciRegion, fn, pci, 0, 0x1000, 0, 6, 0x20, 0},
                  {Mmio2, fn, pci, 1 << 16, sharedSize, 0, name1, w(&shared)},
                  {PciRegion, fn, pci, 1, sharedSize, 0, 7, 0x30, 0}};
    else
      expected = {
          {IoPort, com, 0x2F8, 8, entry0, w(&VmmgrSerialWrite), w(&VmmgrSerialRead), 0, 0, name0},
          {PciReg, fn, inst, 0xFFFFFFFF, 0, 254, 255, 0},
          {PciRegion, fn, 0, 0, 0x1000, 0, map},
          {Mmio2, fn, inst, 1, sharedSize, 0, w(&shared), name1},
          {PciRegion, fn, 0, 1, 0x2800, 0, map}};
    EXPECT_EQ(hostCalls, expected);
    hostCalls.clear();
    seen.clear();
    uint32_t value = 0;
    if (isNew) {
      // The bus maps the handles; MMIO arrives as region offsets, the shared memory is the host's.
      EXPECT_EQ(VmmgrPciMmioRead((VmmgrPdmDevIns*)ins[1], dev[1], 0x10, &value, 4), 0);
      EXPECT_EQ(shared, (P)sharedPages);
      EXPECT_EQ(at<uint32_t>(pciDev, 448), 0x00421DE5u); // the configuration space VirtualBox's
    } else {
      // "No address" announces an unmapping: a real VirtualBox gets no call, a stand-in today's.
      EXPECT_EQ(VmmgrMmioMap((VmmgrPdmDevIns*)ins[1], dev[1], 1, nil, 0x2800, 0), 0);
      EXPECT_EQ(VmmgrMmioMap((VmmgrPdmDevIns*)ins[1], dev[1], 0, 0xE0000000, 0x1000, 0), 0);
      EXPECT_EQ(VmmgrPciMmioRead((VmmgrPdmDevIns*)ins[1], dev[1], 0xE0000010, &value, 4), 0);
      if (!real)
        expected = {{Mmio2Map, fn, inst, 1, nil}};
      else
        expected.clear();
      expected.push_back({Mmio, fn, 0xE0000000, 0x1000, inst, write, read, 0, 0x51, name1});
      EXPECT_EQ(hostCalls, expected);
      hostCalls.clear();
    }
    EXPECT_EQ(seen, (std::vector<Words>{{0, 0x10, 4, 0}}));
    setIrq(table.entry(1).devIns, 1);
    EXPECT_EQ(hostCalls, (std::vector<Words>{{Irq, fn, 0, 0, 1}}));
  }
}

// A real VirtualBox holds a device table to rules of its own; the module refuses a device
// that breaks one before VirtualBox sees it, naming the rule. Stand-ins keep the table's rules.
TEST_F(Bridge, VirtualBoxRulesRefuseTheDeviceThatBreaksOneAndNameIt) {
  const std::string names =
      "VirtualBox takes names of 1 to 31 letters, digits, spaces, '-' and '_'";
  struct Case {
    std::string name;
    bool real, pci;
    uint32_t version;
    uint16_t portsOrVendor;
    uint32_t region;
    int32_t status;
    std::string rule;
  } cases[] = {{"bad.name", true, false, 0x00050001, 8, 0, -2836, names},
               {std::string(32, 'n'), true, false, 0x00070000, 8, 0, -2836, names},
               {"", true, false, 0x00050002, 8, 0, -2836, names},
               {"ok", true, false, 0x00060000, 8, 0, -2839, "VirtualBox takes each name once"},
               {"big", true, false, 0x00060001, 8193, 0, -2836,
                "VirtualBox 6.1 and later take 1 to 8192 ports per range"},
               {"big", true, false, 0x00060000, 8193, 0, 0, ""},
               {"pci", true, true, 0x00070001, 0, 0, -2836,
                "VirtualBox 6.1 and later take no PCI function without a vendor ID"},
               {"pci", true, true, 0x00070002, 0x1DE5, 6, -2836,
                "VirtualBox 6.1 and later number PCI regions 0 to 5"},
               {"bad.name", false, false, 0x00070002, 8, 0, 0, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " " + std::to_string(c.version));
    pdmhost::VmTable t;
    t.addSerial({"ok", "", 0x100, 8, portIn<1>, portOut<1>});
    if (c.pci) {
      pdmhost::PciSpec fn{c.name, "", {}, {{c.region, true, 0x1000, nullptr}}, mmioIn, mmioOut};
      pdmhost::configWrite16(fn.config, 0, c.portsOrVendor);
      t.addPci(fn);
    } else {
      t.addSerial({c.name, "", 0x200, c.portsOrVendor, portIn<2>, portOut<2>});
    }
    void* callbacks[2] = {(P)(c.real ? 0xFFE30010ull : 0), slot<-1, int32_t, P, P>()};
    hostCalls.clear();
    ASSERT_EQ(vmmgrVboxPdmInit(&CaptureLogger::table, t.list(), &setIrq), 0);
    CaptureLogger::clear();
    EXPECT_EQ(VBoxDevicesRegister(reinterpret_cast<VmmgrPdmRegCallbacks*>(callbacks), c.version),
              c.status);
    EXPECT_EQ(hostCalls.size(), c.status ? 1u : 2u); // the device before it is registered
    if (c.status) {
      EXPECT_EQ(logged().back(),
                "E VBoxDevicesRegister: Device registration refused for " + c.name + ": " + c.rule);
    }
  }
}

TEST_F(Bridge, EmptyTableRegistersNothingAndSaysSo) {
  EXPECT_EQ(registerAll(), 0);
  EXPECT_THAT(logged(),
              ElementsAre(MatchesRegex("D VBoxDevicesRegister: VBoxDevicesRegister -> .* 65536"),
                          "I VBoxDevicesRegister: All devices registered successfully\n"));
  EXPECT_EQ(CaptureLogger::lines()[1].moduleId, XLOG_MODULE_VMMGR);
}

TEST_F(Bridge, RegistrationCutsNamesAtThirtyTwoBytesAndStopsAtTheFirstRefusal) {
  const std::string name31(31, 'n'), name40 = std::string(32, 'x') + "overflow";
  for (const std::string& name :
       {name31, std::string("ab"), name40, std::string("refused"), std::string("never")})
    addSerial(name, 0x100);
  host.injectStatus(HostOp::Register, 3);      // a positive status is no refusal
  host.injectStatus(HostOp::Register, -77, 2); // the fourth call
  EXPECT_EQ(registerAll(), -77);
  EXPECT_EQ(host.calls().size(), 4u);
  ASSERT_EQ(host.devices().size(), 3u);
  const Texts expected = {name31 + '\0', "ab" + std::string(30, '\0'), name40.substr(0, 32)};
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::string(host.devices()[i].record->name, 32), expected[i]);
  EXPECT_EQ(logged().back(), "E VBoxDevicesRegister: Device registration failed for refused");
}

TEST_F(Bridge, AFaultWithACountRefusesThatManyCallsAfterItsSkipThenNoMore) {
  VmmgrDeviceRegistration reg{};
  reg.version = reg.endVersion = VMMGR_REG_VERSION;
  reg.instanceSize = 8;
  reg.construct = VmmgrSerialConstruct;
  host.injectStatus(HostOp::Register, -9, 1, 3);
  std::vector<int32_t> statuses;
  for (int i = 0; i < 6; ++i)
    statuses.push_back(host.doRegister(&reg));
  EXPECT_EQ(statuses, (std::vector<int32_t>{0, -9, -9, -9, 0, 0}));
}

// A release's host refuses records as pdmR3DevReg_Register does, rule by rule and in its
// order; the module never sends such a record, so only a record made here reaches them.
TEST_F(Bridge, ARealReleaseRefusesRecordsByVirtualBoxsRulesAndStatuses) {
  struct Case {
    const char* release;
    size_t offset; // the field changed, in the release's layout (0: none)
    uint64_t value;
    unsigned bytes;
    int32_t status;
  } cases[] = {{"5.1.22", 0, 0, 0, 0},
               {"5.1.22", 0, 0xffff0040, 4, -2835},
               {"5.1.22", 4, 0, 1, -2836},
               {"5.1.22", 5, '.', 1, -2836},
               {"5.1.22", 112, 0x310, 4, -2838},
               {"5.1.22", 112, 0x020, 4, -2836},
               {"5.1.22", 116, 0, 4, -2836},
               {"5.1.22", 120, 0, 4, -2836},
               {"5.1.22", 124, 0x100001, 4, -2836},
               {"5.1.22", 128, 0, 8, -2836},
               {"5.1.22", 112, 0x120, 4, -2837},
               {"5.2", 240, 0x21, 4, 0},
               {"7.0", 0, 0, 0, 0},
               {"7.0", 40, 0x3200, 4, -2836},
               {"7.0", 68, 9, 2, -2836},
               {"7.0", 60, 0x800001, 4, -2836}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.release) + " offset " + std::to_string(c.offset));
    pdmhost::HostRelease release;
    std::string why;
    ASSERT_TRUE(pdmhost::findRelease(c.release, &release, &why));
    const bool newStyle = release.profile->record->size == 280;
    alignas(8) uint8_t reg[280] = {};
    const uint32_t version = newStyle ? 0xffff0040 : 0xffff0021;
    fill(reg, {{0, version}, {newStyle ? 272u : 240u, version}});
    std::memcpy(reg + (newStyle ? 8 : 4), "com_1", 5);
    fill(reg, {{newStyle ? 40u : 112u, newStyle ? 0x80003200u : 0x320u}});
    fill(reg, {{newStyle ? 44u : 116u, 0x80000000u | uint64_t(1) << 32}}); // class, 1 instance
    fill(reg, {{newStyle ? 56u : 124u, 8}, {newStyle ? 96u : 128u, w(&VmmgrSerialConstruct)}});
    std::memcpy(reg + c.offset, &c.value, c.bytes);
    pdmhost::Host real(release);
    const auto* record = reinterpret_cast<const VmmgrDeviceRegistration*>(reg);
    EXPECT_EQ(real.doRegister(record), c.status);
    if (c.status == 0) { // a name used twice
      EXPECT_EQ(real.doRegister(record), -2839);
    }
  }
}

TEST_F(BridgeDeathTest, ImpossibleStatesEndInTheFatalCheck) {
  addSerial("COM1", 0x3F8);
  ASSERT_EQ(registerAll(), 0);
  CaptureLogger::echoToStderr(true);
  table.setString(table.entry(0).name, "COM9"); // a device the table no longer names
  EXPECT_DEATH(host.construct(0), "FATAL: DEBUG BREAK: .*VmmgrSerialConstruct");
  table.entry(0).type = 7;
  EXPECT_DEATH(VBoxDevicesRegister(host.callbacks(), 0),
               AllOf(HasSubstr("Unknown device type: 7 COM9"),
                     ContainsRegex("FATAL: DEBUG BREAK: .*VBoxDevicesRegister")));
  CaptureLogger::echoToStderr(false);
}

TEST_F(Bridge, SerialAccessesReachTheirOwnEntryUnchangedAndFailWithMinusOne) {
  addSerial<1>("COM1", 0x3F8);
  addSerial<2>("top", 0xFFF8);
  start();
  struct Case {
    uint64_t port, size, device;
    int32_t answer, status;
    std::string trace; // of the write
  } cases[] = {{0x3FB, 1, 1, 0, 0, " 03fb 00001234 1"},
               {0x3FA, 2, 1, 1, -1, " 03fa 00001234 2"},
               {0xFFFF, 4, 2, -5, -1, " ffff 00001234 4"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.port);
    seen.clear();
    CaptureLogger::clear();
    answer = c.answer;
    uint32_t value = 0;
    EXPECT_EQ(host.portRead(c.port, c.size, &value), c.status);
    EXPECT_EQ(value, 0xC0DE0000u + c.device); // what the callback left, failed or not
    EXPECT_EQ(host.portWrite(c.port, 0x1234, c.size), c.status);
    // The port is the access's own (the base is not subtracted), the entry the user value's.
    EXPECT_EQ(seen,
              (std::vector<Words>{{c.device, c.port, c.size}, {c.device, c.port, c.size, 0x1234}}));
    // One trace line each, at debug level; a failure adds none.
    EXPECT_THAT(logged(), ElementsAre(StartsWith("D VmmgrSerialRead: VmmgrSerialRead: "),
                                      AllOf(StartsWith("D VmmgrSerialWrite: VmmgrSerialWrite: "),
                                            EndsWith(c.trace))));
  }
}

TEST_F(Bridge, ConstructorsPassRefusalsOnWithTheirMessageAndPositiveStatusesNot) {
  addSerial("COM1", 0x3F8);
  addPci();
  ASSERT_EQ(vmmgrVboxPdmInit(&CaptureLogger::table, table.list(), &setIrq), 0);
  CaptureLogger::setMaxLevel(XLOG_INFO);
  const std::string shm = ": Cannot register PCI shared memory: -9, region: ";
  struct Case {
    HostOp op;
    int32_t status, skip;
    std::vector<int> calls;
    std::string message;
  } cases[] = {{HostOp::IoPortRegister, -1002, 0, {1}, "Cannot register serial I/O port: -1002"},
               {HostOp::IoPortRegister, 5, 0, {1}, ""},
               {HostOp::PciRegister, -42, 0, {45}, "Cannot register PCI device: -42"},
               {HostOp::PciIoRegionRegister, -9, 0, {45, 47}, shm + "0"},
               {HostOp::Mmio2Register, -9, 0, {45, 47, 9}, shm + "1"},
               {HostOp::PciIoRegionRegister, 2, 1, {45, 47, 9, 47}, ""},
               {HostOp::PciIoRegionRegister, -9, 1, {45, 47, 9, 47}, shm + "1"}};
  std::vector<int> shmLines; // the two refusals share their text but not their line
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    pdmhost::Host fresh;
    ASSERT_EQ(VBoxDevicesRegister(fresh.callbacks(), 0), 0);
    fresh.injectStatus(c.op, c.status, c.skip);
    fresh.clearCalls();
    CaptureLogger::clear();
    const bool serial = c.op == HostOp::IoPortRegister;
    EXPECT_EQ(fresh.construct(serial ? 0 : 1), c.status < 0 ? c.status : 0);
    EXPECT_EQ(fresh.calls(), c.calls);
    std::string message = c.message;
    if (message[0] == ':') // a shared-memory refusal: the log statement's line goes first
      message = std::to_string(shmLines.emplace_back(CaptureLogger::lines().at(0).line)) + message;
    const std::string f = serial ? "VmmgrSerialConstruct" : "VmmgrPciConstruct";
    EXPECT_EQ(logged(), c.message.empty() ? Texts() : Texts{"E " + f + ": " + f + ": " + message});
  }
  ASSERT_EQ(shmLines.size(), 3u);
  EXPECT_NE(shmLines[0], shmLines[1]);
}

TEST_F(Bridge, PciConstructionFillsTheDocumentedConfigurationSpace) {
  addPci();
  std::vector<void*> memory(6);
  std::vector<pdmhost::RegionSpec> six;
  for (uint32_t r = 0; r < 6; ++r)
    six.push_back({r, r == 0, 0x1000, &memory[r]});
  addPci("six", six);
  start();
  // IDs and class from the image; command/status, interrupt line and pin set; the listed
  // BARs cleared; everything else as the host left it.
  const std::pair<unsigned, uint32_t> words[] = {
      {0x00, 0x00421DE5}, {0x04, 0x00800006}, {0x08, 0x05800107}, {0x0C, 0xA5A5A5A5},
      {0x10, 0},          {0x14, 0},          {0x18, 0xA5A5A5A5}, {0x24, 0xA5A5A5A5},
      {0x28, 0xA5A5A5A5}, {0x2C, 0xBBBBAAAA}, {0x30, 0xA5A5A5A5}, {0x3C, 0xA5A501FF}};
  for (auto [offset, value] : words)
    EXPECT_EQ(at<uint32_t>(data(0), offset), value) << offset;
  EXPECT_EQ(std::string((const char*)data(0) + 0x40, 664 - 0x40), std::string(664 - 0x40, '\xA5'));
  for (unsigned bar = 0x10; bar <= 0x24; bar += 4)
    EXPECT_EQ(at<uint32_t>(data(1), bar), 0u) << bar;
  EXPECT_EQ(at<uint32_t>(table.entry(0).pciConfig, 0x3C), 0xEEEEEEEEu);
  // The VM manager's variable holds the host's shared memory.
  EXPECT_EQ(shared, static_cast<void*>(host.sharedMemory().at(0)->memory.get()));
}

TEST_F(Bridge, MmioGoesToTheVmManagerAsOffsetsFromTheLatestBase) {
  addPci();
  start();
  ASSERT_EQ(host.placeRegion(0, 0, 0x0E000000), 0);
  EXPECT_THAT(logged(),
              ElementsAre(EndsWith("iRegion: 0 GCPhysAddress: 0e000000 cb: 4096 enmType: 0")));
  struct Case {
    bool write;
    uint32_t offset, size;
    int32_t answer, status;
    Texts logged;
  } cases[] = {
      {false, 0x10, 1, 0, 0, {}},
      {false, 0x10, 8, 0, 0, {}},
      {false, 0xFFC, 4, 1, -2, {"E VmmgrPciMmioRead: pciReadFn failed"}},
      {true, 0x40, 4, 0, 0, {}},
      {true, 0x40, 4, -1, -2, {"E VmmgrPciMmioWrite: pciWriteFn failed"}},
      {true, 0x10, 2, 0, -2, {"W VmmgrPciMmioWrite: Cannot write 2 bytes at iomem offset 16"}},
      {true, 0x18, 8, 0, -2, {"W VmmgrPciMmioWrite: Cannot write 8 bytes at iomem offset 24"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    seen.clear();
    CaptureLogger::clear();
    answer = c.answer;
    uint8_t buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(c.write ? host.memWrite(0x0E000000 + c.offset, buffer, c.size)
                      : host.memRead(0x0E000000 + c.offset, buffer, c.size),
              c.status);
    // A refused write calls nothing; a failed read leaves what the callback wrote.
    const bool forwarded = !c.write || c.size == 4;
    EXPECT_EQ(seen,
              (forwarded ? std::vector<Words>{{0, c.offset, c.size, c.write ? 0x04030201u : 0}}
                         : std::vector<Words>()));
    EXPECT_EQ(buffer[c.size - 1], c.write ? c.size : 0x5A);
    // Success asks the logger nothing; a failure logs its one line.
    EXPECT_EQ(CaptureLogger::queries().size(), c.logged.size());
    EXPECT_EQ(logged(), c.logged);
  }
  // Moving the region moves the base; a refused move keeps it and logs nothing.
  CaptureLogger::setMaxLevel(XLOG_INFO);
  for (auto [to, status, base] :
       {std::tuple<uint64_t, int32_t, uint64_t>{0xF0000000, 0, 0xF0000000},
        {0xD0000000, -1002, 0xF0000000},
        {0xC0000000, 6, 0xC0000000}}) {
    host.injectStatus(HostOp::MmioRegister, status);
    CaptureLogger::clear();
    EXPECT_EQ(host.placeRegion(0, 0, to), status);
    EXPECT_EQ(at<uint64_t>(data(0), 672), base);
    EXPECT_TRUE(CaptureLogger::lines().empty());
  }
  // Placing the shared memory leaves the MMIO base alone.
  ASSERT_EQ(host.placeRegion(0, 1, 0xE0100000), 0);
  EXPECT_EQ(at<uint64_t>(data(0), 672), 0xC0000000u);
  host.injectStatus(HostOp::Mmio2Map, -3);
  EXPECT_EQ(host.placeRegion(0, 1, 0xE0200000), -3);
  EXPECT_EQ(logged(), Texts{"E VmmgrMmioMap: "});
}

// Bounded: four threads of port and MMIO traffic beside one of interrupt changes. Every access
// reaches its callback, every level reaches the host in order.
TEST_F(Bridge, DevicesUnderConcurrentPortMmioAndInterruptTraffic) {
  table.addSerial({"COM1", "uart", 0x3F8, 8, countIn, countOut});
  table.addPci({"pci0", "", {}, {{0, true, 0x1000, nullptr}}, countRead, countWrite});
  CaptureLogger::setMaxLevel(XLOG_INFO);
  start();
  ASSERT_EQ(host.placeRegion(1, 0, 0xE0000000), 0);
  calls = 0;
  constexpr int workers = 4, rounds = 20000;
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int t = 0; t < workers; ++t)
    pool.emplace_back([&, t] {
      for (int i = 0; i < rounds; ++i) {
        uint32_t value = 0;
        uint8_t buffer[8];
        const uint16_t port = static_cast<uint16_t>(0x3F8 + (i + t) % 8);
        const uint64_t offset = static_cast<uint64_t>(i * 8 % 0x1000);
        failures += host.portRead(port, 1, &value) || value != port || host.portWrite(port, 0, 4);
        failures += host.memRead(0xE0000000 + offset, buffer, 8) ||
                    buffer[7] != static_cast<uint8_t>(offset) ||
                    host.memWrite(0xE0000000 + offset, &value, 4);
      }
    });
  pool.emplace_back([&] {
    for (int i = 0; i < rounds; ++i)
      setIrq(table.entry(1).devIns, i & 1);
  });
  for (auto& t : pool)
    t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(calls.load(), 4L * workers * rounds);
  const auto events = host.irqEvents();
  ASSERT_EQ(events.size(), static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i)
    ASSERT_EQ(events[i].level, i & 1) << i;
}
