// Driver modules: DriverEntry with its registry path, requests through the module's link, and
// the checks made when it unloads.
#include "io_fixture.h"

#include "ex/pool.h"
#include "ob/object_manager.h"

#include <cstdio>
#include <cstdlib>

using namespace iotest;

namespace {

constexpr ULONG kIoctlEcho = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlLeakPool = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlArmTimer = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS);
const std::u16string kRegistryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\IoTestDrv";

// Loads the module, opens its link, sends `code`, closes, and unloads.
void LoadUseUnload(nt::Kernel& kernel, ULONG code, std::u16string* echoed) {
    nt::IoManager& io = kernel.Io();
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, io.LoadDriver(IO_TEST_DRIVER_PATH, u"IoTestDrv", kRegistryPath, &driver));
    EXPECT_NE(nullptr, driver->DriverStart);
    auto open = io.OpenFile(nullptr, u"\\DosDevices\\IoTestDrv", GENERIC_READ, 0, FILE_OPEN, true);
    ASSERT_EQ(STATUS_SUCCESS, open.Status);
    WCHAR out[128] = {};
    IO_STATUS_BLOCK iosb{};
    EXPECT_EQ(STATUS_SUCCESS,
              io.DeviceIoControl(nullptr, open.Handle, code, nullptr, 0, out, sizeof(out), nullptr, &iosb));
    if (echoed != nullptr)
        *echoed = std::u16string(out);
    EXPECT_EQ(STATUS_SUCCESS, io.CloseHandle(nullptr, open.Handle));
    io.UnloadDriver(driver);
}

class LoaderTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LoaderTest, DriverEntryGetsItsRegistryPathAndUnloadRemovesItsNames) {
    nt::Kernel kernel;
    kernel.Start();
    {
        nt::MachineThreadScope scope(kernel);
        std::u16string echoed;
        LoadUseUnload(kernel, kIoctlEcho, &echoed);
        EXPECT_TRUE(echoed == kRegistryPath);
        // The module's device and link are gone with it.
        auto again =
            kernel.Io().OpenFile(nullptr, u"\\DosDevices\\IoTestDrv", GENERIC_READ, 0, FILE_OPEN, true);
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, again.Status);
        PDRIVER_OBJECT driver = nullptr;
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND,
                  kernel.Io().LoadDriver("/nonexistent/driver.so", u"None", kRegistryPath, &driver));
        EXPECT_EQ(nullptr, driver);
    }
    kernel.Stop();
}

TEST_F(LoaderTest, UnloadWithLeftoversStopsTheMachine) {
    struct Case {
        ULONG code;
        const char* expected;
    } cases[] = {
        // Pool charged to the module: sub-code 0x62, with the block's tag and size listed.
        {kIoctlLeakPool, "0x000000C4 \\(0x0000000000000062(.|\n)*Leak(.|\n)*100"},
        // A timer still set whose DPC routine is in the module.
        {kIoctlArmTimer, "0x000000CE .*DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS"},
    };
    for (const Case& c : cases) {
        EXPECT_DEATH(
            {
                nt::Kernel kernel;
                kernel.Start();
                nt::MachineThreadScope scope(kernel);
                LoadUseUnload(kernel, c.code, nullptr);
                std::fprintf(stderr, "rule not enforced\n");
                std::_Exit(0);
            },
            c.expected);
    }
}

} // namespace
