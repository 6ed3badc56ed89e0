/// @file
/// The device table a VM manager builds and the module reads in place.
///
/// The VM manager is built with another compiler and standard library than the module,
/// so nothing here is a C++ library type: its strings and vectors are described byte for
/// byte as they lie in its memory (a 32-byte string with a 16-byte inline buffer, a
/// vector of three pointers), for 64-bit little-endian Windows (and the Linux port).
///
/// The table and everything it points to stay in place, unchanged, from vmmgrVboxPdmInit
/// for the life of the VM. The module writes at two places only, when it constructs a PCI
/// function: the command/status word at pciConfig offset 0x04 (0x00800006) and devIns.
///
/// Plain C: a VM manager includes it from C11 or C++17.
#pragma once

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <assert.h> /* static_assert */
#endif

#ifdef __cplusplus
extern "C" {
#endif

/// Device kinds of VmmgrDeviceDesc::type.
enum { VMMGR_DEVICE_PCI = 0, VMMGR_DEVICE_SERIAL = 1 };

/// The VM manager's standard string object, 32 bytes.
typedef struct VmmgrStdString {
  union {
    char inlineChars[16]; ///< used while capacity < 16, zero-terminated
    char* heapChars;      ///< used when capacity >= 16
  };
  uint64_t size;     ///< characters without the terminator
  uint64_t capacity; ///< only "16 or more" is looked at
} VmmgrStdString;

/// The VM manager's growable array: begin, end, end of storage (never read).
typedef struct VmmgrStdVector {
  void* begin;
  void* end;
  void* capacityEnd;
} VmmgrStdVector;

/// Guest port read at an absolute port number: fill *value, return 0 on success. Called
/// on the device manager's threads, possibly several at once.
typedef int32_t (*VmmgrSerialReadFn)(uint16_t port, uint32_t* value, uint32_t size);
/// Guest port write: return 0 on success.
typedef int32_t (*VmmgrSerialWriteFn)(uint16_t port, uint32_t value, uint32_t size);
/// Guest MMIO read at offset into the MMIO region: fill buffer, return 0 on success.
typedef int32_t (*VmmgrPciReadFn)(uint64_t offset, void* buffer, uint32_t size);
/// Guest MMIO write at offset; size is always 4.
typedef int32_t (*VmmgrPciWriteFn)(uint64_t offset, const void* buffer, uint32_t size);

/// One PCI memory region (BAR), 24 bytes. Records stand in region-number order.
typedef struct VmmgrRegionDesc {
  uint32_t region; ///< BAR number 0 to 5
  uint8_t isMmio;  ///< nonzero: MMIO to pciReadFn/pciWriteFn; zero: shared memory
  uint8_t pad0[3];
  uint64_t size;          ///< bytes
  void** sharedMemoryOut; ///< shared memory only: receives the host's address of it
} VmmgrRegionDesc;

/// One device, 400 bytes.
typedef struct VmmgrDeviceDesc {
  int32_t type; ///< VMMGR_DEVICE_PCI or VMMGR_DEVICE_SERIAL
  uint8_t pad0[4];
  VmmgrStdString name;        ///< unique, at most 31 bytes
  VmmgrStdString description; ///< must not change while the VM exists
  // serial only
  uint16_t ioPortBase;
  uint8_t pad1[2];
  uint16_t ioPortCount;
  uint8_t pad2[2];
  VmmgrSerialReadFn serialReadFn;
  VmmgrSerialWriteFn serialWriteFn;
  // PCI only
  uint8_t pciConfig[256]; ///< type-0 configuration space image; IDs and class are read,
                          ///< the command/status word at 0x04 is written by the module
  VmmgrStdVector regions; ///< of VmmgrRegionDesc, record n describing region n
  VmmgrPciReadFn pciReadFn;
  VmmgrPciWriteFn pciWriteFn;
  void* devIns; ///< written by the module at construction; pass to the interrupt function
} VmmgrDeviceDesc;

/// The table whose address the VM manager passes: a vector of VmmgrDeviceDesc.
typedef VmmgrStdVector VmmgrDeviceList;

#ifdef __cplusplus
} // extern "C"
#endif

static_assert(sizeof(void*) == 8, "the table layout is that of a 64-bit process");
static_assert(sizeof(VmmgrStdString) == 32 && offsetof(VmmgrStdString, size) == 16 &&
                  offsetof(VmmgrStdString, capacity) == 24,
              "VmmgrStdString layout");
static_assert(sizeof(VmmgrStdVector) == 24 && offsetof(VmmgrStdVector, begin) == 0 &&
                  offsetof(VmmgrStdVector, end) == 8 && offsetof(VmmgrStdVector, capacityEnd) == 16,
              "VmmgrStdVector layout");
static_assert(sizeof(VmmgrRegionDesc) == 24 && offsetof(VmmgrRegionDesc, region) == 0 &&
                  offsetof(VmmgrRegionDesc, isMmio) == 4 && offsetof(VmmgrRegionDesc, size) == 8 &&
                  offsetof(VmmgrRegionDesc, sharedMemoryOut) == 16,
              "VmmgrRegionDesc layout");
static_assert(sizeof(VmmgrDeviceDesc) == 400 && offsetof(VmmgrDeviceDesc, type) == 0 &&
                  offsetof(VmmgrDeviceDesc, name) == 8 &&
                  offsetof(VmmgrDeviceDesc, description) == 40 &&
                  offsetof(VmmgrDeviceDesc, ioPortBase) == 72 &&
                  offsetof(VmmgrDeviceDesc, ioPortCount) == 76 &&
                  offsetof(VmmgrDeviceDesc, serialReadFn) == 80 &&
                  offsetof(VmmgrDeviceDesc, serialWriteFn) == 88 &&
                  offsetof(VmmgrDeviceDesc, pciConfig) == 96 &&
                  offsetof(VmmgrDeviceDesc, regions) == 352 &&
                  offsetof(VmmgrDeviceDesc, pciReadFn) == 376 &&
                  offsetof(VmmgrDeviceDesc, pciWriteFn) == 384 &&
                  offsetof(VmmgrDeviceDesc, devIns) == 392,
              "VmmgrDeviceDesc layout");

/// The characters of a table string, read by its layout.
static inline const char* vmmgrStdStringData(const VmmgrStdString* s) {
  return s->capacity >= 16 ? s->heapChars : s->inlineChars;
}
#ifdef __cplusplus
inline const char* vmmgrStdStringData(const VmmgrStdString& s) { return vmmgrStdStringData(&s); }
#endif
