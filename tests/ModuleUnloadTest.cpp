// The module leaves the process when the last reference to it is released (as long as no
// timer has run: the timer's worker pins it), and loads and starts again afterwards.
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
void* load(const char* path) { return LoadLibraryA(path); }
void* entry(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void unload(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
bool loaded(const char* path) { return GetModuleHandleA(path) != nullptr; }
#else
#include <dlfcn.h>
void* load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* entry(void* module, const char* name) { return dlsym(module, name); }
void unload(void* module) { dlclose(module); }
bool loaded(const char* path) {
  void* module = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (module)
    dlclose(module);
  return module != nullptr;
}
#endif

TEST(ModuleUnload, UnloadedModuleIsGoneAndLoadsAgain) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    void* module = load(VMMGR_MODULE_PATH);
    ASSERT_NE(module, nullptr);
    const auto init =
        reinterpret_cast<decltype(&vmmgrVboxPdmInit)>(entry(module, "vmmgrVboxPdmInit"));
    ASSERT_NE(init, nullptr);
    VmmgrDeviceList none{};
    VmmgrSetIrqFn setIrq = nullptr;
    EXPECT_EQ(init(nullptr, &none, &setIrq), 0);
    EXPECT_NE(setIrq, nullptr);
    unload(module);
    EXPECT_FALSE(loaded(VMMGR_MODULE_PATH));
  }
}
