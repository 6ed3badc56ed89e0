// A minimal VM manager: it describes one serial port and one PCI function with an MMIO
// region in the module's device table, loads the module by path, hands over its logger and
// runs the module against the stand-in device manager of the devtools component (what
// VirtualBox does in a real VM). Prints every step; exits 1 if anything is off.
//
//   vmmgr-consumer [module path]
#include "tools/pdmhost/PdmHost.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
  std::printf("  %-4s %s\n", ok ? "ok" : "FAIL", what);
  if (!ok)
    ++failures;
}

// ---- the VM manager's logger: receives the module's messages ----

std::atomic<int> loggedErrors{0}, loggedWarnings{0};
std::mutex logLock;
std::vector<std::string> loggedLines;

int vmIsEnabled(int /*moduleId*/, int level) { return level <= XLOG_INFO; }

int vmLog(int level, int moduleId, const char* file, const char* function, int line,
          const char* format, ...) {
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  static const char letters[] = "EWIDV";
  const char letter = level >= 0 && level <= 4 ? letters[level] : '?';
  std::lock_guard<std::mutex> lock(logLock);
  std::printf("  [log %c module %d] %s:%d %s(): %s%s", letter, moduleId, file, line, function,
              message, (*message && message[std::strlen(message) - 1] == '\n') ? "" : "\n");
  loggedLines.push_back(message);
  if (level == XLOG_ERROR)
    ++loggedErrors;
  if (level == XLOG_WARNING)
    ++loggedWarnings;
  return 0;
}

const XlogLogger vmLogger = {vmIsEnabled, vmLog};

// ---- the VM manager's devices ----

// A serial port at 0x3f8: +0 transmits, +5 reads "transmitter empty", others keep a value.
constexpr uint16_t COM1_BASE = 0x3f8;
uint32_t com1Ports[8];
std::string com1Transmitted;

int32_t com1Read(uint16_t port, uint32_t* value, uint32_t /*size*/) {
  if (port < COM1_BASE || port >= COM1_BASE + 8)
    return 1;
  *value = port == COM1_BASE + 5 ? 0x60 : com1Ports[port - COM1_BASE];
  return 0;
}

int32_t com1Write(uint16_t port, uint32_t value, uint32_t /*size*/) {
  if (port < COM1_BASE || port >= COM1_BASE + 8)
    return 1;
  if (port == COM1_BASE)
    com1Transmitted += static_cast<char>(value & 0xFF);
  else
    com1Ports[port - COM1_BASE] = value;
  return 0;
}

// A PCI function whose MMIO region holds an identification register at 0x0, a scratch
// register at 0x4 and a doorbell at 0x8 that raises the interrupt line (nonzero) or lowers
// it (zero).
constexpr uint32_t NIC_ID = 0x5a4d0002;
constexpr uint64_t NIC_MMIO_SIZE = 4096;
uint32_t nicScratch = 0;
VmmgrSetIrqFn setIrq = nullptr;
VmmgrDeviceDesc* nicDesc = nullptr; // its devIns is written by the module at construction

int32_t nicRead(uint64_t offset, void* buffer, uint32_t size) {
  uint32_t value = 0;
  if (offset == 0x0)
    value = NIC_ID;
  else if (offset == 0x4)
    value = nicScratch;
  else if (offset >= NIC_MMIO_SIZE)
    return 1;
  std::memcpy(buffer, &value, size < 4 ? size : 4);
  return 0;
}

int32_t nicWrite(uint64_t offset, const void* buffer, uint32_t size) {
  uint32_t value = 0;
  std::memcpy(&value, buffer, size < 4 ? size : 4);
  if (offset == 0x4) {
    nicScratch = value;
  } else if (offset == 0x8) {
    setIrq(nicDesc->devIns, value != 0 ? 1 : 0);
  } else {
    return 1;
  }
  return 0;
}

// ---- the device table, laid out as the module reads it ----

// The VM manager's own bookkeeping uses its own standard types; the table holds only the
// layouts of VmmgrDeviceTable.h, pointing into storage that never moves or changes.
struct DeviceTable {
  std::deque<std::string> strings; // characters of table strings of 16 bytes or more
  std::vector<VmmgrDeviceDesc> entries;
  std::deque<std::vector<VmmgrRegionDesc>> regions;
  VmmgrDeviceList list{};

  void setString(VmmgrStdString& out, const std::string& s) {
    std::memset(&out, 0, sizeof out);
    out.size = s.size();
    if (s.size() < 16) {
      std::memcpy(out.inlineChars, s.c_str(), s.size() + 1);
      out.capacity = 15;
    } else {
      strings.push_back(s);
      out.heapChars = &strings.back()[0];
      out.capacity = s.size();
    }
  }
};

void putConfig16(uint8_t* config, unsigned offset, uint16_t value) {
  config[offset] = static_cast<uint8_t>(value);
  config[offset + 1] = static_cast<uint8_t>(value >> 8);
}

#if defined(_WIN32)
std::string moduleBesideSelf() {
  wchar_t self[32768];
  const DWORD n = GetModuleFileNameW(nullptr, self, 32768);
  std::wstring path(self, n);
  path = path.substr(0, path.find_last_of(L"\\/") + 1) + L"VmmgrVboxPdm.dll";
  char out[32768];
  WideCharToMultiByte(CP_UTF8, 0, path.c_str(), -1, out, sizeof out, nullptr, nullptr);
  return out;
}

std::wstring widen(const std::string& s) {
  wchar_t out[32768];
  MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, out, 32768);
  return out;
}
#endif

} // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);

  // 1. Load the module and find its two exports.
#if defined(_WIN32)
  const std::string path = argc > 1 ? argv[1] : moduleBesideSelf();
  HMODULE module = LoadLibraryW(widen(path).c_str());
  if (!module) {
    std::printf("cannot load %s: error %lu\n", path.c_str(), GetLastError());
    return 1;
  }
  auto init = reinterpret_cast<VmmgrVboxPdmInitFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "vmmgrVboxPdmInit")));
  auto registerDevices = reinterpret_cast<VmmgrDevicesRegisterFn>(
      reinterpret_cast<void*>(GetProcAddress(module, "VBoxDevicesRegister")));
#else
  const std::string path = argc > 1 ? argv[1] : VMMGR_MODULE_PATH;
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    std::printf("cannot load %s: %s\n", path.c_str(), dlerror());
    return 1;
  }
  auto init = reinterpret_cast<VmmgrVboxPdmInitFn>(dlsym(module, "vmmgrVboxPdmInit"));
  auto registerDevices =
      reinterpret_cast<VmmgrDevicesRegisterFn>(dlsym(module, "VBoxDevicesRegister"));
#endif
  std::printf("module %s\n", path.c_str());
  check(init && registerDevices, "exports vmmgrVboxPdmInit and VBoxDevicesRegister found");
  if (!init || !registerDevices)
    return 1;

#if defined(_WIN32)
  // The DLL's version resource carries the package version.
  {
    const std::wstring wpath = widen(path);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(wpath.c_str(), &ignored);
    std::vector<char> info(size ? size : 1);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    char version[64] = "";
    if (size && GetFileVersionInfoW(wpath.c_str(), 0, size, info.data()) &&
        VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize))
      std::snprintf(version, sizeof version, "%lu.%lu.%lu",
                    static_cast<unsigned long>(HIWORD(fixed->dwFileVersionMS)),
                    static_cast<unsigned long>(LOWORD(fixed->dwFileVersionMS)),
                    static_cast<unsigned long>(HIWORD(fixed->dwFileVersionLS)));
    std::printf("  file version %s, package version %s\n", version, VMMGR_EXPECTED_VERSION);
    check(std::strcmp(version, VMMGR_EXPECTED_VERSION) == 0,
          "the DLL's version resource matches the package version");
  }
#endif

  // 2. Describe the devices. The table must stay in place, unchanged, for the life of the VM.
  DeviceTable table;
  table.entries.resize(2);
  std::memset(table.entries.data(), 0, 2 * sizeof(VmmgrDeviceDesc));

  VmmgrDeviceDesc& com1 = table.entries[0];
  com1.type = VMMGR_DEVICE_SERIAL;
  table.setString(com1.name, "COM1");
  table.setString(com1.description, "VM manager serial port 1");
  com1.ioPortBase = COM1_BASE;
  com1.ioPortCount = 8;
  com1.serialReadFn = com1Read;
  com1.serialWriteFn = com1Write;

  VmmgrDeviceDesc& nic = table.entries[1];
  nic.type = VMMGR_DEVICE_PCI;
  table.setString(nic.name, "vmmgr-nic");
  table.setString(nic.description, "VM manager network function");
  putConfig16(nic.pciConfig, 0x00, 0x1de5); // vendor ID
  putConfig16(nic.pciConfig, 0x02, 0x0002); // device ID
  nic.pciConfig[0x08] = 0x01;               // revision
  nic.pciConfig[0x0B] = 0x02;               // base class: network controller
  putConfig16(nic.pciConfig, 0x2C, 0x1de5); // subsystem vendor ID
  putConfig16(nic.pciConfig, 0x2E, 0x0100); // subsystem ID
  table.regions.emplace_back(1);
  VmmgrRegionDesc& bar0 = table.regions.back()[0];
  std::memset(&bar0, 0, sizeof bar0);
  bar0.region = 0;
  bar0.isMmio = 1;
  bar0.size = NIC_MMIO_SIZE;
  nic.regions.begin = table.regions.back().data();
  nic.regions.end = table.regions.back().data() + table.regions.back().size();
  nic.regions.capacityEnd = nic.regions.end;
  nic.pciReadFn = nicRead;
  nic.pciWriteFn = nicWrite;
  nicDesc = &nic;

  table.list.begin = table.entries.data();
  table.list.end = table.entries.data() + table.entries.size();
  table.list.capacityEnd = table.list.end;

  // 3. Initialise the module with the table and our logger; it hands back the interrupt function.
  std::printf("vmmgrVboxPdmInit\n");
  check(init(&vmLogger, &table.list, &setIrq) == 0, "vmmgrVboxPdmInit returns 0");
  check(setIrq != nullptr, "the interrupt function was handed out");

  // 4. The device manager (here the stand-in host) registers and constructs the devices.
  pdmhost::Host host;
  std::printf("VBoxDevicesRegister\n");
  check(registerDevices(host.callbacks(), 0x00010000) == 0, "VBoxDevicesRegister returns 0");
  check(host.devices().size() == 2, "two devices registered");
  bool announced = false;
  for (const std::string& line : loggedLines)
    announced = announced || line == "All devices registered successfully\n";
  check(announced, "the module's info line arrived through our logger");

  std::printf("construction\n");
  check(host.constructAll() == 0, "both devices constructed");
  check(nic.devIns != nullptr, "the module wrote the PCI function's devIns");
  const uint32_t commandStatus = nic.pciConfig[4] | nic.pciConfig[5] << 8 |
                                 nic.pciConfig[6] << 16 | uint32_t(nic.pciConfig[7]) << 24;
  check(commandStatus == 0x00800006, "the module wrote command 0x0006, status 0x0080");

  // 5. The guest's firmware places the MMIO region.
  constexpr uint64_t MMIO_BASE = 0xE0000000;
  std::printf("placing region 0 of vmmgr-nic at 0x%llx\n", static_cast<unsigned long long>(MMIO_BASE));
  check(host.placeRegion(1, 0, MMIO_BASE) == 0, "region placed");

  // 6. Guest accesses through the host.
  std::printf("guest port accesses\n");
  check(host.portWrite(COM1_BASE + 7, 0x5a, 1) == 0, "write 0x5a to port 0x3ff");
  uint32_t value = 0;
  check(host.portRead(COM1_BASE + 7, 1, &value) == 0 && value == 0x5a, "read 0x5a back from port 0x3ff");
  check(host.portRead(COM1_BASE + 5, 1, &value) == 0 && value == 0x60, "line status 0x60 at port 0x3fd");
  for (char c : std::string("hi"))
    host.portWrite(COM1_BASE, static_cast<uint8_t>(c), 1);
  check(com1Transmitted == "hi", "the guest's bytes reached the VM manager's serial port");

  std::printf("guest MMIO accesses\n");
  value = 0;
  check(host.memRead(MMIO_BASE, &value, 4) == 0 && value == NIC_ID, "identification register reads 0x5a4d0002");
  const uint32_t scratch = 0xc0ffee;
  check(host.memWrite(MMIO_BASE + 4, &scratch, 4) == 0 && nicScratch == scratch, "scratch register written");
  value = 0;
  check(host.memRead(MMIO_BASE + 4, &value, 4) == 0 && value == scratch, "scratch register read back");
  const uint16_t half = 1;
  const int warningsBefore = loggedWarnings;
  check(host.memWrite(MMIO_BASE + 4, &half, 2) == -2, "a 2-byte MMIO write is refused with -2");
  check(loggedWarnings == warningsBefore + 1, "the refusal arrived as a warning");

  // 7. The interrupt line: raised and lowered by the doorbell (on the guest's access) and
  // from a thread of the VM manager.
  std::printf("interrupt line\n");
  const uint32_t one = 1, zero = 0;
  host.memWrite(MMIO_BASE + 8, &one, 4);
  check(host.devices()[1].irqLevel == 1, "doorbell raised the interrupt line");
  host.memWrite(MMIO_BASE + 8, &zero, 4);
  check(host.devices()[1].irqLevel == 0, "doorbell lowered it");
  std::thread vmThread([&] {
    setIrq(nic.devIns, 1);
    setIrq(nic.devIns, 0);
  });
  vmThread.join();
  const std::vector<pdmhost::IrqEvent> events = host.irqEvents();
  check(events.size() == 4 && events[2].level == 1 && events[3].level == 0,
        "four interrupt changes reached the host: 1, 0, 1, 0");

  check(loggedErrors == 0, "the module logged no error");
  std::printf("%s: %d failure(s)\n", failures ? "FAILED" : "passed", failures);
  return failures ? 1 : 0;
}
