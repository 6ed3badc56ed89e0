// pdmhost vbox-config: the VBoxManage lines that make a VM load the module and construct
// each device of a table. VirtualBox reads a VM's "VBoxInternal/" extra data into the VM's
// configuration tree (ConsoleImpl2.cpp / ConsoleImplConfigCommon.cpp); its device manager
// loads each module named under PDM/Devices by its Path and constructs each instance node
// under Devices/<device>/<instance> (PDMDevice.cpp).
#include "tools/pdmhost-vbox/InstallCheck.h"
#include "tools/pdmhost-vbox/VboxCommands.h"
#include "tools/pdmhost-vbox/VboxRules.h"
#include "tools/pdmhost/ModuleLoader.h"
#include "tools/pdmhost/Run.h"
#include "tools/pdmhost/Scenario.h"

#include <cstdio>
#include <string>
#include <vector>

namespace pdmhost {

namespace {

const char* usage =
    "usage: pdmhost vbox-config --vm NAME [--host RELEASE] [--module PATH] [--remove]\n"
    "                           (--vm-manager LIBRARY | SCENARIO.json)\n"
    "\n"
    "Prints the VBoxManage lines that make the VM NAME load the module and construct every\n"
    "device of a table: the VM manager's library's own (--vm-manager, through its entry as\n"
    "pdmhost runs it) or a scenario's. The module is named by its absolute path with every\n"
    "symbolic link resolved, as VirtualBox's hardened loader wants it. The table is first\n"
    "held to VirtualBox RELEASE's rules as the module applies them (default 7.2): a device\n"
    "the module would refuse to register is one line each and no configuration; what it\n"
    "adapts (shared memory rounded up to whole pages) is a note.\n"
    "\n"
    "  --vm NAME          the VM's name or UUID, as VBoxManage takes it\n"
    "  --host RELEASE     a release as pdmhost --help lists them (6.1.40, 7.0); a line\n"
    "                     spanning two helper tables (5.1, 6.1) will do: its rules are one\n"
    "  --module PATH      the module VirtualBox is to load (default: the one pdmhost loads)\n"
    "  --remove           print the lines that undo the configuration instead\n"
    "\n"
    "exit status: 0 printed; 1 the module would refuse the table; 2 bad usage, or a table\n"
    "or module that cannot be read.\n";

// The module's node under PDM/Devices: its name is only a key, the Path is what loads.
const char* const moduleNode = "VmmgrVboxPdm";

#ifdef _WIN32
// cmd.exe and PowerShell both take double quotes; the names and paths hold none.
std::string quote(const std::string& s) { return "\"" + s + "\""; }
#else
std::string quote(const std::string& s) {
  std::string q = "'";
  for (const char c : s)
    q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}
#endif

int bad(const std::string& message) {
  std::fprintf(stderr, "pdmhost vbox-config: %s\n", message.c_str());
  return 2;
}

} // namespace

int vboxConfigMain(int argc, char** argv) {
  std::string vm, host = "7.2", modulePath, vmManagerPath, scenarioPath;
  bool remove = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc && argv[i + 1][0] != '\0';
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    } else if (arg == "--remove") {
      remove = true;
    } else if (arg == "--vm" || arg == "--host" || arg == "--module" || arg == "--vm-manager") {
      if (!hasValue)
        return bad(arg + " needs a value (pdmhost vbox-config --help)");
      std::string& target = arg == "--vm"       ? vm
                            : arg == "--host"   ? host
                            : arg == "--module" ? modulePath
                                                : vmManagerPath;
      target = argv[++i];
    } else if (arg.empty() || arg[0] == '-') {
      return bad("unknown option \"" + arg + "\" (pdmhost vbox-config --help)");
    } else if (!scenarioPath.empty()) {
      return bad("one scenario at a time (\"" + scenarioPath + "\" and \"" + arg + "\")");
    } else {
      scenarioPath = arg;
    }
  }
  if (vm.empty())
    return bad("--vm NAME is needed: the VM the lines configure");
  if (vmManagerPath.empty() == scenarioPath.empty())
    return bad("one table is needed: --vm-manager LIBRARY or a scenario file, not both");
  if (vm.find_first_of("\"\r\n") != std::string::npos)
    return bad("a VM name with a quote or a line break cannot be written as a command");
  HostRelease release;
  std::string error;
  if (!findVboxRelease(host, &release, &error))
    return bad("--host: " + error);

  if (modulePath.empty())
    modulePath = defaultModulePath();
  std::string realModule;
  if (!moduleRealPath(modulePath, &realModule, &error))
    return bad("the module " + error);

  VmTable scenarioTable;
  const VmmgrDeviceList* list = nullptr;
  if (!vmManagerPath.empty()) {
    // The library builds its table and hands it to the module's init, as in production.
    ModuleEntries module;
    VmmgrPdmHostEntryFn entry = nullptr;
    if (!loadModule(realModule, &module, &error) || !loadVmManager(vmManagerPath, &entry, &error))
      return bad(error);
    RunState state;
    state.options.quiet = true;
    state.out = std::tmpfile();
    VmManagerTable table;
    if (!state.out || !startVmManager(entry, module, state, &table, &error))
      return bad(state.out ? error : "no temporary file for the library's output");
    std::fclose(state.out);
    list = table.list;
  } else {
    try {
      addScenarioDevices(readScenarioFile(scenarioPath).devices, &scenarioTable);
    } catch (const ScenarioError& e) {
      return bad(e.what());
    }
    list = scenarioTable.list();
  }

  const VboxVerdict verdict = checkVboxRules(*list, release);
  for (const std::string& note : verdict.notes)
    std::fprintf(stderr, "pdmhost vbox-config: note: %s\n", note.c_str());
  if (!verdict.refusals.empty()) {
    std::fprintf(stderr,
                 "pdmhost vbox-config: the module would refuse %zu of the table's devices:\n",
                 verdict.refusals.size());
    for (const std::string& line : verdict.refusals)
      std::fprintf(stderr, "  %s\n", line.c_str());
    return 1;
  }
  // setextradata with a key and no value deletes the key (VBoxManageMisc.cpp).
  const std::string set = "VBoxManage setextradata " + quote(vm) + " ";
  const auto line = [&](const std::string& key, const std::string& value) {
    std::printf("%s%s%s\n", set.c_str(), quote("VBoxInternal/" + key).c_str(),
                remove ? "" : (" " + value).c_str());
  };
  line("PDM/Devices/" + std::string(moduleNode) + "/Path", quote(realModule));
  // Trusted: the device gets the trusted helper table, as every device VirtualBox
  // configures itself; a missing Config node is created empty (PDMDevice.cpp).
  const auto* first = static_cast<const VmmgrDeviceDesc*>(list->begin);
  for (const auto* d = first; d != static_cast<const VmmgrDeviceDesc*>(list->end); ++d)
    line("Devices/" + std::string(vmmgrStdStringData(d->name), d->name.size) + "/0/Trusted", "1");
  return 0;
}

} // namespace pdmhost
