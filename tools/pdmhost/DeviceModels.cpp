#include "tools/pdmhost/DeviceModels.h"

#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace pdmhost {

SerialModel::SerialModel(uint16_t base, uint16_t count) : base_(base), ports_(count, 0) {}

namespace {
// The low `size` bytes of a port value.
uint32_t truncated(uint32_t value, uint32_t size) {
  return size >= 4 ? value : value & ((1u << (8 * size)) - 1);
}
} // namespace

bool SerialModel::accepts(uint16_t port, size_t* index) const {
  *index = static_cast<uint16_t>(port - base_);
  return port != failingPort_ && *index < ports_.size();
}

int32_t SerialModel::read(uint16_t port, uint32_t* value, uint32_t size) {
  size_t index;
  if (!accepts(port, &index))
    return 1;
  std::lock_guard<std::mutex> g(lock_);
  uint32_t v = ports_[index];
  if (index == 5)
    v = 0x60; // transmitter holding register and shift register empty
  else if (index == 0)
    v = 0; // nothing received
  *value = truncated(v, size);
  return 0;
}

int32_t SerialModel::write(uint16_t port, uint32_t value, uint32_t size) {
  size_t index;
  if (!accepts(port, &index))
    return 1;
  std::lock_guard<std::mutex> g(lock_);
  const uint32_t v = truncated(value, size);
  if (index == 0)
    transmitted_.push_back(static_cast<char>(v & 0xFF));
  else
    ports_[index] = v;
  return 0;
}

std::string SerialModel::transmitted() const {
  std::lock_guard<std::mutex> g(lock_);
  return transmitted_;
}

PciModel::PciModel(uint64_t mmioSize, uint32_t id) : size_(mmioSize < 16 ? 16 : mmioSize) {
  uint8_t bytes[4];
  std::memcpy(bytes, &id, 4);
  store(REG_ID, bytes, 4);
}

void PciModel::load(uint64_t offset, uint8_t* out, uint32_t size) const {
  for (uint32_t i = 0; i < size; ++i) {
    const auto page = pages_.find((offset + i) / PAGE);
    out[i] = page == pages_.end() ? 0 : page->second[(offset + i) % PAGE];
  }
}

void PciModel::store(uint64_t offset, const uint8_t* in, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i)
    pages_[(offset + i) / PAGE][(offset + i) % PAGE] = in[i];
}

int32_t PciModel::read(uint64_t offset, void* buffer, uint32_t size) {
  if (static_cast<int64_t>(offset) == failingOffset_ || offset > size_ || size > size_ - offset)
    return 1;
  std::lock_guard<std::mutex> g(lock_);
  const uint32_t count = irqCount_;
  uint8_t bytes[4];
  std::memcpy(bytes, &count, 4);
  store(REG_IRQ_COUNT, bytes, 4);
  load(offset, static_cast<uint8_t*>(buffer), size);
  return 0;
}

int32_t PciModel::write(uint64_t offset, const void* buffer, uint32_t size) {
  if (static_cast<int64_t>(offset) == failingOffset_ || offset > size_ || size > size_ - offset)
    return 1;
  if (offset == REG_ID || offset == REG_IRQ_COUNT)
    return 0; // read-only: the write is ignored, as hardware does
  uint32_t value = 0;
  {
    std::lock_guard<std::mutex> g(lock_);
    store(offset, static_cast<const uint8_t*>(buffer), size);
    uint8_t bytes[4];
    load(offset, bytes, 4);
    std::memcpy(&value, bytes, 4);
  }
  if (offset == REG_DOORBELL && desc_ && setIrq_) {
    if (value)
      ++irqCount_;
    setIrq_(desc_->devIns, value ? 1 : 0);
  }
  return 0;
}

namespace {

std::array<SerialModel*, PDMHOST_MAX_MODELS> serialSlots{};
std::array<PciModel*, PDMHOST_MAX_MODELS> pciSlots{};

template <size_t I> int32_t serialRead(uint16_t port, uint32_t* value, uint32_t size) {
  return serialSlots[I]->read(port, value, size);
}
template <size_t I> int32_t serialWrite(uint16_t port, uint32_t value, uint32_t size) {
  return serialSlots[I]->write(port, value, size);
}
template <size_t I> int32_t pciRead(uint64_t offset, void* buffer, uint32_t size) {
  return pciSlots[I]->read(offset, buffer, size);
}
template <size_t I> int32_t pciWrite(uint64_t offset, const void* buffer, uint32_t size) {
  return pciSlots[I]->write(offset, buffer, size);
}

template <size_t... I>
constexpr std::array<std::pair<VmmgrSerialReadFn, VmmgrSerialWriteFn>, sizeof...(I)>
serialTrampolines(std::index_sequence<I...>) {
  return {{{serialRead<I>, serialWrite<I>}...}};
}
template <size_t... I>
constexpr std::array<std::pair<VmmgrPciReadFn, VmmgrPciWriteFn>, sizeof...(I)>
pciTrampolines(std::index_sequence<I...>) {
  return {{{pciRead<I>, pciWrite<I>}...}};
}

template <typename Model, typename Slots, typename Trampolines>
void bindTo(Model* model, Slots& slots, const Trampolines& trampolines) {
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i]) {
      slots[i] = model;
      model->readFn = trampolines[i].first;
      model->writeFn = trampolines[i].second;
      return;
    }
  }
  throw std::runtime_error("more devices of one kind than pdmhost has callback slots");
}

} // namespace

void bindModel(SerialModel* model) {
  static constexpr auto trampolines =
      serialTrampolines(std::make_index_sequence<PDMHOST_MAX_MODELS>());
  bindTo(model, serialSlots, trampolines);
}

void bindModel(PciModel* model) {
  static constexpr auto trampolines =
      pciTrampolines(std::make_index_sequence<PDMHOST_MAX_MODELS>());
  bindTo(model, pciSlots, trampolines);
}

void releaseModels() {
  serialSlots.fill(nullptr);
  pciSlots.fill(nullptr);
}

} // namespace pdmhost
