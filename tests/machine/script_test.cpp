// vexsim's command script: one result line per command, usage errors reported, and the
// commands that need no driver (registry, time, names, refusals).
#include "script.h"
#include "ioctl_names.h"

#include "machine/machine.h"

#include <VexIoctl.h>

#include <gtest/gtest.h>

#include <sstream>

namespace {

TEST(ScriptTest, EachCommandPrintsOneResultLine) {
    sim::Machine machine;
    std::ostringstream out;
    int failures = 0;
    {
        vexsim::Script script(machine, out);
        std::istringstream in(R"(# a comment line
reg write HKLM\Software\Test Value dword 0x10003
reg read HKLM\Software\Test Value
reg write HKLM\Software\Test Name sz two words
reg read \Registry\Machine\Software\Test Name
reg read HKLM\Software\Test Missing
wait 25
open \\.\Vexwdm001
close h9
ioctl h1 IOCTL_GET_SETTINGS
plug 7 1 high
plug 1 1 medium
unplug 3
frobnicate
)");
        failures = script.Run(in);
    }
    EXPECT_EQ(R"(reg write HKLM\Software\Test Value: ok
reg read HKLM\Software\Test Value: dword 65539 (0x10003)
reg write HKLM\Software\Test Name: ok
reg read \Registry\Machine\Software\Test Name: sz "two words"
reg read HKLM\Software\Test Missing: not found
wait 25 ms: time 25 ms
open \\.\Vexwdm001: STATUS_OBJECT_NAME_NOT_FOUND
close: usage: close <handle> (an open handle such as h1)
ioctl: usage: ioctl <handle> <name|number> [<input hex>|-] [<output bytes>]
plug 7 1 high: refused, STATUS_INVALID_PARAMETER
plug: usage: plug <controller> <port 1-4> <full|high>
unplug 3: STATUS_NO_SUCH_DEVICE
frobnicate: unknown command (vexsim --help lists them)
)",
              out.str());
    EXPECT_EQ(8, failures);
}

TEST(ScriptTest, ControlCodesByNameAndNumber) {
    struct Case {
        const char* text;
        std::optional<uint32_t> code;
    } cases[] = {
        {"IOCTL_GET_SETTINGS", IOCTL_GET_SETTINGS}, {"IOCTL_ASIO_MAP_BUFFERS", IOCTL_ASIO_MAP_BUFFERS},
        {"0x222034", IOCTL_GET_INF_PATH},           {"2236468", IOCTL_GET_INF_PATH},
        {"IOCTL_NO_SUCH_CODE", std::nullopt},       {"0x22x", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.code, vexsim::IoctlCode(c.text));
    }
    EXPECT_EQ("IOCTL_SET_SETTINGS", vexsim::IoctlName(IOCTL_SET_SETTINGS));
    EXPECT_EQ("0x222FFF", vexsim::IoctlName(0x222FFF));
}

} // namespace
