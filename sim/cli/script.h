// vexsim's command script: one command per line, one result line per command, so that sessions
// can be typed by hand or replayed from a file and their transcripts compared.
#pragma once

#include "machine/machine.h"

#include <iosfwd>
#include <map>
#include <string>
#include <vector>

namespace vexsim {

// The commands, as `vexsim --help` prints them.
extern const char* const kScriptHelp;

class Script {
public:
    // Commands run in `machine`; file commands as the user process "vexsim.exe".
    Script(sim::Machine& machine, std::ostream& out);
    ~Script(); // closes the handles the script left open

    // Runs one line; false when the command failed (the failure is reported on `out`).  A line
    // that starts with '!' expects its command to fail: the result is inverted.
    bool Execute(const std::string& line);
    // Runs every line of `in`; returns the number of failed commands.
    int Run(std::istream& in);

    // Prints the device tree (the `devices` command).
    void PrintDevices();

private:
    bool Plug(const std::vector<std::string>& args);
    bool Open(const std::vector<std::string>& args);
    bool Close(const std::vector<std::string>& args);
    bool Ioctl(const std::vector<std::string>& args);
    bool Reg(const std::vector<std::string>& args);

    sim::Machine& machine_;
    std::ostream& out_;
    nt::Process* process_;
    std::map<std::string, HANDLE> handles_; // "h1" -> a handle of process_
    unsigned nextHandle_ = 1;
};

// "STATUS_SUCCESS" etc. for the statuses transcripts show; hex otherwise.
std::string StatusText(NTSTATUS status);

} // namespace vexsim
