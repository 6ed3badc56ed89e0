// The module leaves the process when the last reference to it is released (as long as no
// timer has run: the timer's worker pins it), and loads and starts again afterwards.
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#define dlopen(path, flags) LoadLibraryA(path)
#define dlsym(module, name) reinterpret_cast<void*>(GetProcAddress(module, name))
#define dlclose FreeLibrary
#define STILL_LOADED(path) GetModuleHandleA(path)
#else
#include <dlfcn.h>
#define STILL_LOADED(path) dlopen(path, RTLD_NOW | RTLD_NOLOAD)
#endif

TEST(ModuleUnload, UnloadedModuleIsGoneAndLoadsAgain) {
  for (int round = 0; round < 2; ++round) {
    const auto module = dlopen(VMMGR_MODULE_PATH, RTLD_NOW);
    ASSERT_NE(module, nullptr) << round;
    // Its start-up leaves nothing behind that keeps it loaded.
    const auto init =
        reinterpret_cast<decltype(&vmmgrVboxPdmInit)>(dlsym(module, "vmmgrVboxPdmInit"));
    VmmgrDeviceList none{};
    VmmgrSetIrqFn setIrq = nullptr;
    ASSERT_EQ(init ? init(nullptr, &none, &setIrq) : -1, 0);
    dlclose(module);
    EXPECT_EQ(STILL_LOADED(VMMGR_MODULE_PATH), nullptr) << round; // no reference left to drop
  }
}
