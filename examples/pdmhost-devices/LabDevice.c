/* "Lab": a teaching PCI function with one 1 MiB MMIO region, for pdmhost fuzz's benchmark
 * (scripts/fuzz-bench.sh). Its 32-bit registers:
 *   0x00 identification (read only)      0x04 liveness: reads back the inverse of a write
 *   0x08 factorial: write n, read n!     0x20 status: bit 7 raises the interrupt once the
 *   0x24 interrupt status (read only)         factorial is done
 *   0x60 raise: sets interrupt status bits      0x64 acknowledge: clears them
 *   0x80 DMA source, 0x88 DMA destination, 0x90 DMA count (offsets into the DMA buffer),
 *   0x98 DMA command: bit 0 copies, bit 2 raises interrupt 0x100 when done
 *   0x40000 the DMA buffer, 4 KiB.
 * The interrupt line is up exactly while the interrupt status is not 0: the device checks
 * that itself and stops when it is not so.
 * Built with LAB_FAULT set, it holds one planted fault that pdmhost fuzz is to find:
 *   LAB_FAR_WRITE      a write to 0x9c (reserved, past the first 64 bytes) crashes;
 *   LAB_ONE_VALUE      writing 0xffffffff to the factorial register crashes;
 *   LAB_MAGIC_VALUE    writing 0x8badf00d to the liveness register crashes;
 *   LAB_READ_REGISTER  reading the interrupt status while it is 0 crashes;
 *   LAB_DMA_BOUNDS     the DMA copy checks neither offset nor count (an overflow);
 *   LAB_HANG           the factorial loop's counter is 16 bits: n of 65535 or more hangs;
 *   LAB_SPURIOUS_IRQ   a raise of 0 raises the line without cause;
 *   LAB_SHIFT          bits 8-15 of the DMA command shift 1 by any amount (undefined past
 *                      31: an undefined-behaviour sanitizer's report). */
#include "vmmgr/vbox/pdm/VmmgrPdmHostEntry.h"

#include <stdlib.h>
#include <string.h>

enum { MMIO_SIZE = 1 << 20, BUFFER_AT = 0x40000, BUFFER_SIZE = 4096 };
enum {
  LAB_NONE,
  LAB_FAR_WRITE,
  LAB_ONE_VALUE,
  LAB_MAGIC_VALUE,
  LAB_READ_REGISTER,
  LAB_DMA_BOUNDS,
  LAB_HANG,
  LAB_SPURIOUS_IRQ,
  LAB_SHIFT
};
#ifndef LAB_FAULT
#define LAB_FAULT LAB_NONE
#endif

static VmmgrDeviceDesc devices[1];
static VmmgrRegionDesc regions[1];
static VmmgrDeviceList table;
static VmmgrSetIrqFn setIrq;

static uint32_t liveness, factorial, status, irqStatus;
static uint64_t dmaSource, dmaDestination, dmaCount;
static uint8_t buffer[BUFFER_SIZE];
static int line;

static void crash(void) { abort(); }

static void updateLine(int level) {
  if (level != (irqStatus != 0)) /* the device's own check */
    crash();
  if (level != line)
    setIrq(devices[0].devIns, line = level);
}

static void raise(uint32_t bits) {
  irqStatus |= bits;
  updateLine(LAB_FAULT == LAB_SPURIOUS_IRQ && bits == 0 ? 1 : irqStatus != 0);
}

static uint32_t factorialOf(uint32_t n) {
  uint32_t result = 1;
  if (LAB_FAULT == LAB_HANG) {
    for (uint16_t i = 1; i <= n; ++i)
      result *= i;
    return result;
  }
  for (uint32_t i = 1; i <= n && i <= 13; ++i) /* past 12! the result no longer fits */
    result *= i;
  return n > 12 ? 0 : result;
}

static void dma(uint32_t command) {
  if (LAB_FAULT == LAB_SHIFT && (1u << (command >> 8 & 0xff)) == 0)
    return;
  if (!(command & 1))
    return;
  if (LAB_FAULT == LAB_DMA_BOUNDS ||
      (dmaSource <= BUFFER_SIZE && dmaDestination <= BUFFER_SIZE &&
       dmaCount <= BUFFER_SIZE - dmaSource && dmaCount <= BUFFER_SIZE - dmaDestination))
    memmove(buffer + dmaDestination, buffer + dmaSource, dmaCount);
  if (command & 4)
    raise(0x100);
}

static int32_t labRead(uint64_t offset, void* out, uint32_t size) {
  uint32_t value = 0;
  if (offset >= BUFFER_AT && offset < BUFFER_AT + BUFFER_SIZE) {
    const uint64_t n =
        BUFFER_AT + BUFFER_SIZE - offset < size ? BUFFER_AT + BUFFER_SIZE - offset : size;
    memset(out, 0, size);
    memcpy(out, buffer + (offset - BUFFER_AT), n);
    return 0;
  }
  switch (offset) {
  case 0x00:
    value = 0x00010001;
    break;
  case 0x04:
    value = ~liveness;
    break;
  case 0x08:
    value = factorial;
    break;
  case 0x20:
    value = status;
    break;
  case 0x24:
    if (LAB_FAULT == LAB_READ_REGISTER && irqStatus == 0)
      crash();
    value = irqStatus;
    break;
  case 0x80:
    value = (uint32_t)dmaSource;
    break;
  case 0x88:
    value = (uint32_t)dmaDestination;
    break;
  case 0x90:
    value = (uint32_t)dmaCount;
    break;
  }
  memset(out, 0, size);
  memcpy(out, &value, size < 4 ? size : 4);
  return 0;
}

static int32_t labWrite(uint64_t offset, const void* in, uint32_t size) {
  uint32_t value = 0;
  if (offset >= BUFFER_AT && offset < BUFFER_AT + BUFFER_SIZE) {
    const uint64_t n =
        BUFFER_AT + BUFFER_SIZE - offset < size ? BUFFER_AT + BUFFER_SIZE - offset : size;
    memcpy(buffer + (offset - BUFFER_AT), in, n);
    return 0;
  }
  memcpy(&value, in, size < 4 ? size : 4);
  switch (offset) {
  case 0x04:
    if (LAB_FAULT == LAB_MAGIC_VALUE && value == 0x8badf00d)
      crash();
    liveness = value;
    break;
  case 0x08:
    if (LAB_FAULT == LAB_ONE_VALUE && value == 0xffffffff)
      crash();
    factorial = factorialOf(value);
    if (status & 0x80)
      raise(1);
    break;
  case 0x20:
    status = value & 0x80;
    break;
  case 0x60:
    raise(value);
    break;
  case 0x64:
    irqStatus &= ~value;
    updateLine(irqStatus != 0);
    break;
  case 0x80:
    dmaSource = value;
    break;
  case 0x88:
    dmaDestination = value;
    break;
  case 0x90:
    dmaCount = value;
    break;
  case 0x98:
    dma(value);
    break;
  case 0x9c:
    if (LAB_FAULT == LAB_FAR_WRITE)
      crash();
    break;
  }
  return 0;
}

VMMGR_PDMHOST_ENTRY_EXPORT int32_t vmmgrPdmHostEntry(VmmgrVboxPdmInitFn init,
                                                     const XlogLogger* logger) {
  VmmgrDeviceDesc* d = &devices[0];
  d->type = VMMGR_DEVICE_PCI;
  strcpy(d->name.inlineChars, "Lab");
  d->name.size = 3;
  d->name.capacity = 15;
  d->pciConfig[0] = 0x34; /* vendor 0x1234, device 0x0004 */
  d->pciConfig[1] = 0x12;
  d->pciConfig[2] = 0x04;
  regions[0].isMmio = 1;
  regions[0].size = MMIO_SIZE;
  d->regions.begin = regions;
  d->regions.end = d->regions.capacityEnd = regions + 1;
  d->pciReadFn = labRead;
  d->pciWriteFn = labWrite;
  table.begin = devices;
  table.end = table.capacityEnd = devices + 1;
  return init(logger, &table, &setIrq);
}
