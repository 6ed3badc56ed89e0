// The rules of VirtualBox's hardened loader for a plug-in on Windows
// (src/VBox/HostDrivers/Support/SUPR3HardenedVerify.cpp: supR3HardenedVerifyFile, and
// win/SUPHardenedVerifyImage-win.cpp). What can be read from the file is checked: the
// absolute path, that an Authenticode signature is present, and the owner. Whether the
// signature chains to a root the release accepts is not: that takes the target machine.
#include "tools/pdmhost-vbox/InstallCheck.h"
#include "tools/pdmhost/WideWin.h"

#include <aclapi.h>
#include <sddl.h>

#include <cwctype>
#include <string>
#include <vector>

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

// Whether `path` lies in one of the directories VirtualBox's screening of DLL loads takes
// third-party images from (supR3HardenedScreenImage, SUPR3HardenedMain-win.cpp): Program
// Files and Common Files, both architectures, and System32. Compared without regard to case.
bool inTrustedLocation(const std::string& path) {
  std::wstring wide = widen(path);
  for (wchar_t& c : wide)
    c = c == L'/' ? L'\\' : static_cast<wchar_t>(towlower(c));
  const wchar_t* const variables[] = {L"ProgramFiles", L"ProgramFiles(x86)", L"CommonProgramFiles",
                                      L"CommonProgramFiles(x86)"};
  std::vector<std::wstring> roots;
  wchar_t buffer[MAX_PATH + 1];
  for (const wchar_t* v : variables) {
    const DWORD n = GetEnvironmentVariableW(v, buffer, MAX_PATH + 1);
    if (n > 0 && n <= MAX_PATH)
      roots.emplace_back(buffer, n);
  }
  const UINT n = GetSystemDirectoryW(buffer, MAX_PATH + 1);
  if (n > 0 && n <= MAX_PATH)
    roots.emplace_back(buffer, n);
  for (std::wstring root : roots) {
    for (wchar_t& c : root)
      c = static_cast<wchar_t>(towlower(c));
    if (wide.size() > root.size() + 1 && wide.compare(0, root.size(), root) == 0 &&
        wide[root.size()] == L'\\')
      return true;
  }
  return false;
}

} // namespace

bool moduleRealPath(const std::string& path, std::string* real, std::string* error) {
  const std::wstring wide = widen(path);
  wchar_t full[32768];
  const DWORD n = GetFullPathNameW(wide.c_str(), 32768, full, nullptr);
  const DWORD attributes = n && n < 32768 ? GetFileAttributesW(full) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    *error = path + ": not a file (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const int size = WideCharToMultiByte(CP_UTF8, 0, full, -1, nullptr, 0, nullptr, nullptr);
  std::string utf8(size > 0 ? size - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, full, -1, utf8.data(), size, nullptr, nullptr);
  *real = utf8;
  return true;
}

InstallReport checkInstall(const std::string& path) {
  InstallReport report;
  const std::string q = "'" + path + "'";
  const bool absolute = path.size() > 2 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') &&
                        path[1] == ':' && (path[2] == '\\' || path[2] == '/');
  if (!absolute)
    report.refusals.push_back(q + ": not an absolute path with a drive letter (VirtualBox: "
                                  "\"The path is not absolute\")");
  if (absolute && !inTrustedLocation(path))
    report.refusals.push_back(q + ": not under Program Files or Common Files: VirtualBox's "
                                  "screening of DLL loads takes a third-party DLL from nowhere "
                                  "else (VirtualBox: \"Not a trusted location\")");
  // The C++ file streams cannot be used against the runtime this build links.
  const HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size) || size.QuadPart > (1ll << 30)) {
    report.refusals.push_back(q + ": cannot be read (error " + std::to_string(GetLastError()) +
                              ")");
    if (file != INVALID_HANDLE_VALUE)
      CloseHandle(file);
    return report;
  }
  std::string bytes(static_cast<size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  const bool read = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &got, nullptr);
  CloseHandle(file);
  bytes.resize(read ? got : 0);
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
