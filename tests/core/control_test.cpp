// The control device's request table through the Win32 layer: routing of all codes, the group A
// answers, buffers shorter than their records, and the settings requests with their restart masks.
#include <VexIoctl.h>
#include <VexSettings.h>

#include <cm/registry.h>
#include <pnp/pnp_manager.h>

#include <cstring>
#include <optional>

#include "DeviceContext.h"
#include "Settings.h"
#include "machine_fixture.h"

namespace coretest {
namespace {

const unsigned long kInvalidParameter = 87;
const unsigned long kInsufficientBuffer = 122;

class Control : public CoreMachine {
protected:
    void SetUp() override {
        ASSERT_EQ(Plug(1, 0, &id_), STATUS_SUCCESS);
        handle_ = Open(1);
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        Close(handle_);
        ASSERT_EQ(Unplug(id_), STATUS_SUCCESS);
        EXPECT_FALSE(DriverLoaded());
    }
    IoResult Send(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength) {
        return Ioctl(handle_, code, in, inLength, out, outLength);
    }
    VexSettingsRequest Get() {
        VexSettingsRequest r = {};
        EXPECT_TRUE(Send(IOCTL_GET_SETTINGS, nullptr, 0, &r, sizeof(r)).ok);
        return r;
    }
    uint32_t Set(const SettingsRecord& record) {
        VexSettingsRequest r = {record, 0xEEEEEEEE};
        IoResult result = Send(IOCTL_SET_SETTINGS, &r, sizeof(r), &r, sizeof(r));
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(result.bytes, sizeof(r));
        EXPECT_EQ(std::memcmp(&r.Record, &record, sizeof(record)), 0) << "the record comes back as sent";
        return r.Tail;
    }
    std::optional<DWORD> Saved(const char* value) {
        return M().Kernel().Cm().GetDword(nt::PnpManager::ServiceKeyPath("vexwdm") + "\\Parameters\\Common",
                                          value);
    }

    unsigned id_ = 0;
    void* handle_ = nullptr;
};

// Reserved, group B (not there yet), unknown and group C codes.
TEST_F(Control, Routing) {
    struct Case {
        uint32_t code;
        bool ok;
    };
    const Case cases[] = {
        {IOCTL_RESERVED_812, false}, {IOCTL_RESERVED_8FA, false}, {IOCTL_RESERVED_84B, false},
        {IOCTL_RESERVED_84D, false}, {IOCTL_RESERVED_852, false}, {IOCTL_GET_SAMPLE_RATE, false},
        {IOCTL_ASIO_START, false},   {0x222000, false},           {0x22204C + 0x1000, false},
        {IOCTL_NOOP_88C, true},      {IOCTL_NOOP_88D, true},      {IOCTL_NOOP_88E, true},
        {IOCTL_NOOP_88F, true},      {IOCTL_NOOP_890, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code));
        uint8_t buffer[16] = {};
        IoResult r = Send(c.code, buffer, 12, buffer, sizeof(buffer));
        EXPECT_EQ(r.ok, c.ok);
        if (!c.ok) {
            EXPECT_EQ(r.error, kInvalidParameter);
        }
    }
}

TEST_F(Control, DeviceInformation) {
    VexInterfaceVersionRecord version = {};
    IoResult r = Send(IOCTL_GET_INTERFACE_VERSION, nullptr, 0, &version, sizeof(version));
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.bytes, 8u);
    EXPECT_EQ(version.Version, 1u);
    EXPECT_EQ(version.OutputsPerInstrument, 2);
    EXPECT_EQ(version.InputsPerInstrument, 2);

    VexU32Record value = {9};
    EXPECT_TRUE(Send(IOCTL_GET_HIGH_SPEED, nullptr, 0, &value, sizeof(value)).ok);
    EXPECT_EQ(value.Value, 1u);
    EXPECT_TRUE(Send(IOCTL_GET_DEVICE_BUSY, nullptr, 0, &value, sizeof(value)).ok);
    EXPECT_EQ(value.Value, 0u);

    VexControllerNameRecord name = {};
    EXPECT_TRUE(Send(IOCTL_GET_CONTROLLER_NAME, nullptr, 0, &name, sizeof(name)).ok);
    const std::u16string controller = Devices().Usb().Controller(1).Name();
    EXPECT_EQ(name.NameLength, controller.size() * 2);
    EXPECT_EQ(std::u16string(name.Name), controller);

    VexInfPathRecord inf = {};
    EXPECT_TRUE(Send(IOCTL_GET_INF_PATH, nullptr, 0, &inf, sizeof(inf)).ok);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(inf.InfPath)), u"oem7.inf");
}

// Each request refuses a buffer one byte shorter than its record and writes nothing into it;
// a request that needs a system buffer and gets none is ERROR_INVALID_HANDLE.
TEST_F(Control, ShortBuffersAreRefusedUntouched) {
    struct Case {
        uint32_t code;
        uint32_t in;
        uint32_t out;
    };
    const Case cases[] = {
        {IOCTL_GET_INF_PATH, 0, 246},         {IOCTL_GET_DEVICE_BUSY, 0, 3},
        {IOCTL_GET_CONTROLLER_NAME, 0, 2055}, {IOCTL_GET_INTERFACE_VERSION, 0, 7},
        {IOCTL_GET_HIGH_SPEED, 0, 3},         {IOCTL_GET_ZERO, 0, 3},
        {IOCTL_GET_SETTINGS, 0, 327},         {IOCTL_SET_SETTINGS, 323, 328},
        {IOCTL_SET_SETTINGS, 328, 327},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.code) + " in " + std::to_string(c.in) + " out " +
                     std::to_string(c.out));
        std::vector<uint8_t> in(c.in, 0x11);
        std::vector<uint8_t> out(c.out, 0xA5);
        const std::vector<uint8_t> untouched = out;
        IoResult r = Send(c.code, c.in ? in.data() : nullptr, c.in, c.out ? out.data() : nullptr, c.out);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, kInsufficientBuffer);
        EXPECT_EQ(out, untouched);
    }
    const SettingsRecord before = Get().Record;
    const SettingsRecord after = Get().Record;
    EXPECT_EQ(std::memcmp(&before, &after, sizeof(before)), 0);
    EXPECT_EQ(Send(IOCTL_GET_SETTINGS, nullptr, 0, nullptr, 0).error, 6u); // ERROR_INVALID_HANDLE
}

TEST_F(Control, SettingsRoundTripAndRestartMasks) {
    VexSettingsRequest current = Get();
    EXPECT_EQ(current.Tail, 1u);
    EXPECT_EQ(current.Record.BufSize2, 5u);
    EXPECT_EQ(current.Record.RateTable[1].Rate, 44100);
    EXPECT_EQ(current.Record.RateTable[1].BufferFrames, 134);

    SettingsRecord record = current.Record;
    record.BufSize2 = 2; // applies at once with no stream attached
    EXPECT_EQ(Set(record), 0u);
    EXPECT_EQ(ContextOf(1)->Usb.Settings->ActiveSettings.BufSize2, 2u);
    VexSettingsRequest again = Get();
    EXPECT_EQ(std::memcmp(&again.Record, &record, sizeof(record)), 0);
    EXPECT_EQ(again.Tail, 1u);
    EXPECT_EQ(Saved("BufSize2"), std::optional<DWORD>(2));

    record.MidiInLite = 1; // needs a restart, and keeps saying so until then
    EXPECT_EQ(Set(record), 2u);
    EXPECT_EQ(Set(record), 2u);
    EXPECT_EQ(Saved("MidiInLite"), std::optional<DWORD>(1));
    record.OptionPair3Enabled = 0;
    record.AsioSmaller = 2;
    EXPECT_EQ(Set(record), 2u);
    EXPECT_EQ(Saved("AsioSmaller"), std::optional<DWORD>(1));
}

} // namespace
} // namespace coretest
