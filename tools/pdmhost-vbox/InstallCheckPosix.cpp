// The rules of VirtualBox's hardened loader for a plug-in on Linux and macOS
// (src/VBox/HostDrivers/Support/SUPR3HardenedVerify.cpp: supR3HardenedVerifyFile, and
// SUPLibLdr.cpp: SUPR3HardenedLdrLoadPlugIn). VirtualBox stops at the first refusal; this
// goes on, so that one run names everything to fix. Each line quotes VirtualBox's own
// message, which is what its log shows.
#include "tools/pdmhost-vbox/InstallCheck.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace pdmhost {

namespace {

std::string quoted(const std::string& path) { return "'" + path + "'"; }

void refuse(InstallReport* report, const std::string& path, const std::string& why,
            const std::string& message) {
  report->refusals.push_back(quoted(path) + ": " + why + " (VirtualBox: \"" + message + ": " +
                             quoted(path) + "\")");
}

// One component of the path, as supR3HardenedVerifyFsObject judges it. False when the
// component cannot be examined, so the ones below it are not either.
bool checkComponent(const std::string& path, bool final, InstallReport* report) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    // VirtualBox passes over a component it may not examine.
    if (errno == EACCES) {
      report->notes.push_back(quoted(path) + ": not readable here, not checked");
      return true;
    }
    report->refusals.push_back(quoted(path) + ": " + std::strerror(errno) +
                               " (VirtualBox: \"stat failed with " + std::strerror(errno) +
                               " on: " + quoted(path) + "\")");
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    char real[PATH_MAX];
    std::string fix;
    if (final && realpath(path.c_str(), real))
      fix = "; name the file itself, " + quoted(real);
    refuse(report, path, "a symbolic link" + fix, "Symlinks are not permitted");
    return true;
  }
  if (st.st_uid != 0)
    refuse(report, path, "owned by uid " + std::to_string(st.st_uid) + ", not root",
           "The owner is not root");
  if (final && !S_ISREG(st.st_mode))
    refuse(report, path, S_ISDIR(st.st_mode) ? "a directory, not the module file" : "not a file",
           S_ISDIR(st.st_mode) ? "Expected file but found directory"
                               : "Not regular file or directory");
  else if (!final && !S_ISDIR(st.st_mode))
    refuse(report, path, "not a directory", "Expected directory but found file");
  if ((st.st_mode & S_IWGRP) && st.st_gid != 0)
    report->refusals.push_back(
        quoted(path) + ": writable by group " + std::to_string(st.st_gid) +
        ", which is not root's (VirtualBox: \"An unknown (and thus untrusted) group has write "
        "access to " +
        quoted(path) + " ...\")");
  if (st.st_mode & S_IWOTH)
    refuse(report, path, "writable by everyone", "World writable");
  return true;
}

} // namespace

bool moduleRealPath(const std::string& path, std::string* real, std::string* error) {
  char resolved[PATH_MAX];
  struct stat st;
  if (!realpath(path.c_str(), resolved) || stat(resolved, &st) != 0) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = path + ": not a file";
    return false;
  }
  *real = resolved;
  return true;
}

InstallReport checkInstall(const std::string& given) {
  InstallReport report;
  std::string path = given;
  if (path.empty() || path[0] != '/') {
    report.refusals.push_back(
        quoted(given) + ": a relative path: VirtualBox loads a device module only by an "
                        "absolute path (VirtualBox: VERR_INVALID_PARAMETER, -2); the rules below "
                        "are checked for it from the current directory");
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
      return report;
    path = std::string(cwd) + "/" + path;
  }
  if (path.back() == '/') {
    report.refusals.push_back(quoted(given) + ": ends in '/', a directory (VirtualBox: \"The "
                                              "file path specifies a directory\")");
    return report;
  }
  // The root itself is not checked; each component below it is, from the top.
  size_t start = path.find_first_not_of('/');
  if (start == std::string::npos || path.size() - start < 3) {
    report.refusals.push_back(quoted(given) +
                              ": too short (VirtualBox: \"The path is too short\")");
    return report;
  }
  // VirtualBox's copy of the path: doubled slashes dropped, at most 32 components and fewer
  // than 260 bytes (SUPR3HARDENED_MAX_PATH).
  std::string normalized;
  size_t components = 0;
  for (size_t at = start; at != std::string::npos; at = path.find_first_not_of('/', at)) {
    const size_t end = path.find('/', at);
    normalized += "/" + path.substr(at, end == std::string::npos ? end : end - at);
    ++components;
    at = end;
  }
  if (components > 32)
    report.refusals.push_back(quoted(given) + ": " + std::to_string(components) +
                              " components, at most 32 (VirtualBox: \"The path has too many "
                              "components\")");
  if (normalized.size() >= 260)
    report.refusals.push_back(quoted(given) + ": " + std::to_string(normalized.size()) +
                              " bytes, at most 259 (VirtualBox: \"The path is too long\")");
  if (components > 32 || normalized.size() >= 260)
    return report;
  while (start != std::string::npos) {
    size_t end = path.find('/', start);
    const std::string component = path.substr(start, end == std::string::npos ? end : end - start);
    if (component == "..") {
      report.refusals.push_back(quoted(given) + ": holds '..' (VirtualBox: \"The path is not "
                                                "absolute\")");
      return report;
    }
    const bool final = end == std::string::npos;
    if (!checkComponent(path.substr(0, final ? path.size() : end), final, &report))
      return report;
    start = final ? end : path.find_first_not_of('/', end);
  }
  return report;
}

} // namespace pdmhost
