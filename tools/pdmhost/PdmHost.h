// A stand-in for the device manager: it honours the registration callback, the device
// instance fields and the helper slots the module uses, carries out their effects (ports,
// a guest-physical map of MMIO ranges and shared memory, PCI regions, interrupt levels)
// and records every call. It plays one release (HostReleases.h): that release's version
// words, record and instance layouts and helper slots; any other slot is a trap that
// records the call as a failure and refuses it.
#pragma once

#include "tools/pdmhost/HostReleases.h"
#include "vmmgr/vbox/pdm/VmmgrPdmHost.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace pdmhost {

/// The host's own statuses (negative: failure): name, value, meaning. The enum and the
/// names pdmhost prints both come from this list.
#define PDMHOST_STATUS_MAP(X)                                                                      \
  X(PDMHOST_ERR_INVALID, -1001, "an argument the host cannot accept")                              \
  X(PDMHOST_ERR_CONFLICT, -1002, "overlaps a port range or guest-physical range in use")           \
  X(PDMHOST_ERR_NOT_FOUND, -1003, "no such region")                                                \
  X(PDMHOST_ERR_UNASSIGNED, -1004, "a guest access where nothing is mapped")                       \
  X(PDMHOST_ERR_NO_MEMORY, -1005, "the system refused to reserve the shared memory")               \
  X(PDMHOST_ERR_TRAP, -1006, "a helper slot the release does not have or pdmhost does not play")

enum : int32_t {
  PDMHOST_OK = 0,
#define PDMHOST_STATUS_ENUM(name, value, meaning) name = value,
  PDMHOST_STATUS_MAP(PDMHOST_STATUS_ENUM)
#undef PDMHOST_STATUS_ENUM
};

/// The host's function for a helper it carries out (with that helper's signature), or
/// nullptr for one it does not play.
void* helperFunction(Helper helper);

/// The name of one of the host's statuses ("PDMHOST_ERR_CONFLICT"), or nullptr.
const char* hostStatusName(int32_t status);
/// "-1004 PDMHOST_ERR_UNASSIGNED" for the host's statuses, the bare number otherwise.
std::string hostStatusText(int32_t status);
/// "0x1f": how pdmhost prints addresses and values.
std::string hexText(uint64_t value);

/// Zeroed memory whose pages become resident only when touched, so a large region costs
/// what the guest uses of it. Reserved with mmap (POSIX) or VirtualAlloc (Windows).
class ReservedMemory {
public:
  ReservedMemory() = default;
  ~ReservedMemory();
  ReservedMemory(const ReservedMemory&) = delete;
  ReservedMemory& operator=(const ReservedMemory&) = delete;
  /// False when the system refuses; the object then holds nothing.
  bool reserve(uint64_t size);
  uint8_t* get() const { return data_; }

private:
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
};

/// Where the next region of `size` bytes goes when regions are placed upward from *cursor,
/// each aligned to its size (at least 4 KiB), as firmware assigns BARs; moves *cursor past
/// it. False when it would run past the end of the address space.
bool placeUpward(uint64_t* cursor, uint64_t size, uint64_t* at);

/// Operations that can be made to answer with a chosen status (fault injection).
enum class HostOp : int {
  Register = -1,
  IoPortRegister = 1,
  MmioRegister = 5,
  Mmio2Register = 9,
  Mmio2Map = 12,
  PciRegister = 45,
  PciIoRegionRegister = 47,
};

struct PortRange {
  VmmgrPdmDevIns* devIns;
  uint16_t first;
  uint16_t count;
  void* user;
  VmmgrPdmIoPortOutFn out;
  VmmgrPdmIoPortInFn in;
  std::string description;
  bool relative = false; ///< new style without the absolute flag: ports count from 0
  bool mapped = false;   ///< a new-style handle, once mapped
};

struct MmioRange {
  VmmgrPdmDevIns* devIns;
  uint64_t base;
  uint64_t size;
  void* user;
  VmmgrPdmMmioWriteFn write;
  VmmgrPdmMmioReadFn read;
  uint32_t flags;
  std::string description;
  bool relative = false; ///< new style: the callbacks get offsets into the region
};

struct SharedMemory {
  VmmgrPdmDevIns* devIns;
  void* pciDev;
  uint32_t region;
  uint64_t size;
  uint32_t flags;
  std::string description;
  ReservedMemory memory;
  bool mapped = false;
  uint64_t gcPhys = 0;
};

struct PciRegion {
  uint32_t region;
  uint64_t size;
  int32_t type;
  VmmgrPdmPciMapFn map;
  bool placed = false;
  uint64_t gcPhys = 0;
  uint32_t handleKind = 0; ///< new style: 2 an MMIO handle, 3 a shared-memory one; the bus maps it
  uint64_t handle = 0;
};

struct IrqEvent {
  VmmgrPdmDevIns* devIns;
  void* pciDev;
  int32_t irq;
  int32_t level;
};

/// One registered device and, once constructed, its instance.
struct Device {
  const VmmgrDeviceRegistration* record = nullptr; ///< where the module keeps it
  /// The record as it was when registered, in the 248-byte layout whatever the release's.
  VmmgrDeviceRegistration copy{};
  uint32_t instanceSizeCC = 0; ///< the ring-3 instance data, where the layout has it
  std::unique_ptr<uint8_t[]> storage;
  VmmgrPdmDevIns* devIns = nullptr;
  bool constructed = false;
  int32_t constructStatus = 0;
  void* pciDev = nullptr; ///< as registered at slot 45
  uint32_t pciConfigIndex = 0, pciFlags = 0;
  uint8_t pciDevNo = 0, pciFnNo = 0;
  std::vector<PciRegion> regions;
  int32_t irqLevel = 0;

  std::string name() const;
  bool isPci() const { return pciDev != nullptr; }
  /// The PCI configuration space: the start of the PCI device before 6.1, further in after.
  uint8_t* config() const { return static_cast<uint8_t*>(pciDev) + configOffset; }
  size_t configOffset = 0;
  void* instanceData() const { return instanceData_; }
  void* instanceData_ = nullptr;
};

class Host {
public:
  explicit Host(const HostRelease& release = standInRelease());
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  /// The table handed to the module's registration entry.
  VmmgrPdmRegCallbacks* callbacks() { return &callbacks_.table; }
  const HostRelease& release() const { return release_; }
  /// Calls of helper slots this release does not have or the host does not play, each as
  /// "call to slot N (name in that release)"; each one is a failure of the run.
  const std::vector<std::string>& failures() const { return failures_; }

  /// The next `count` calls of op after skip successful ones answer status: a negative
  /// status refuses the call without effect, a positive one carries it out and answers
  /// status. One entry however large the count, so a scenario's count costs no memory.
  void injectStatus(HostOp op, int32_t status, int skip = 0, uint64_t count = 1);

  /// Instance data is filled with this byte before construction (to see what is left alone).
  void setInstanceFill(uint8_t fill) { instanceFill_ = fill; }

  /// Constructs device i (instance 0): allocates the instance and calls the constructor.
  int32_t construct(size_t i);
  /// Constructs every registered device in order; stops at the first failure.
  int32_t constructAll();

  /// Places region `region` of device i at gcPhys: calls the device's map callback.
  int32_t placeRegion(size_t i, uint32_t region, uint64_t gcPhys);
  /// Places every PCI region of every constructed device, from `base` upward, each
  /// aligned to its size (at least 4 KiB), as firmware assigns BARs.
  int32_t placeAllRegions(uint64_t base);

  /// A guest port access: dispatched to the range that holds the port.
  int32_t portRead(uint16_t port, uint32_t size, uint32_t* value);
  int32_t portWrite(uint16_t port, uint32_t value, uint32_t size);
  /// A guest memory access: dispatched to an MMIO range's callbacks or to mapped shared
  /// memory. Accesses must not cross a range's end.
  int32_t memRead(uint64_t gcPhys, void* buffer, uint32_t size);
  int32_t memWrite(uint64_t gcPhys, const void* buffer, uint32_t size);

  // What the host received, in order.
  std::deque<Device>& devices() { return devices_; }
  Device* findDevice(const std::string& name);
  const std::vector<PortRange>& portRanges() const { return ports_; }
  const std::deque<MmioRange>& mmioRanges() const { return mmio_; }
  const std::vector<std::unique_ptr<SharedMemory>>& sharedMemory() const { return shared_; }
  std::vector<IrqEvent> irqEvents() const;
  /// Slot numbers of the helper calls (-1 for a registration), in call order.
  const std::vector<int>& calls() const { return calls_; }
  void clearCalls() { calls_.clear(); }

  // Helper slot implementations (public for the static trampolines).
  int32_t doRegister(const VmmgrDeviceRegistration* reg);
  int32_t doIoPortRegister(VmmgrPdmDevIns* devIns, uint16_t port, uint16_t count, void* user,
                           VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outStr,
                           void* inStr, const char* description);
  int32_t doMmioRegister(VmmgrPdmDevIns* devIns, uint64_t gcPhys, uint64_t size, void* user,
                         VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void* fill,
                         uint32_t flags, const char* description);
  int32_t doMmio2Register(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t size,
                          uint32_t flags, void** memory, const char* description);
  int32_t doMmio2Map(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region, uint64_t gcPhys);
  int32_t doPciRegister(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t configIndex, uint32_t flags,
                        uint8_t device, uint8_t function, const char* name);
  int32_t doPciIoRegionRegister(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region,
                                uint64_t size, int32_t type, VmmgrPdmPciMapFn map);
  void doPciSetIrq(VmmgrPdmDevIns* devIns, void* pciDev, int32_t irq, int32_t level);

  // The new-style helpers of 6.1 and later (PdmHostNew.cpp).
  int32_t doIoPortCreate(VmmgrPdmDevIns* devIns, uint16_t count, uint32_t flags,
                         VmmgrPdmIoPortOutFn out, VmmgrPdmIoPortInFn in, void* outStr, void* inStr,
                         void* user, const char* description, uint64_t* handle);
  int32_t doIoPortMap(VmmgrPdmDevIns* devIns, uint64_t handle, uint16_t port);
  int32_t doMmioCreate(VmmgrPdmDevIns* devIns, uint64_t size, uint32_t flags,
                       VmmgrPdmMmioWriteFn write, VmmgrPdmMmioReadFn read, void* fill, void* user,
                       const char* description, uint64_t* handle);
  int32_t doMmio2Create(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t pciRegion, uint64_t size,
                        uint32_t flags, const char* description, void** mapping, uint64_t* handle);
  int32_t doPciRegisterNew(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t flags, uint8_t device,
                           uint8_t function, const char* name);
  int32_t doPciIoRegionRegisterNew(VmmgrPdmDevIns* devIns, void* pciDev, uint32_t region,
                                   uint64_t size, int32_t type, uint32_t flags, uint64_t handle,
                                   VmmgrPdmPciMapFn map);
  int32_t trapped(int slot);

  static Host* fromDevIns(const VmmgrPdmDevIns* devIns);

private:
  struct Callbacks {
    VmmgrPdmRegCallbacks table; // first: the module hands its address back
    Host* host;
  };
  int32_t checkRecord(const uint8_t* reg, Device* d) const;
  struct Fault {
    int skip;
    int32_t status;
    uint64_t count;
  };
  // Guest-physical map: base -> what lies there.
  struct Mapping {
    uint64_t size;
    const MmioRange* mmio; // one of the two
    SharedMemory* shared;
  };

  /// Consumes a pending fault of op: true with *status set when the call is to answer it.
  bool takeFault(HostOp op, int32_t* status);
  Device* deviceOf(const VmmgrPdmDevIns* devIns);
  void unmapRegion(Device& d, PciRegion& r);
  int32_t mapHandle(Device& d, PciRegion& r, uint64_t gcPhys);
  int32_t mmioAccess(const MmioRange& r, uint64_t base, uint64_t gcPhys, void* buffer,
                     uint32_t size, bool write);
  bool overlaps(uint64_t base, uint64_t size, const void* except) const;
  const Mapping* mappingAt(uint64_t gcPhys, uint32_t size, uint64_t* base) const;

  HostRelease release_;
  Callbacks callbacks_;
  std::vector<void*> hlp_; // the release's helper table, slot by slot
  std::vector<std::string> failures_;
  uint8_t instanceFill_ = 0;
  std::deque<Device> devices_;
  std::vector<PortRange> ports_;
  std::vector<PortRange> portHandles_; // created by the new-style helper, mapped or not
  std::deque<MmioRange> mmio_;
  std::vector<std::unique_ptr<SharedMemory>> shared_;
  std::map<uint64_t, Mapping> guestMap_;
  std::map<HostOp, std::vector<Fault>> faults_;
  std::vector<int> calls_;
  mutable std::mutex irqLock_; // interrupts come from the VM manager's threads
  std::vector<IrqEvent> irqEvents_;
};

} // namespace pdmhost
