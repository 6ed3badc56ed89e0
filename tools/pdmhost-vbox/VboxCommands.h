// pdmhost's subcommands for a real VirtualBox: the configuration a VM needs to load the
// module and construct a table's devices, and VirtualBox's file rules for the module as
// installed. Each takes pdmhost's argument vector with the subcommand's name at argv[1].
#pragma once

namespace pdmhost {

/// pdmhost vbox-config: 0 the lines were printed, 1 the table breaks VirtualBox's rules,
/// 2 bad usage or a table that cannot be read.
int vboxConfigMain(int argc, char** argv);

/// pdmhost check-install PATH: 0 VirtualBox would load the file, 1 it would refuse it,
/// 2 bad usage.
int checkInstallMain(int argc, char** argv);

} // namespace pdmhost
