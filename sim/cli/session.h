// A vexsim session: install the package, plug the instruments named on the command line, print
// the device tree, then run a command script.
#pragma once

#include "machine/machine.h"

#include <string>
#include <vector>

namespace vexsim {

struct SessionOptions {
    std::string driverPath;         // the vexwdm module; empty: vexwdm.so next to vexsim
    std::vector<std::string> plugs; // "<controller>:<port>:<full|high>"
    std::string script;             // a file, "-" for standard input, empty for none
};

// True when the options ask for a session (instruments or a script).
bool WantsSession(const SessionOptions& options);
// Runs the session; returns the process exit code (1 when a command failed).
int RunSession(sim::Machine& machine, const SessionOptions& options);

} // namespace vexsim
