// Builds a device table the way a VM manager lays it out in its own memory: strings of 32
// bytes with a 16-byte inline buffer, vectors of three pointers. The table and everything
// it points to stay in place for the life of the object.
#pragma once

#include "tools/pdmhost/DeviceModels.h"
#include "vmmgr/vbox/pdm/VmmgrDeviceTable.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace pdmhost {

struct SerialSpec {
  std::string name;
  std::string description;
  uint16_t ioPortBase = 0;
  uint16_t ioPortCount = 0;
  VmmgrSerialReadFn read = nullptr;
  VmmgrSerialWriteFn write = nullptr;
};

struct RegionSpec {
  uint32_t region = 0;
  bool isMmio = false;
  uint64_t size = 0;
  void** sharedMemoryOut = nullptr;
};

struct PciSpec {
  std::string name;
  std::string description;
  uint8_t config[256] = {};
  std::vector<RegionSpec> regions;
  VmmgrPciReadFn read = nullptr;
  VmmgrPciWriteFn write = nullptr;
};

class VmTable {
public:
  VmTable() = default;
  VmTable(const VmTable&) = delete;
  VmTable& operator=(const VmTable&) = delete;

  /// Adds an entry; returns its index. Entries must all be added before list() is used.
  size_t addSerial(const SerialSpec& entry);
  size_t addPci(const PciSpec& entry);
  /// An entry with any type value, for the tests of a broken table.
  size_t addRaw(int32_t type, const std::string& name);

  /// The VM manager's vector of descriptors, as passed to vmmgrVboxPdmInit.
  VmmgrDeviceList* list();
  VmmgrDeviceDesc& entry(size_t index) { return entries_[index]; }
  size_t size() const { return entries_.size(); }

  /// Writes s into a table string with the VM manager's layout.
  void setString(VmmgrStdString& out, const std::string& s);

private:
  std::vector<VmmgrDeviceDesc> entries_;
  std::deque<std::vector<VmmgrRegionDesc>> regions_;
  std::deque<std::unique_ptr<char[]>> heapStrings_;
  VmmgrDeviceList list_{};
};

struct ScenarioDevice;

/// pdmhost's own VM manager: a table of a scenario's devices with a model behind each entry
/// (device i is entry i). Models take process-wide callback slots: one at a time.
struct ModelTable {
  ModelTable() = default;
  ModelTable(const ModelTable&) = delete;
  ModelTable& operator=(const ModelTable&) = delete;
  ~ModelTable() { releaseModels(); }
  void build(const std::vector<ScenarioDevice>& devices);
  /// Hands each PCI model the module's interrupt function, for its doorbell.
  void attach(VmmgrSetIrqFn setIrq);

  VmTable table;
  std::vector<std::unique_ptr<SerialModel>> serials;
  std::vector<std::unique_ptr<PciModel>> pcis;
  std::vector<SerialModel*> serialOf; ///< by device index (nullptr for a PCI device)
  std::vector<PciModel*> pciOf;
  std::deque<void*> sharedMemoryOut; ///< one variable per shared region; addresses stay put
};

/// Reads a 16- or 32-bit little-endian value of a configuration image.
uint16_t configRead16(const uint8_t* config, unsigned offset);
uint32_t configRead32(const uint8_t* config, unsigned offset);
void configWrite16(uint8_t* config, unsigned offset, uint16_t value);
void configWrite32(uint8_t* config, unsigned offset, uint32_t value);

} // namespace pdmhost
