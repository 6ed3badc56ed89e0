/// @file
/// The module's two exports and the interrupt function it hands to the VM manager.
///
/// A VM manager includes this header (it brings in the device table and the logger table),
/// loads the module by path and looks both exports up by name, or links the import library.
/// Plain C: a VM manager includes it from C11 or C++17.
#pragma once

#include "vmmgr/vbox/pdm/VmmgrDeviceTable.h"
#include "xpl/XlogLogger.h"

#include <stdint.h>

#if defined(_WIN32)
#if defined(VMMGR_BUILDING_MODULE)
#define VMMGR_EXPORT __declspec(dllexport)
#else
#define VMMGR_EXPORT
#endif
#else
#define VMMGR_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/// The device manager's registration callback table. Only the device manager and the
/// module look inside it; a VM manager never needs its layout, so it stays opaque here.
typedef struct VmmgrPdmRegCallbacks VmmgrPdmRegCallbacks;

/// Raises (level 1) or lowers (level 0) the interrupt line of the PCI function whose
/// descriptor holds devIns; the level is passed to the host unchanged.
typedef void (*VmmgrSetIrqFn)(void* devIns, int32_t level);

/// Called by the VM manager first, once: starts logging (with its logger when one is
/// given), keeps the address of the device table and hands out the interrupt function.
/// Always returns 0. The table must stay in place, unchanged, for the life of the VM.
VMMGR_EXPORT int32_t vmmgrVboxPdmInit(const XlogLogger* logger, VmmgrDeviceList* devices,
                                      VmmgrSetIrqFn* setIrqOut);

/// Called by the device manager when it loads the module: registers one device per table
/// entry, in table order. Returns 0, or the host's status of the first refused device.
VMMGR_EXPORT int32_t VBoxDevicesRegister(VmmgrPdmRegCallbacks* callbacks, uint32_t version);

/// Type of the export "vmmgrVboxPdmInit", for a VM manager that loads the module by path.
typedef int32_t (*VmmgrVboxPdmInitFn)(const XlogLogger*, VmmgrDeviceList*, VmmgrSetIrqFn*);
/// Type of the export "VBoxDevicesRegister".
typedef int32_t (*VmmgrDevicesRegisterFn)(VmmgrPdmRegCallbacks*, uint32_t);

#ifdef __cplusplus
} // extern "C"
#endif
