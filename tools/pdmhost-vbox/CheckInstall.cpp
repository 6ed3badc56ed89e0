// pdmhost check-install PATH: VirtualBox's file rules for the module as installed, line by
// line, before a VM refuses to start over them.
#include "tools/pdmhost-vbox/InstallCheck.h"
#include "tools/pdmhost-vbox/VboxCommands.h"

#include <cstdio>
#include <string>

namespace pdmhost {

namespace {

const char* usage =
    "usage: pdmhost check-install PATH\n"
    "\n"
    "Applies the file rules of VirtualBox's hardened loader on this system to the module at\n"
    "PATH, as the VM's configuration names it, and prints each thing VirtualBox would refuse\n"
    "and why. Linux and macOS: an absolute path, no symbolic link in it, the file and every\n"
    "directory above it owned by root and writable by no one but root. Windows: an absolute\n"
    "path, an Authenticode signature, an owner the loader trusts (TrustedInstaller, SYSTEM or\n"
    "Administrators).\n"
    "\n"
    "exit status: 0 VirtualBox would load the file; 1 it would refuse it; 2 bad usage.\n";

} // namespace

int checkInstallMain(int argc, char** argv) {
  if (argc == 3 && (std::string(argv[2]) == "--help" || std::string(argv[2]) == "-h")) {
    std::fputs(usage, stdout);
    return 0;
  }
  if (argc != 3 || argv[2][0] == '\0' || argv[2][0] == '-') {
    std::fprintf(stderr, "pdmhost check-install: one path is needed, the module as installed "
                         "(pdmhost check-install --help)\n");
    return 2;
  }
  const InstallReport report = checkInstall(argv[2]);
  for (const std::string& line : report.refusals)
    std::printf("refused: %s\n", line.c_str());
  for (const std::string& line : report.notes)
    std::printf("note: %s\n", line.c_str());
  if (report.refusals.empty()) {
    std::printf("check-install: VirtualBox's file rules pass for %s\n", argv[2]);
    return 0;
  }
  std::printf("check-install: VirtualBox would refuse %s (%zu %s)\n", argv[2],
              report.refusals.size(), report.refusals.size() == 1 ? "reason" : "reasons");
  return 1;
}

} // namespace pdmhost
