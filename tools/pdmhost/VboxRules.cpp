#include "tools/pdmhost/VboxRules.h"

#include <cinttypes>
#include <cstdio>
#include <set>

namespace pdmhost {

namespace {

// VirtualBox's status codes for the refusals below (include/iprt/err.h, include/VBox/err.h).
constexpr int VERR_INVALID_PARAMETER = -2;
constexpr int VERR_OUT_OF_RANGE = -54;
constexpr int VERR_PDM_INVALID_DEVICE_REGISTRATION = -2836;
constexpr int VERR_PDM_DEVICE_NAME_CLASH = -2839;

// The registration record's name field holds 32 bytes with its terminator.
constexpr size_t NAME_FIELD = 32;
constexpr uint64_t PAGE_SIZE = 4096;
constexpr uint32_t MAX_PORTS_PER_RANGE = 8192;

struct Family {
  int major, minor;
  int firstPatch, lastPatch; ///< the patch releases served; lastPatch -1: any
};

// 5.1.0 to 5.1.8 have an older PCI interface the module has no profile for.
constexpr Family families[] = {{5, 1, 10, 34}, {5, 2, 0, -1}, {6, 0, 0, -1}, {6, 1, 0, -1},
                               {7, 0, 0, -1},  {7, 1, 0, -1}, {7, 2, 0, -1}};

bool validNameChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
         c == '-' || c == '_';
}

// A number of one to three digits, as release numbers are written.
bool readNumber(const std::string& text, size_t* at, int* value) {
  size_t end = *at;
  while (end < text.size() && end - *at < 4 && text[end] >= '0' && text[end] <= '9')
    ++end;
  if (end == *at || end - *at > 3)
    return false;
  *value = std::stoi(text.substr(*at, end - *at));
  *at = end;
  return true;
}

std::string deviceLabel(const ScenarioDevice& d) { return "device \"" + d.name + "\""; }

std::string statusText(int status, const char* name) { return std::to_string(status) + " " + name; }

} // namespace

const char* vboxReleasesAccepted() {
  return "5.1 (5.1.10 to 5.1.34), 5.2, 6.0, 6.1, 7.0, 7.1, 7.2, each also as a full version "
         "such as 6.1.40";
}

bool parseVboxRelease(const std::string& text, VboxRelease* release, std::string* error) {
  VboxRelease r;
  r.text = text;
  size_t at = 0;
  bool ok = readNumber(text, &at, &r.major) && at < text.size() && text[at++] == '.' &&
            readNumber(text, &at, &r.minor);
  if (ok && at < text.size())
    ok = text[at++] == '.' && readNumber(text, &at, &r.patch) && at == text.size();
  if (!ok) {
    *error = "\"" + text + "\" is not a VirtualBox release (" + vboxReleasesAccepted() + ")";
    return false;
  }
  for (const Family& f : families) {
    if (f.major != r.major || f.minor != r.minor)
      continue;
    if (r.patch >= 0 && (r.patch < f.firstPatch || (f.lastPatch >= 0 && r.patch > f.lastPatch))) {
      *error = "VirtualBox " + text + " is not served: the module serves " + vboxReleasesAccepted();
      return false;
    }
    *release = r;
    return true;
  }
  *error = "VirtualBox " + text + " is not served: the module serves " + vboxReleasesAccepted();
  return false;
}

bool vboxNewStyle(const VboxRelease& release) {
  return release.major > 6 || (release.major == 6 && release.minor >= 1);
}

std::vector<std::string> checkVboxRules(const std::vector<ScenarioDevice>& devices,
                                        const VboxRelease& release) {
  std::vector<std::string> broken;
  std::set<std::string> seen;
  const std::string at = "VirtualBox " + release.text + ": ";
  const std::string refused =
      statusText(VERR_PDM_INVALID_DEVICE_REGISTRATION, "VERR_PDM_INVALID_DEVICE_REGISTRATION");
  for (const ScenarioDevice& d : devices) {
    if (d.name.empty())
      broken.push_back(at + "a device without a name: registration refused with " + refused);
    else if (d.name.size() >= NAME_FIELD)
      broken.push_back(at + deviceLabel(d) + ": " + std::to_string(d.name.size()) +
                       " bytes, names are at most 31: registration refused with " + refused);
    for (const char c : d.name)
      if (!validNameChar(static_cast<unsigned char>(c))) {
        char shown[8];
        std::snprintf(shown, sizeof shown, "0x%02x", static_cast<unsigned char>(c));
        broken.push_back(at + deviceLabel(d) + ": the character " + shown +
                         " (names hold letters, digits, space, '-' and '_'): registration "
                         "refused with " +
                         refused);
        break;
      }
    if (!d.name.empty() && !seen.insert(d.name).second)
      broken.push_back(at + deviceLabel(d) +
                       ": a second device of that name: registration "
                       "refused with " +
                       statusText(VERR_PDM_DEVICE_NAME_CLASH, "VERR_PDM_DEVICE_NAME_CLASH"));
    if (d.serial && vboxNewStyle(release) &&
        (d.ioPortCount == 0 || d.ioPortCount > MAX_PORTS_PER_RANGE))
      broken.push_back(at + deviceLabel(d) + ": " + std::to_string(d.ioPortCount) +
                       " ports in one range, 1 to 8192 from 6.1 on: construction refused "
                       "with " +
                       statusText(VERR_OUT_OF_RANGE, "VERR_OUT_OF_RANGE"));
    for (const ScenarioRegion& r : d.regions)
      if (!r.mmio && r.size % PAGE_SIZE != 0) {
        char size[64];
        std::snprintf(size, sizeof size, "%" PRIu64, r.size);
        broken.push_back(at + deviceLabel(d) + " region " + std::to_string(r.region) +
                         ": shared memory of " + size +
                         " bytes, not whole 4096-byte pages: construction refused with " +
                         statusText(VERR_INVALID_PARAMETER, "VERR_INVALID_PARAMETER"));
      }
  }
  return broken;
}

} // namespace pdmhost
