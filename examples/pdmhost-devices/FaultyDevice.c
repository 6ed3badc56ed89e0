/* A deliberately faulty device library for pdmhost fuzz: "Faulty", a PCI function whose
 * registers are handled through a table of functions, one per 32-bit register, ended by a
 * null entry. Its bound check lets the offset one past the last register through, so a
 * guest access there calls the null entry and crashes the VM manager. The fuzzer is to find
 * that; a correct check is "index < REG_COUNT".
 * Built with FAULTY_KIND set, the bound check is right and the fault is another:
 *   FAULTY_LATE   a write whose 13 top bits are 1010101010101 is taken as the last entry's, so a
 *                 finding comes only after hundreds of random batches;
 *   FAULTY_SHIFT  a write to register 0 shifts by the value's 6 low bits, undefined past 31,
 *                 which only an undefined-behaviour sanitizer's report shows;
 *   FAULTY_EMPTY  a second region of size 0 in the table, which no access can reach. */
#include "vmmgr/vbox/pdm/VmmgrPdmHostEntry.h"

#include <string.h>

enum { REG_COUNT = 4, MMIO_SIZE = 4096 };
enum { FAULTY_BOUND, FAULTY_LATE, FAULTY_SHIFT, FAULTY_EMPTY };
#ifndef FAULTY_KIND
#define FAULTY_KIND FAULTY_BOUND
#endif

static uint32_t regs[REG_COUNT];
static uint32_t* regAt(unsigned index) { return &regs[index]; }
static uint32_t* (*const handlers[REG_COUNT + 1])(unsigned) = {regAt, regAt, regAt, regAt, 0};

static VmmgrDeviceDesc devices[1];
static VmmgrRegionDesc regions[2];
static VmmgrDeviceList table;
static VmmgrSetIrqFn setIrq;

static uint32_t* reg(uint64_t offset) {
  const uint64_t index = offset / 4;
  if (FAULTY_KIND == FAULTY_BOUND ? index > REG_COUNT /* the fault: one past the end */
                                  : index >= REG_COUNT)
    return 0;
  return handlers[index](index);
}

static int32_t faultyRead(uint64_t offset, void* buffer, uint32_t size) {
  const uint32_t* r = reg(offset);
  uint32_t value = r ? *r : 0;
  memset(buffer, 0, size);
  memcpy(buffer, &value, size < 4 ? size : 4);
  return 0;
}

static int32_t faultyWrite(uint64_t offset, const void* buffer, uint32_t size) {
  uint32_t* r = reg(offset);
  uint32_t value = 0;
  memcpy(&value, buffer, size < 4 ? size : 4);
  if (FAULTY_KIND == FAULTY_LATE && value >> 19 == 0x1555)
    r = handlers[REG_COUNT](REG_COUNT);
  if (FAULTY_KIND == FAULTY_SHIFT && r == regs)
    value = 1u << (value & 63);
  if (r)
    memcpy(r, &value, 4);
  return 0;
}

VMMGR_PDMHOST_ENTRY_EXPORT int32_t vmmgrPdmHostEntry(VmmgrVboxPdmInitFn init,
                                                     const XlogLogger* logger) {
  VmmgrDeviceDesc* d = &devices[0];
  d->type = VMMGR_DEVICE_PCI;
  strcpy(d->name.inlineChars, "Faulty");
  d->name.size = 6;
  d->name.capacity = 15;
  d->pciConfig[0] = 0x34;
  d->pciConfig[1] = 0x12;
  d->pciConfig[2] = 0x02;
  regions[0].isMmio = regions[1].isMmio = 1;
  regions[0].size = MMIO_SIZE;
  d->regions.begin = regions;
  d->regions.end = d->regions.capacityEnd = regions + (FAULTY_KIND == FAULTY_EMPTY ? 2 : 1);
  d->pciReadFn = faultyRead;
  d->pciWriteFn = faultyWrite;
  table.begin = devices;
  table.end = table.capacityEnd = devices + 1;
  return init(logger, &table, &setIrq);
}
