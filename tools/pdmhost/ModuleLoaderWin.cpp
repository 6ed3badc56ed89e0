// Loading the module on Windows: LoadLibraryW with the UTF-8 path widened.
#include "tools/pdmhost/ModuleLoader.h"
#include "tools/pdmhost/WideWin.h"

#include <windows.h>

#include <vector>

namespace pdmhost {

// Loads a library by path; on failure the system's reason in *error.
static HMODULE loadLibrary(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryW(widen(path).c_str());
  if (!module) {
    const DWORD code = GetLastError();
    char reason[512] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   reason, sizeof reason, nullptr);
    std::string why = reason;
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == '.'))
      why.pop_back();
    *error = "cannot load " + path + ": " + (why.empty() ? "error" : why) + " (" +
             std::to_string(code) + ")";
  }
  return module;
}

bool loadModule(const std::string& path, ModuleEntries* entries, std::string* error) {
  HMODULE module = loadLibrary(path, error);
  if (!module)
    return false;
  entries->init = reinterpret_cast<VmmgrVboxPdmInitFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "vmmgrVboxPdmInit")));
  entries->registerDevices = reinterpret_cast<VmmgrDevicesRegisterFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "VBoxDevicesRegister")));
  if (!entries->init || !entries->registerDevices) {
    *error = path + " does not export vmmgrVboxPdmInit and VBoxDevicesRegister";
    return false;
  }
  return true;
}

bool loadVmManager(const std::string& path, VmmgrPdmHostEntryFn* entry, std::string* error) {
  HMODULE library = loadLibrary(path, error);
  if (!library)
    return false;
  *entry = reinterpret_cast<VmmgrPdmHostEntryFn>(
      reinterpret_cast<void*>(GetProcAddress(library, VMMGR_PDMHOST_ENTRY_NAME)));
  if (!*entry) {
    *error = path + " does not export " VMMGR_PDMHOST_ENTRY_NAME;
    return false;
  }
  return true;
}

std::string defaultModulePath() {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  std::wstring self(buffer.data(), n);
  const size_t slash = self.find_last_of(L"\\/");
  std::wstring dir = slash == std::wstring::npos ? L"." : self.substr(0, slash);
  std::wstring path = dir + L"\\VmmgrVboxPdm.dll";
  const int len = WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(len > 0 ? len - 1 : 0, '\0');
  if (len > 0)
    WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, out.data(), len, nullptr, nullptr);
  return out;
}

} // namespace pdmhost
