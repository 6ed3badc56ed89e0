// A VM manager's device table built from the input (serial port ranges and a PCI function
// with an MMIO region and a shared-memory region), taken through init, registration,
// construction and region placement on the stand-in host, then hit with guest port and
// memory accesses of sizes 1, 2, 4 and 8 anywhere. The VM manager's callbacks trap on any
// port or offset outside their own device's range; every host status is compared with the
// one the access must give, worked out here from the table alone.
#include "fuzz/FuzzCheck.h"
#include "tools/pdmhost/PdmHost.h"
#include "tools/pdmhost/VmTable.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int maxSerial = 4;

struct SerialRange {
  bool present = false;
  uint16_t base = 0;
  uint16_t count = 0;
};

// What the callbacks may be called with and what they answer, for the current input.
struct World {
  SerialRange serial[maxSerial];
  uint64_t mmioSize = 0; // 0: no MMIO region
  int32_t answer = 0;    // what the next VM manager callback returns
  int calls = 0;         // VM manager callbacks since the last access
  uint16_t lastPort = 0;
  uint32_t lastSize = 0;
  uint64_t lastOffset = 0;
  uint32_t lastValue = 0;
  bool logging = false;
} world;

// The logger formats every line it is given, so a format that does not match its
// arguments shows up under the sanitizers.
int fuzzIsEnabled(int, int) { return world.logging ? 1 : 0; }
int fuzzLog(int, int, const char*, const char*, int, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(line, sizeof line, format, args);
  va_end(args);
  return n;
}
const XlogLogger fuzzLogger = {fuzzIsEnabled, fuzzLog};

uint32_t pattern(uint64_t offset) { return static_cast<uint32_t>(offset * 0x9E3779B1u) ^ 0x5A5A5A5Au; }

template <int I> int32_t serialRead(uint16_t port, uint32_t* value, uint32_t size) {
  const SerialRange& r = world.serial[I];
  FUZZ_CHECK(r.present && port >= r.base && port - r.base < r.count);
  FUZZ_CHECK(value != nullptr);
  ++world.calls;
  world.lastPort = port;
  world.lastSize = size;
  *value = pattern(port);
  return world.answer;
}

template <int I> int32_t serialWrite(uint16_t port, uint32_t value, uint32_t size) {
  const SerialRange& r = world.serial[I];
  FUZZ_CHECK(r.present && port >= r.base && port - r.base < r.count);
  ++world.calls;
  world.lastPort = port;
  world.lastSize = size;
  world.lastValue = value;
  return world.answer;
}

const VmmgrSerialReadFn serialReads[maxSerial] = {serialRead<0>, serialRead<1>, serialRead<2>,
                                                  serialRead<3>};
const VmmgrSerialWriteFn serialWrites[maxSerial] = {serialWrite<0>, serialWrite<1>,
                                                    serialWrite<2>, serialWrite<3>};

int32_t pciRead(uint64_t offset, void* buffer, uint32_t size) {
  FUZZ_CHECK(world.mmioSize != 0 && offset < world.mmioSize && size <= world.mmioSize - offset);
  FUZZ_CHECK(buffer != nullptr);
  ++world.calls;
  world.lastOffset = offset;
  world.lastSize = size;
  auto* bytes = static_cast<uint8_t*>(buffer);
  for (uint32_t i = 0; i < size; ++i)
    bytes[i] = static_cast<uint8_t>(pattern(offset + i));
  return world.answer;
}

int32_t pciWrite(uint64_t offset, const void* buffer, uint32_t size) {
  FUZZ_CHECK(world.mmioSize != 0 && offset < world.mmioSize && size <= world.mmioSize - offset);
  FUZZ_CHECK(size == 4 && buffer != nullptr);
  ++world.calls;
  world.lastOffset = offset;
  world.lastSize = size;
  std::memcpy(&world.lastValue, buffer, 4);
  return world.answer;
}

struct Placed {
  bool present = false;
  uint64_t base = 0;
  uint64_t size = 0;
  bool contains(uint64_t at, uint32_t n) const {
    return present && at >= base && at - base < size && n <= size - (at - base);
  }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  world = World{};
  world.logging = input.ConsumeBool();

  auto table = std::make_unique<pdmhost::VmTable>();
  auto host = std::make_unique<pdmhost::Host>();

  // Serial ranges, kept apart from each other (the table must be sane to be constructed).
  const int serialCount = input.ConsumeIntegralInRange<int>(0, maxSerial);
  std::vector<int> serialOfEntry;
  for (int i = 0; i < serialCount; ++i) {
    const uint16_t count = input.ConsumeIntegralInRange<uint16_t>(1, 16);
    const uint16_t base = input.ConsumeIntegralInRange<uint16_t>(0, static_cast<uint16_t>(0x10000 - count));
    bool clash = false;
    for (const SerialRange& r : world.serial)
      clash |= r.present && base < r.base + r.count && r.base < base + count;
    if (clash)
      continue;
    world.serial[i] = SerialRange{true, base, count};
    pdmhost::SerialSpec entry;
    entry.name = "com" + std::to_string(i);
    entry.description = "serial port " + std::to_string(i);
    entry.ioPortBase = base;
    entry.ioPortCount = count;
    entry.read = serialReads[i];
    entry.write = serialWrites[i];
    table->addSerial(entry);
  }

  // One PCI function: an MMIO region, a shared-memory region, both or neither, in either order.
  const int layout = input.ConsumeIntegralInRange<int>(0, 4);
  const uint64_t mmioSize = input.ConsumeIntegralInRange<uint64_t>(1, 1 << 16);
  const uint64_t sharedSize = input.ConsumeIntegralInRange<uint64_t>(1, 1 << 16);
  void* sharedOut = nullptr;
  pdmhost::PciSpec pci;
  pci.name = "a PCI function with a long name"; // 31 bytes, the most a name may have
  pci.description = "fuzzed PCI function";
  for (uint8_t& b : pci.config)
    b = input.ConsumeIntegral<uint8_t>();
  pci.read = pciRead;
  pci.write = pciWrite;
  pdmhost::RegionSpec mmio{0, true, mmioSize, nullptr};
  pdmhost::RegionSpec shared{0, false, sharedSize, &sharedOut};
  switch (layout) {
  case 1: pci.regions = {mmio}; break;
  case 2: pci.regions = {shared}; break;
  case 3: pci.regions = {mmio, shared}; break;
  case 4: pci.regions = {shared, mmio}; break;
  default: break;
  }
  for (size_t r = 0; r < pci.regions.size(); ++r) {
    pci.regions[r].region = static_cast<uint32_t>(r);
    if (pci.regions[r].isMmio)
      world.mmioSize = pci.regions[r].size;
  }
  const size_t pciIndex = table->addPci(pci);

  VmmgrSetIrqFn setIrq = nullptr;
  FUZZ_CHECK(vmmgrVboxPdmInit(&fuzzLogger, table->list(), &setIrq) == 0);
  FUZZ_CHECK(setIrq != nullptr);
  FUZZ_CHECK(VBoxDevicesRegister(host->callbacks(), 0x00010000u) == 0);
  FUZZ_CHECK(host->constructAll() == 0);
  FUZZ_CHECK(table->entry(pciIndex).devIns == host->devices()[pciIndex].devIns);
  // Command 0x0006, status 0x0080 in the VM manager's image after construction.
  FUZZ_CHECK(pdmhost::configRead32(table->entry(pciIndex).pciConfig, 4) == 0x00800006u);
  const uint64_t placeAt = input.ConsumeIntegralInRange<uint64_t>(0x1000, 0xFFFF0000u);
  FUZZ_CHECK(host->placeAllRegions(placeAt) == 0);

  Placed mmioAt, sharedAt;
  for (const pdmhost::PciRegion& r : host->devices()[pciIndex].regions) {
    FUZZ_CHECK(r.placed);
    const bool isMmio = pci.regions.at(r.region).isMmio;
    (isMmio ? mmioAt : sharedAt) = Placed{true, r.gcPhys, r.size};
  }
  uint8_t* sharedMemory = static_cast<uint8_t*>(sharedOut);
  if (sharedAt.present) {
    FUZZ_CHECK(sharedMemory != nullptr);
    FUZZ_CHECK(host->sharedMemory().size() == 1 &&
               host->sharedMemory()[0]->memory.get() == sharedMemory);
  }
  const Placed* placed[2] = {&mmioAt, &sharedAt};

  for (int step = 0; step < 256 && input.remaining_bytes() > 0; ++step) {
    const int op = input.ConsumeIntegralInRange<int>(0, 4);
    static const uint32_t sizes[4] = {1, 2, 4, 8};
    const uint32_t n = sizes[input.ConsumeIntegralInRange<int>(0, 3)];
    world.answer = input.ConsumeBool() ? 0 : input.ConsumeIntegral<int32_t>();
    world.calls = 0;

    if (op == 4) {
      const int32_t level = input.ConsumeIntegralInRange<int32_t>(0, 1);
      const size_t before = host->irqEvents().size();
      setIrq(table->entry(pciIndex).devIns, level);
      const std::vector<pdmhost::IrqEvent> events = host->irqEvents();
      FUZZ_CHECK(events.size() == before + 1 && events.back().level == level &&
                 events.back().irq == 0);
      FUZZ_CHECK(world.calls == 0);
      continue;
    }

    if (op <= 1) {
      // A port: near one of the ranges, or anywhere.
      uint16_t port;
      const int near = input.ConsumeIntegralInRange<int>(-1, maxSerial - 1);
      if (near >= 0 && world.serial[near].present)
        port = static_cast<uint16_t>(world.serial[near].base +
                                     input.ConsumeIntegralInRange<int>(-2, 18));
      else
        port = input.ConsumeIntegral<uint16_t>();
      int owner = -1;
      for (int i = 0; i < maxSerial; ++i)
        if (world.serial[i].present && port >= world.serial[i].base &&
            port - world.serial[i].base < world.serial[i].count)
          owner = i;
      uint32_t value = 0x12345678u;
      const uint32_t written = input.ConsumeIntegral<uint32_t>();
      const int32_t rc = op == 0 ? host->portRead(port, n, &value) : host->portWrite(port, written, n);
      if (owner < 0) {
        FUZZ_CHECK(rc == pdmhost::PDMHOST_ERR_UNASSIGNED && world.calls == 0);
        if (op == 0)
          FUZZ_CHECK(value == 0xFFFFFFFFu);
        continue;
      }
      FUZZ_CHECK(world.calls == 1 && world.lastPort == port && world.lastSize == n);
      FUZZ_CHECK(rc == (world.answer == 0 ? 0 : -1));
      if (op == 0)
        FUZZ_CHECK(value == pattern(port));
      else
        FUZZ_CHECK(world.lastValue == written);
      continue;
    }

    // Guest memory: around one of the regions (edges included), or anywhere.
    uint64_t at;
    const int near = input.ConsumeIntegralInRange<int>(-1, 1);
    if (near >= 0 && placed[near]->present)
      at = placed[near]->base - 16 +
           input.ConsumeIntegralInRange<uint64_t>(0, placed[near]->size + 32);
    else
      at = input.ConsumeIntegral<uint64_t>();
    uint8_t buffer[8];
    uint8_t bytes[8];
    for (uint8_t& b : bytes)
      b = input.ConsumeIntegral<uint8_t>();
    std::memset(buffer, 0x33, sizeof buffer);
    const int32_t rc = op == 2 ? host->memRead(at, buffer, n) : host->memWrite(at, bytes, n);

    if (mmioAt.contains(at, n)) {
      const uint64_t offset = at - mmioAt.base;
      if (op == 3 && n != 4) {
        FUZZ_CHECK(rc == -2 && world.calls == 0);
        continue;
      }
      FUZZ_CHECK(world.calls == 1 && world.lastOffset == offset && world.lastSize == n);
      FUZZ_CHECK(rc == (world.answer == 0 ? 0 : -2));
      if (op == 2)
        for (uint32_t i = 0; i < n; ++i)
          FUZZ_CHECK(buffer[i] == static_cast<uint8_t>(pattern(offset + i)));
      else
        FUZZ_CHECK(std::memcmp(&world.lastValue, bytes, 4) == 0);
    } else if (sharedAt.contains(at, n)) {
      // Shared memory is the VM manager's own: the guest sees it without any callback.
      FUZZ_CHECK(rc == 0 && world.calls == 0);
      const uint8_t* cell = sharedMemory + (at - sharedAt.base);
      if (op == 2)
        FUZZ_CHECK(std::memcmp(buffer, cell, n) == 0);
      else
        FUZZ_CHECK(std::memcmp(bytes, cell, n) == 0);
    } else {
      FUZZ_CHECK(rc == pdmhost::PDMHOST_ERR_UNASSIGNED && world.calls == 0);
      if (op == 2)
        for (uint32_t i = 0; i < n; ++i)
          FUZZ_CHECK(buffer[i] == 0xFF);
    }
  }
  return 0;
}
