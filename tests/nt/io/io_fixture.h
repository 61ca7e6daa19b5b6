// A started kernel with the test's thread inside it, a driver object whose dispatch routines are
// std::functions set by each test, and helpers to build device stacks.
#pragma once

#include <wdm.h>
#include <nt/kernel.h>

#include "io/io_manager.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace iotest {

// Over a literal (static storage) or a string the caller keeps alive.
inline UNICODE_STRING Str(const char16_t* literal) {
    UNICODE_STRING u;
    u.Buffer = const_cast<PWSTR>(literal);
    u.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(literal) * sizeof(WCHAR));
    u.MaximumLength = u.Length;
    return u;
}
inline UNICODE_STRING Str(const std::u16string&& s) = delete;
inline UNICODE_STRING Str(const std::u16string& s) {
    UNICODE_STRING u;
    u.Buffer = const_cast<PWSTR>(s.data());
    u.Length = static_cast<USHORT>(s.size() * sizeof(WCHAR));
    u.MaximumLength = u.Length;
    return u;
}

// Each device created through the fixture carries the function that handles its requests.
struct TestDevice {
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> Dispatch;
};

inline NTSTATUS DispatchThroughExtension(PDEVICE_OBJECT device, PIRP irp) {
    return static_cast<TestDevice*>(device->DeviceExtension)->Dispatch(device, irp);
}

inline NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class IoTest : public ::testing::Test {
public:
    IoTest() {
        kernel_ = std::make_unique<nt::Kernel>();
        kernel_->Start();
        scope_.emplace(*kernel_);
        driver_ = Io().CreateDriverObject(u"IoTest");
        for (auto& f : driver_->MajorFunction)
            f = DispatchThroughExtension;
    }
    ~IoTest() override {
        // Devices still present are deleted here so that each test stays short.
        while (driver_->DeviceObject != nullptr) {
            PDEVICE_OBJECT d = driver_->DeviceObject;
            if (d->DeviceObjectExtension->AttachedTo != nullptr)
                IoDetachDevice(d->DeviceObjectExtension->AttachedTo);
            static_cast<TestDevice*>(d->DeviceExtension)->~TestDevice();
            IoDeleteDevice(d);
            if (driver_->DeviceObject == d)
                break; // kept alive by an open file; the test closes it
        }
        Io().UnloadDriver(driver_);
        scope_.reset();
        kernel_->Stop();
    }

    nt::IoManager& Io() { return kernel_->Io(); }

    // Runs the test's thread as a thread of `process` (null: back to the System process).
    void EnterProcess(nt::Process* process) {
        scope_.reset();
        scope_.emplace(*kernel_, process);
    }

    // A device whose requests go to `dispatch`; named when `name` is not empty; attached on top
    // of `below` when given.  Ready for opens (DO_DEVICE_INITIALIZING cleared).
    PDEVICE_OBJECT MakeDevice(std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> dispatch,
                              const std::u16string& name = u"", PDEVICE_OBJECT below = nullptr) {
        UNICODE_STRING n = Str(name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, IoCreateDevice(driver_, sizeof(TestDevice), name.empty() ? nullptr : &n,
                                                 FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
        new (device->DeviceExtension) TestDevice{std::move(dispatch)};
        if (below != nullptr) {
            PDEVICE_OBJECT top = IoGetAttachedDevice(below);
            EXPECT_EQ(top, IoAttachDeviceToDeviceStack(device, below));
        }
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

    std::unique_ptr<nt::Kernel> kernel_;
    std::optional<nt::MachineThreadScope> scope_;
    PDRIVER_OBJECT driver_ = nullptr;
};

} // namespace iotest
