#include "machine_fixture.h"

#include <dlfcn.h>

#include <ex/pool.h>
#include <io/io_manager.h>
#include <pnp/pnp_manager.h>
#include <win32/process.h>
#include <windows.h>

#include "DeviceContext.h"

namespace coretest {

CoreMachine::CoreMachine() {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    machine_.Run([&] { Devices().InstallPackage(sim::DeviceManager::ZkPackage(VEXWDM_MODULE)); });
    process_ = win32::CreateUserProcess(machine_.Kernel(), "client");
}

CoreMachine::~CoreMachine() {
    machine_.Run(
        [&] { win32::TerminateUserProcess(machine_.Kernel(), static_cast<nt::Process*>(process_)); });
}

NTSTATUS CoreMachine::Plug(unsigned controller, unsigned port, unsigned* id,
                           instrument::InstrumentConfig config,
                           std::shared_ptr<instrument::Instrument>* out) {
    auto device = std::make_shared<instrument::Instrument>(config);
    if (out != nullptr)
        *out = device;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const usb::Speed speed = controller == 0 ? usb::Speed::Full : usb::Speed::High;
    machine_.Run([&] { status = Devices().Plug(controller, port, speed, device, id); });
    return status;
}

NTSTATUS CoreMachine::Unplug(unsigned id) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    machine_.Run([&] { status = Devices().Unplug(id); });
    return status;
}

void* CoreMachine::Open(int number, unsigned long* error) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD lastError = 0;
    const std::string name = "\\\\.\\Vexwdm00" + std::to_string(number);
    machine_.Run(
        [&] {
            handle = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
            lastError = GetLastError();
        },
        static_cast<nt::Process*>(process_));
    if (error != nullptr)
        *error = handle == INVALID_HANDLE_VALUE ? lastError : 0;
    return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

void CoreMachine::Close(void* handle) {
    machine_.Run([&] { CloseHandle(handle); }, static_cast<nt::Process*>(process_));
}

IoResult CoreMachine::Ioctl(void* handle, uint32_t code, const void* in, uint32_t inLength, void* out,
                            uint32_t outLength) {
    IoResult r;
    machine_.Run(
        [&] {
            // The request's buffers live in the process's own memory, as a program's would.
            const size_t bytes = inLength + outLength + 16;
            auto* memory = static_cast<uint8_t*>(GlobalAlloc(0, bytes));
            uint8_t* inBuffer = memory;
            uint8_t* outBuffer = memory + inLength + 8;
            if (in != nullptr)
                std::memcpy(inBuffer, in, inLength);
            if (out != nullptr)
                std::memcpy(outBuffer, out, outLength);
            DWORD returned = 0;
            r.ok =
                DeviceIoControl(handle, code, in != nullptr ? inBuffer : nullptr, inLength,
                                out != nullptr ? outBuffer : nullptr, outLength, &returned, nullptr) != FALSE;
            r.error = r.ok ? 0 : GetLastError();
            r.bytes = returned;
            if (out != nullptr)
                std::memcpy(out, outBuffer, outLength);
            GlobalFree(memory);
        },
        static_cast<nt::Process*>(process_));
    return r;
}

DeviceContext* CoreMachine::ContextOf(int number) {
    DeviceContext* context = nullptr;
    const std::u16string name = u"\\Device\\Vexwdm00" + std::u16string(1, char16_t(u'0' + number));
    machine_.Run([&] {
        nt::IoManager& io = machine_.Kernel().Io();
        std::lock_guard<std::mutex> guard(io.Lock());
        NTSTATUS status = STATUS_SUCCESS;
        PDEVICE_OBJECT device = io.LookupDeviceLocked(name, &status, nullptr);
        if (device != nullptr)
            context = ExtensionPart(device)->Context;
    });
    return context;
}

bool CoreMachine::DriverLoaded() {
    bool loaded = false;
    machine_.Run([&] { loaded = Devices().Pnp().LoadedDriver("vexwdm") != nullptr; });
    return loaded;
}

const void* CoreMachine::Module() {
    void* handle = dlopen(VEXWDM_MODULE, RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr)
        return nullptr;
    const void* entry = dlsym(handle, "DriverEntry");
    dlclose(handle);
    return entry;
}

} // namespace coretest
