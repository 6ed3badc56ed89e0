/// @file
/// The one entry a VM manager's device library exports so that pdmhost can try its
/// devices through the module without VirtualBox (`pdmhost --vm-manager PATH`).
///
/// pdmhost loads the module, then the library, and calls vmmgrPdmHostEntry once with the
/// module's vmmgrVboxPdmInit. The library builds its device table exactly as in production
/// and calls init itself, keeping the interrupt function it is handed; pdmhost then plays
/// the device manager (registration, construction, placement of the regions) and the
/// guest (a scenario's accesses against the library's devices).
///
///     static VmmgrDeviceList table;   // lives as long as the process
///     static VmmgrSetIrqFn setIrq;
///     VMMGR_PDMHOST_ENTRY_EXPORT int32_t vmmgrPdmHostEntry(VmmgrVboxPdmInitFn init,
///                                                          const XlogLogger* logger) {
///       buildMyTable(&table);
///       return init(logger, &table, &setIrq);
///     }
///
/// Plain C: a VM manager includes it from C11 or C++17.
#pragma once

#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <stdint.h>

#if defined(_WIN32)
#define VMMGR_PDMHOST_ENTRY_EXPORT __declspec(dllexport)
#else
#define VMMGR_PDMHOST_ENTRY_EXPORT __attribute__((visibility("default")))
#endif

/// The name pdmhost looks the entry up by.
#define VMMGR_PDMHOST_ENTRY_NAME "vmmgrPdmHostEntry"

#ifdef __cplusplus
extern "C" {
#endif

/// Builds the library's device table and calls init(logger, &table, &setIrqVariable) with
/// it, once. `logger` is pdmhost's, which shows the module's lines in pdmhost's output;
/// a library may pass its own or NULL instead (the module then logs to standard output).
/// The table and everything it points to must stay in place until the process ends.
/// Returns 0, or nonzero when the library cannot build its table (pdmhost stops there).
VMMGR_PDMHOST_ENTRY_EXPORT int32_t vmmgrPdmHostEntry(VmmgrVboxPdmInitFn init,
                                                     const XlogLogger* logger);

/// Type of the export "vmmgrPdmHostEntry".
typedef int32_t (*VmmgrPdmHostEntryFn)(VmmgrVboxPdmInitFn init, const XlogLogger* logger);

#ifdef __cplusplus
} // extern "C"
#endif
