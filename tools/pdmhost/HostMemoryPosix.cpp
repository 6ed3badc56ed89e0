// Shared memory of the stand-in host on POSIX: an anonymous private mapping without swap
// reservation, so only the pages the guest or the VM manager touch become resident.
#include "tools/pdmhost/PdmHost.h"

#include <sys/mman.h>

namespace pdmhost {

bool ReservedMemory::reserve(uint64_t size) {
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                 -1, 0);
  if (p == MAP_FAILED)
    return false;
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  return true;
}

ReservedMemory::~ReservedMemory() {
  if (data_)
    munmap(data_, size_);
}

} // namespace pdmhost
