// A started kernel with a PnP manager, the test driver's package installed, and a bus driver
// whose PDOs the tests plug and pull.
#pragma once

#include <wdm.h>
#include <nt/kernel.h>

#include "io/io_manager.h"
#include "ob/object_manager.h"
#include "pnp/pnp_manager.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace pnptest {

// What the test driver and the bus driver recorded, in order.
std::vector<std::string>& Log();
std::set<std::string>& Options();

// Joins the log entries that contain `filter`, for compact expectations.
std::string Events(const std::string& filter = "");

class PnpTest : public ::testing::Test {
protected:
    PnpTest();
    ~PnpTest() override;

    // A PDO of the test bus named "\Device\TestPdo<n>", reported with hardware ID `hardwareId`.
    PDEVICE_OBJECT Plug(const std::string& hardwareId = "TEST\\VID_1234&PID_0001", NTSTATUS* status = nullptr,
                        ULONG* id = nullptr);
    void Unplug(PDEVICE_OBJECT pdo);
    nt::DevNodeInfo Node(ULONG id);
    HANDLE Open(const std::u16string& name, NTSTATUS* status = nullptr);
    void Close(HANDLE handle);

    std::unique_ptr<nt::Kernel> kernel_;
    std::optional<nt::MachineThreadScope> scope_;
    std::unique_ptr<nt::PnpManager> pnp_;
    PDRIVER_OBJECT bus_ = nullptr;
    int nextPdo_ = 1;
};

} // namespace pnptest
