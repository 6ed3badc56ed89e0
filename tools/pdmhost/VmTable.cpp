#include "tools/pdmhost/VmTable.h"

#include "tools/pdmhost/Scenario.h"

#include <cstring>

namespace pdmhost {

void VmTable::setString(VmmgrStdString& out, const std::string& s) {
  std::memset(&out, 0, sizeof out);
  out.size = s.size();
  if (s.size() < 16) {
    std::memcpy(out.inlineChars, s.data(), s.size());
    out.capacity = 15;
  } else {
    heapStrings_.emplace_back(new char[s.size() + 1]);
    char* chars = heapStrings_.back().get();
    std::memcpy(chars, s.c_str(), s.size() + 1);
    out.heapChars = chars;
    out.capacity = s.size();
  }
}

size_t VmTable::addSerial(const SerialSpec& entry) {
  VmmgrDeviceDesc desc;
  std::memset(&desc, 0, sizeof desc);
  desc.type = VMMGR_DEVICE_SERIAL;
  setString(desc.name, entry.name);
  setString(desc.description, entry.description);
  desc.ioPortBase = entry.ioPortBase;
  desc.ioPortCount = entry.ioPortCount;
  desc.serialReadFn = entry.read;
  desc.serialWriteFn = entry.write;
  entries_.push_back(desc);
  return entries_.size() - 1;
}

size_t VmTable::addPci(const PciSpec& entry) {
  VmmgrDeviceDesc desc;
  std::memset(&desc, 0, sizeof desc);
  desc.type = VMMGR_DEVICE_PCI;
  setString(desc.name, entry.name);
  setString(desc.description, entry.description);
  std::memcpy(desc.pciConfig, entry.config, sizeof desc.pciConfig);
  std::vector<VmmgrRegionDesc>& records = regions_.emplace_back();
  for (const RegionSpec& r : entry.regions) {
    VmmgrRegionDesc record;
    std::memset(&record, 0, sizeof record);
    record.region = r.region;
    record.isMmio = r.isMmio ? 1 : 0;
    record.size = r.size;
    record.sharedMemoryOut = r.sharedMemoryOut;
    records.push_back(record);
  }
  desc.regions.begin = records.data();
  desc.regions.end = records.data() + records.size();
  desc.regions.capacityEnd = records.data() + records.capacity();
  desc.pciReadFn = entry.read;
  desc.pciWriteFn = entry.write;
  entries_.push_back(desc);
  return entries_.size() - 1;
}

size_t VmTable::addRaw(int32_t type, const std::string& name) {
  VmmgrDeviceDesc desc;
  std::memset(&desc, 0, sizeof desc);
  desc.type = type;
  setString(desc.name, name);
  setString(desc.description, name);
  entries_.push_back(desc);
  return entries_.size() - 1;
}

VmmgrDeviceList* VmTable::list() {
  list_.begin = entries_.data();
  list_.end = entries_.data() + entries_.size();
  list_.capacityEnd = entries_.data() + entries_.capacity();
  return &list_;
}

uint16_t configRead16(const uint8_t* config, unsigned offset) {
  return static_cast<uint16_t>(config[offset] | config[offset + 1] << 8);
}

uint32_t configRead32(const uint8_t* config, unsigned offset) {
  return static_cast<uint32_t>(configRead16(config, offset)) |
         static_cast<uint32_t>(configRead16(config, offset + 2)) << 16;
}

void configWrite16(uint8_t* config, unsigned offset, uint16_t value) {
  config[offset] = static_cast<uint8_t>(value);
  config[offset + 1] = static_cast<uint8_t>(value >> 8);
}

void configWrite32(uint8_t* config, unsigned offset, uint32_t value) {
  configWrite16(config, offset, static_cast<uint16_t>(value));
  configWrite16(config, offset + 2, static_cast<uint16_t>(value >> 16));
}

void ModelTable::build(const std::vector<ScenarioDevice>& devices) {
  releaseModels();
  for (const ScenarioDevice& d : devices) {
    serialOf.push_back(nullptr);
    pciOf.push_back(nullptr);
    if (d.serial) {
      auto model = std::make_unique<SerialModel>(d.ioPortBase, d.ioPortCount);
      if (d.failPort)
        model->setFailingPort(*d.failPort);
      bindModel(model.get());
      table.addSerial(SerialSpec{d.name, d.description, d.ioPortBase, d.ioPortCount, model->readFn,
                                 model->writeFn});
      serialOf.back() = model.get();
      serials.push_back(std::move(model));
      continue;
    }
    uint64_t mmioSize = 16;
    for (const ScenarioRegion& r : d.regions)
      if (r.mmio)
        mmioSize = r.size;
    auto model = std::make_unique<PciModel>(mmioSize, d.idRegister);
    model->setFailingOffset(d.failOffset ? static_cast<int64_t>(*d.failOffset) : -1);
    bindModel(model.get());
    PciSpec entry;
    entry.name = d.name;
    entry.description = d.description;
    configWrite16(entry.config, 0x00, d.vendorId);
    configWrite16(entry.config, 0x02, d.deviceId);
    entry.config[0x08] = d.revision;
    entry.config[0x09] = d.progIf;
    entry.config[0x0A] = d.subclass;
    entry.config[0x0B] = d.baseClass;
    configWrite16(entry.config, 0x2C, d.subsystemVendorId);
    configWrite16(entry.config, 0x2E, d.subsystemId);
    for (const ScenarioRegion& r : d.regions)
      entry.regions.push_back(
          RegionSpec{r.region, r.mmio, r.size, r.mmio ? nullptr : &sharedMemoryOut.emplace_back()});
    entry.read = model->readFn;
    entry.write = model->writeFn;
    table.addPci(entry);
    pciOf.back() = model.get();
    pcis.push_back(std::move(model));
  }
}

void ModelTable::attach(VmmgrSetIrqFn setIrq) {
  for (size_t i = 0; i < pciOf.size(); ++i)
    if (pciOf[i])
      pciOf[i]->attach(&table.entry(i), setIrq);
}

std::vector<ScenarioDevice> devicesOfTable(const VmmgrDeviceList& list) {
  std::vector<ScenarioDevice> devices;
  for (auto* e = static_cast<const VmmgrDeviceDesc*>(list.begin); e != list.end; ++e) {
    ScenarioDevice& d = devices.emplace_back();
    d.serial = e->type == VMMGR_DEVICE_SERIAL;
    d.name.assign(vmmgrStdStringData(e->name), e->name.size);
    d.description.assign(vmmgrStdStringData(e->description), e->description.size);
    d.ioPortBase = e->ioPortBase;
    d.ioPortCount = e->ioPortCount;
    d.vendorId = configRead16(e->pciConfig, 0x00);
    d.deviceId = configRead16(e->pciConfig, 0x02);
    for (auto* r = static_cast<const VmmgrRegionDesc*>(e->regions.begin);
         !d.serial && r != e->regions.end; ++r)
      d.regions.push_back(ScenarioRegion{r->region, r->isMmio != 0, r->size});
  }
  return devices;
}

} // namespace pdmhost
