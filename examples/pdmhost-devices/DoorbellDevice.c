/* A VM manager's device library whose device raises its interrupt from a thread of its
 * own, as the VM manager's guide allows: "Doorbell", one PCI function.
 *   region 0, MMIO, 4 KiB, 32-bit registers
 *     0x00 RING    writing N starts a thread that raises and lowers the interrupt N times
 *     0x04 WAIT    writing waits for that thread; reading gives the changes it made
 *     0x08 DELAY   writing N busy-waits N rounds: 0xffffffff never ends (a stuck device)
 * Writes of other sizes or elsewhere are refused. */
#include "vmmgr/vbox/pdm/VmmgrPdmHostEntry.h"

#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

enum { REG_RING = 0x00, REG_WAIT = 0x04, REG_DELAY = 0x08, MMIO_SIZE = 4096 };

static VmmgrDeviceDesc devices[1];
static VmmgrRegionDesc regions[1];
static VmmgrDeviceList table;
static VmmgrSetIrqFn setIrq;
static uint32_t rings, changes; /* the thread's; read after WAIT has joined it */
static int running;
#ifdef _WIN32
static HANDLE thread;
static DWORD WINAPI ring(void* unused) {
#else
static pthread_t thread;
static void* ring(void* unused) {
#endif
  (void)unused;
  for (uint32_t i = 0; i < rings; ++i) {
    setIrq(devices[0].devIns, 1);
    setIrq(devices[0].devIns, 0);
    changes += 2;
  }
  return 0;
}

static void join(void) {
  if (!running)
    return;
#ifdef _WIN32
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
#else
  pthread_join(thread, 0);
#endif
  running = 0;
}

static int32_t doorbellRead(uint64_t offset, void* buffer, uint32_t size) {
  if (offset != REG_WAIT || size != 4)
    return 1;
  memcpy(buffer, &changes, 4);
  return 0;
}

static int32_t doorbellWrite(uint64_t offset, const void* buffer, uint32_t size) {
  uint32_t value;
  volatile uint32_t round = 0;
  if (size != 4)
    return 1;
  memcpy(&value, buffer, 4);
  switch (offset) {
  case REG_RING:
    join();
    rings = value;
#ifdef _WIN32
    thread = CreateThread(0, 0, ring, 0, 0, 0);
    running = thread != 0;
#else
    running = pthread_create(&thread, 0, ring, 0) == 0;
#endif
    return running ? 0 : 1;
  case REG_WAIT:
    join();
    return 0;
  case REG_DELAY:
    while (value == 0xffffffffu || round < value)
      round = round + 1;
    return 0;
  default:
    return 1;
  }
}

VMMGR_PDMHOST_ENTRY_EXPORT int32_t vmmgrPdmHostEntry(VmmgrVboxPdmInitFn init,
                                                     const XlogLogger* logger) {
  VmmgrDeviceDesc* d = &devices[0];
  d->type = VMMGR_DEVICE_PCI;
  strcpy(d->name.inlineChars, "Doorbell");
  d->name.size = 8;
  d->name.capacity = 15;
  d->pciConfig[0x00] = 0x34; /* vendor 0x1234, device 0x0003 */
  d->pciConfig[0x01] = 0x12;
  d->pciConfig[0x02] = 0x03;
  regions[0].isMmio = 1;
  regions[0].size = MMIO_SIZE;
  d->regions.begin = regions;
  d->regions.end = d->regions.capacityEnd = regions + 1;
  d->pciReadFn = doorbellRead;
  d->pciWriteFn = doorbellWrite;
  table.begin = devices;
  table.end = table.capacityEnd = devices + 1;
  return init(logger, &table, &setIrq);
}
