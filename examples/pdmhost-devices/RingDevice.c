/* A VM manager's device library that pdmhost loads (pdmhost --vm-manager PATH): one PCI
 * function, "RingDev", as a VM manager writes it.
 *   region 0, MMIO, 4 KiB: a register file of 32-bit little-endian registers
 *     0x00 ID        read-only, 0x52494e47
 *     0x04 SCRATCH   keeps what is written
 *     0x08 DOORBELL  writing it consumes the ring up to PRODUCER and raises the interrupt
 *     0x0C STATUS    1 while the interrupt is raised; writing 1 acknowledges and lowers it
 *     0x10 PRODUCER  entries the guest has put in the ring
 *     0x14 CONSUMER  entries the device has taken (read-only)
 *     0x18 SUM       sum of the entries taken (read-only)
 *     the rest of the region reads as zero and refuses writes
 *   region 1, shared memory, 4 KiB: the ring, 1024 32-bit entries the guest writes. */
#include "vmmgr/vbox/pdm/VmmgrPdmHostEntry.h"

#include <string.h>

enum { REG_ID = 0x00, REG_SCRATCH = 0x04, REG_DOORBELL = 0x08, REG_STATUS = 0x0C };
enum { REG_PRODUCER = 0x10, REG_CONSUMER = 0x14, REG_SUM = 0x18, REG_COUNT = 8 };
enum { MMIO_SIZE = 4096, RING_ENTRIES = 1024 };

static VmmgrDeviceDesc devices[1];
static VmmgrRegionDesc regions[2];
static VmmgrDeviceList table;
static VmmgrSetIrqFn setIrq;
static void* ring; /* the host writes the shared memory's address here */
static uint32_t regs[REG_COUNT] = {0x52494e47};

static int32_t ringRead(uint64_t offset, void* buffer, uint32_t size) {
  if (offset >= MMIO_SIZE || size > MMIO_SIZE - offset)
    return 1;
  memset(buffer, 0, size);
  if (offset < sizeof regs)
    memcpy(buffer, (const uint8_t*)regs + offset,
           size < sizeof regs - offset ? size : sizeof regs - offset);
  return 0;
}

static int32_t ringWrite(uint64_t offset, const void* buffer, uint32_t size) {
  uint32_t value;
  if (size != 4 || offset % 4 != 0 || offset >= sizeof regs)
    return 1;
  memcpy(&value, buffer, 4);
  switch (offset) {
  case REG_SCRATCH:
  case REG_PRODUCER:
    regs[offset / 4] = value;
    return 0;
  case REG_DOORBELL: {
    const uint32_t* entries = (const uint32_t*)ring;
    /* The guest's producer index is not trusted: more than a ringful is refused. */
    if (!entries || regs[REG_PRODUCER / 4] - regs[REG_CONSUMER / 4] > RING_ENTRIES)
      return 1;
    while (regs[REG_CONSUMER / 4] != regs[REG_PRODUCER / 4]) {
      regs[REG_SUM / 4] += entries[regs[REG_CONSUMER / 4] % RING_ENTRIES];
      regs[REG_CONSUMER / 4]++;
    }
    regs[REG_STATUS / 4] = 1;
    setIrq(devices[0].devIns, 1);
    return 0;
  }
  case REG_STATUS:
    if (value & 1) {
      regs[REG_STATUS / 4] = 0;
      setIrq(devices[0].devIns, 0);
    }
    return 0;
  default:
    return 1; /* ID, CONSUMER and SUM are read-only */
  }
}

static void setString(VmmgrStdString* s, const char* text) {
  /* Both names here are short: inline, as the VM manager's strings keep them. */
  strcpy(s->inlineChars, text);
  s->size = strlen(text);
  s->capacity = 15;
}

VMMGR_PDMHOST_ENTRY_EXPORT int32_t vmmgrPdmHostEntry(VmmgrVboxPdmInitFn init,
                                                     const XlogLogger* logger) {
  VmmgrDeviceDesc* d = &devices[0];
  d->type = VMMGR_DEVICE_PCI;
  setString(&d->name, "RingDev");
  setString(&d->description, "example ring");
  d->pciConfig[0x00] = 0x34; /* vendor 0x1234, device 0x0001, class 0x088000 */
  d->pciConfig[0x01] = 0x12;
  d->pciConfig[0x02] = 0x01;
  d->pciConfig[0x0A] = 0x80;
  d->pciConfig[0x0B] = 0x08;
  regions[0].region = 0;
  regions[0].isMmio = 1;
  regions[0].size = MMIO_SIZE;
  regions[1].region = 1;
  regions[1].size = RING_ENTRIES * 4;
  regions[1].sharedMemoryOut = &ring;
  d->regions.begin = regions;
  d->regions.end = d->regions.capacityEnd = regions + 2;
  d->pciReadFn = ringRead;
  d->pciWriteFn = ringWrite;
  table.begin = devices;
  table.end = table.capacityEnd = devices + 1;
  return init(logger, &table, &setIrq);
}
