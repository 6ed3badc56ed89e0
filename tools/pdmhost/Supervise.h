// A scenario run played by a child pdmhost that reports each step's start and end, so that
// a crash or a hang of the VM manager's code still leaves the steps up to it, that step
// failed, and the reports.
#pragma once

#include "tools/pdmhost/Run.h"

namespace pdmhost {

struct Supervised : Events {
  int exitStatus = 0; ///< the child's (0, 1, 2), or 1 when it crashed or hung
};

/// Runs this program with `args` and "--events FILE"; its output goes to this process's
/// (or, with discardOutput, nowhere). A step (or the set-up) running longer than stepMs
/// ends the child.
Supervised superviseRun(std::vector<std::string> args, bool discardOutput, uint32_t stepMs);

} // namespace pdmhost
