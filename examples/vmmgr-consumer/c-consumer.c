/* A VM manager written in C (C11): every public header, a one-device table (a serial port),
 * the VM manager's logger handed to the module, the module reached through the link. Checks
 * that the module starts, hands out the interrupt function and logs through the C logger.
 * Exits 1 if anything is off. Built with the CMake package or with pkg-config's flags. */
#include "vmmgr/vbox/pdm/VmmgrDeviceTable.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"
#include "xpl/XlogLogger.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static int moduleStartLogged = 0;

static int vmIsEnabled(int moduleId, int level) {
  (void)moduleId;
  return level <= XLOG_DEBUG;
}

static int vmLog(int level, int moduleId, const char* file, const char* function, int line,
                 const char* format, ...) {
  char message[512];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  printf("  [log %d module %d] %s:%d %s(): %s\n", level, moduleId, file, line, function, message);
  if (level == XLOG_DEBUG && moduleId == XLOG_MODULE_XLOG &&
      strcmp(message, "xlog inited using logger") == 0)
    moduleStartLogged = 1;
  return 0;
}

static uint32_t scratch = 0;

static int32_t com1Read(uint16_t port, uint32_t* value, uint32_t size) {
  (void)port;
  (void)size;
  *value = scratch;
  return 0;
}

static int32_t com1Write(uint16_t port, uint32_t value, uint32_t size) {
  (void)port;
  (void)size;
  scratch = value;
  return 0;
}

/* The table and everything it points to live as long as the VM, unchanged. */
static VmmgrDeviceDesc devices[1];
static char com1Description[] = "VM manager serial port 1"; /* 16 bytes or more: out of line */
static VmmgrDeviceList deviceList;

int main(void) {
  VmmgrDeviceDesc* com1 = &devices[0];
  com1->type = VMMGR_DEVICE_SERIAL;
  strcpy(com1->name.inlineChars, "COM1");
  com1->name.size = 4;
  com1->name.capacity = 15;
  com1->description.heapChars = com1Description;
  com1->description.size = strlen(com1Description);
  com1->description.capacity = com1->description.size;
  com1->ioPortBase = 0x3f8;
  com1->ioPortCount = 8;
  com1->serialReadFn = com1Read;
  com1->serialWriteFn = com1Write;
  deviceList.begin = devices;
  deviceList.end = devices + 1;
  deviceList.capacityEnd = devices + 1;

  const XlogLogger logger = {vmIsEnabled, vmLog};
  VmmgrSetIrqFn setIrq = NULL;
  const int32_t rc = vmmgrVboxPdmInit(&logger, &deviceList, &setIrq);
  const int ok = rc == 0 && setIrq != NULL && moduleStartLogged &&
                 strcmp(vmmgrStdStringData(&com1->description), com1Description) == 0;
  printf("c-consumer: init %d, interrupt function %s, start logged %s: %s\n", (int)rc,
         setIrq ? "handed out" : "missing", moduleStartLogged ? "yes" : "no",
         ok ? "passed" : "FAILED");
  return ok ? 0 : 1;
}
