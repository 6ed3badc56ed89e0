// pdmhost fuzz: random guest accesses against the devices, in child processes.
#pragma once

namespace pdmhost {

/// Runs "pdmhost fuzz ..." (argv[1] is "fuzz"); returns the exit status.
int fuzzMain(int argc, char** argv);

} // namespace pdmhost
