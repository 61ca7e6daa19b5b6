#include "session.h"

#include "script.h"

#include "machine/devices.h"
#include "pnp/pnp_manager.h"

#include <filesystem>
#include <fstream>
#include <iostream>

namespace vexsim {
namespace {

std::string DefaultDriverPath() {
    std::error_code ec;
    auto dir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    for (const char* name : {"vexwdm.so", "libvexwdm.so"})
        if (std::filesystem::exists(dir / name))
            return (dir / name).string();
    return (dir / "vexwdm.so").string();
}

} // namespace

bool WantsSession(const SessionOptions& options) {
    return !options.plugs.empty() || !options.script.empty();
}

int RunSession(sim::Machine& machine, const SessionOptions& options) {
    std::string driver = options.driverPath.empty() ? DefaultDriverPath() : options.driverPath;
    NTSTATUS installed = machine.Devices().InstallPackage(sim::DeviceManager::ZkPackage(driver));
    std::cout << "install vexwdm (" << driver << "): " << StatusText(installed) << "\n";
    int failures = 0;
    {
        Script script(machine, std::cout);
        for (const std::string& plug : options.plugs) {
            std::string line = "plug " + plug;
            for (char& c : line)
                if (c == ':')
                    c = ' ';
            std::cout << "> " << line << "\n";
            if (!script.Execute(line))
                ++failures;
        }
        if (!options.plugs.empty())
            script.PrintDevices();
        if (!options.script.empty()) {
            std::ifstream file;
            std::istream* in = &std::cin;
            if (options.script != "-") {
                file.open(options.script);
                if (!file) {
                    std::cout << "script " << options.script << ": cannot open\n";
                    return 1;
                }
                in = &file;
            }
            std::string line;
            while (std::getline(*in, line)) {
                if (line.find_first_not_of(" \t") == std::string::npos ||
                    line[line.find_first_not_of(" \t")] == '#')
                    continue;
                std::cout << "> " << line << "\n";
                if (!script.Execute(line))
                    ++failures;
            }
        }
    }
    std::cout << "session: " << failures << " command(s) failed\n";
    return failures == 0 ? 0 : 1;
}

} // namespace vexsim
