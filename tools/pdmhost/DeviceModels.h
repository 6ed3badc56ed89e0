// The sample VM manager's devices: what a VM manager's callbacks would do behind the
// module. The callbacks of the device table are plain functions without a context
// argument, so each model is bound to one of a fixed set of trampolines by slot.
#pragma once

#include "vmmgr/vbox/pdm/VmmgrDeviceTable.h"
#include "vmmgr/vbox/pdm/VmmgrVboxPdm.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace pdmhost {

/// Devices of one kind a VM can hold: the table's callbacks carry no context, so each
/// model takes one of this many stamped-out callback pairs.
constexpr size_t PDMHOST_MAX_MODELS = 256;

/// A UART-like port range: a transmit register at base+0 that collects what the guest
/// sends, a line status register at base+5 (transmitter empty), and a scratch register
/// at base+7; every other port keeps the last value written to it.
class SerialModel {
public:
  SerialModel(uint16_t base, uint16_t count);
  int32_t read(uint16_t port, uint32_t* value, uint32_t size);
  int32_t write(uint16_t port, uint32_t value, uint32_t size);
  std::string transmitted() const;
  /// A port whose accesses the model refuses (its callbacks answer 1).
  void setFailingPort(int port) { failingPort_ = port; }

  VmmgrSerialReadFn readFn = nullptr;
  VmmgrSerialWriteFn writeFn = nullptr;

private:
  /// Whether the model answers an access at port; its register index in *index.
  bool accepts(uint16_t port, size_t* index) const;

  uint16_t base_;
  std::vector<uint32_t> ports_;
  std::string transmitted_;
  int failingPort_ = -1;
  mutable std::mutex lock_;
};

/// A PCI function with an MMIO register file: a read-only identification register at
/// 0x00, a scratch register at 0x04, a doorbell at 0x08 (writing nonzero raises the
/// interrupt line, zero lowers it) and an interrupt count at 0x0C; the rest of the region
/// is plain little-endian storage, kept as the 4 KiB pages the guest has written.
class PciModel {
public:
  static constexpr uint64_t REG_ID = 0x00;
  static constexpr uint64_t REG_SCRATCH = 0x04;
  static constexpr uint64_t REG_DOORBELL = 0x08;
  static constexpr uint64_t REG_IRQ_COUNT = 0x0C;

  PciModel(uint64_t mmioSize, uint32_t id);
  int32_t read(uint64_t offset, void* buffer, uint32_t size);
  int32_t write(uint64_t offset, const void* buffer, uint32_t size);
  /// The descriptor whose devIns the doorbell raises, and the module's interrupt function.
  void attach(VmmgrDeviceDesc* desc, VmmgrSetIrqFn setIrq) {
    desc_ = desc;
    setIrq_ = setIrq;
  }
  /// An offset whose accesses the model refuses (its callbacks answer 1).
  void setFailingOffset(int64_t offset) { failingOffset_ = offset; }

  VmmgrPciReadFn readFn = nullptr;
  VmmgrPciWriteFn writeFn = nullptr;

private:
  static constexpr uint64_t PAGE = 4096;
  void load(uint64_t offset, uint8_t* out, uint32_t size) const;
  void store(uint64_t offset, const uint8_t* in, uint32_t size);

  uint64_t size_;
  std::unordered_map<uint64_t, std::array<uint8_t, PAGE>> pages_;
  int64_t failingOffset_ = -1;
  VmmgrDeviceDesc* desc_ = nullptr;
  VmmgrSetIrqFn setIrq_ = nullptr;
  std::atomic<uint32_t> irqCount_{0};
  std::mutex lock_;
};

/// Binds a model to a free trampoline slot, filling its readFn and writeFn. Slots are
/// process-wide; release() frees every slot (one VM at a time).
void bindModel(SerialModel* model);
void bindModel(PciModel* model);
void releaseModels();

} // namespace pdmhost
