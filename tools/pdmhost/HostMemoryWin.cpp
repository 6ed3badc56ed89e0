// Shared memory of the stand-in host on Windows: committed at once (the VM manager
// dereferences the pointer directly, with no fault handler to commit on demand), but the
// system makes a committed page resident only when it is first touched.
#include "tools/pdmhost/PdmHost.h"

#include <windows.h>

namespace pdmhost {

bool ReservedMemory::reserve(uint64_t size) {
  void* p =
      VirtualAlloc(nullptr, static_cast<SIZE_T>(size), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!p)
    return false;
  data_ = static_cast<uint8_t*>(p);
  size_ = size;
  return true;
}

ReservedMemory::~ReservedMemory() {
  if (data_)
    VirtualFree(data_, 0, MEM_RELEASE);
}

} // namespace pdmhost
