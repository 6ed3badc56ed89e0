#include "tools/pdmhost-vbox/InstallCheck.h"

#include <cstdint>

namespace pdmhost {

namespace {

uint32_t read32(const std::string& b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

uint16_t read16(const std::string& b, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) |
                               static_cast<unsigned char>(b[at + 1]) << 8);
}

} // namespace

PeSignature peSignature(const std::string& b) {
  // DOS header, then "PE\0\0", the 20-byte file header and the optional header, whose data
  // directories follow 96 (PE32) or 112 (PE32+) bytes in; the security directory is the
  // fifth, and its address is a file offset, not a virtual one.
  if (b.size() < 0x40 || b[0] != 'M' || b[1] != 'Z')
    return PeSignature::NotPe;
  const uint64_t pe = read32(b, 0x3C);
  if (pe + 24 + 2 > b.size() || b.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
    return PeSignature::NotPe;
  const uint64_t optional = pe + 24;
  const uint16_t magic = read16(b, optional);
  if (magic != 0x10B && magic != 0x20B)
    return PeSignature::NotPe;
  const uint64_t countAt = optional + (magic == 0x20B ? 108 : 92);
  const uint64_t directories = optional + (magic == 0x20B ? 112 : 96);
  if (directories + 5 * 8 > b.size() || read32(b, countAt) < 5)
    return PeSignature::Unsigned;
  const uint64_t offset = read32(b, directories + 4 * 8);
  const uint64_t size = read32(b, directories + 4 * 8 + 4);
  // WIN_CERTIFICATE: length, revision, type 2 (PKCS#7 signed data).
  if (offset == 0 || size < 8 || offset + size > b.size() || read32(b, offset) > size ||
      read16(b, offset + 6) != 2)
    return PeSignature::Unsigned;
  return PeSignature::Signed;
}

} // namespace pdmhost
