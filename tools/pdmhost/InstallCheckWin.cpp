// The rules of VirtualBox's hardened loader for a plug-in on Windows
// (src/VBox/HostDrivers/Support/SUPR3HardenedVerify.cpp: supR3HardenedVerifyFile, and
// win/SUPHardenedVerifyImage-win.cpp). What can be read from the file is checked: the
// absolute path, that an Authenticode signature is present, and the owner. Whether the
// signature chains to a root the release accepts is not: that takes the target machine.
#include "tools/pdmhost/InstallCheck.h"
#include "tools/pdmhost/WideWin.h"

#include <aclapi.h>
#include <sddl.h>

#include <fstream>
#include <iterator>

namespace pdmhost {

namespace {

// The owners the loader trusts (supHardNtViCheckIsOwnedByTrustedInstallerOrSimilar).
const char* trustedOwner(PSID owner) {
  static const char* const names[][2] = {
      {"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464", "TrustedInstaller"},
      {"S-1-5-18", "SYSTEM"},
      {"S-1-5-32-544", "Administrators"}};
  for (const auto& n : names) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(n[0], &sid))
      continue;
    const bool equal = EqualSid(owner, sid) != 0;
    LocalFree(sid);
    if (equal)
      return n[1];
  }
  return nullptr;
}

} // namespace

InstallReport checkInstall(const std::string& path) {
  InstallReport report;
  const std::string q = "'" + path + "'";
  const bool absolute = path.size() > 2 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
                        path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  if (!absolute)
    report.refusals.push_back(q + ": not an absolute path with a drive letter (VirtualBox: "
                                  "\"The path is not absolute\")");
  std::ifstream in(widen(path).c_str(), std::ios::binary);
  if (!in) {
    report.refusals.push_back(q + ": cannot be opened");
    return report;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  switch (peSignature(bytes)) {
  case PeSignature::NotPe:
    report.refusals.push_back(q + ": not a PE image (not a DLL)");
    break;
  case PeSignature::Unsigned:
    report.refusals.push_back(q + ": no Authenticode signature: VirtualBox refuses an unsigned "
                                  "device module");
    break;
  case PeSignature::Signed:
    report.notes.push_back(q + ": an Authenticode signature is present (whether it chains to a "
                               "root this VirtualBox accepts is not checked here)");
    break;
  }
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD rc =
      GetNamedSecurityInfoW(widen(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                            nullptr, nullptr, nullptr, &descriptor);
  if (rc != ERROR_SUCCESS || !owner) {
    report.notes.push_back(q + ": the owner cannot be read here (error " + std::to_string(rc) +
                           "), not checked");
  } else if (!trustedOwner(owner)) {
    char* text = nullptr;
    std::string sid = ConvertSidToStringSidA(owner, &text) ? text : "?";
    if (text)
      LocalFree(text);
    report.refusals.push_back(q + ": owned by " + sid +
                              ", not TrustedInstaller, SYSTEM or Administrators (VirtualBox: "
                              "\"TrustedInstaller is not the owner\")");
  }
  if (descriptor)
    LocalFree(descriptor);
  return report;
}

} // namespace pdmhost
