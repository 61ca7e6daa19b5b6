// Driver parameters against the registry stand-in: what LoadSettings takes from "Common" and
// the driver-information key, what SavePendingSettings writes, the restart mask, and settings
// surviving a machine restart.
#include <gtest/gtest.h>

#include <cm/registry.h>
#include <machine/machine.h>

#include <cstring>
#include <filesystem>
#include <optional>

#include "Settings.h"

namespace {

const char kService[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexwdm";
const char kCommon[] = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexwdm\\Parameters\\Common";
const char kDriverInfo[] =
    "\\Registry\\Machine\\SOFTWARE\\Classes\\CLSID\\{5E0B9C43-D217-4A8E-B36F-91C4E28A0D57}\\VEXDRVID";
WCHAR kServicePath[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vexwdm";

const VexRateEntry& Rate(LONG rate) {
    for (const VexRateEntry& e : g_RateTable)
        if (e.Rate == rate)
            return e;
    static VexRateEntry none{};
    return none;
}

class Settings : public ::testing::Test {
protected:
    explicit Settings(std::filesystem::path stateDir = {})
        : machine_(sim::MachineConfig{2, true, stateDir}) {}
    void SetUp() override {
        g_RegistryPath = kServicePath;
        Reg().CreateKeyPath(kService);
        machine_.Run([&] { InitializeSharedSettings(&shared_); });
    }
    void TearDown() override { g_RegistryPath = nullptr; }

    nt::Registry& Reg() { return machine_.Kernel().Cm(); }
    void Load() {
        machine_.Run([&] { LoadSettings(&shared_); });
    }
    void Save() {
        machine_.Run([&] { SavePendingSettings(&shared_); });
    }

    sim::Machine machine_;
    SharedSettings shared_{};
};

TEST_F(Settings, MissingParametersAreCreatedAndDefaultsRun) {
    Load();
    EXPECT_TRUE(Reg().KeyExists(kCommon));
    const SettingsRecord& a = shared_.ActiveSettings;
    EXPECT_EQ(a.BufSize2, 5u);
    EXPECT_EQ(a.AsioSmaller, 0u);
    EXPECT_EQ(a.MidiInLite, 0u);
    EXPECT_EQ(a.Asio32Bit, 1u);
    EXPECT_EQ(a.OptionPair1Enabled, 1u);
    EXPECT_EQ(Rate(44100).BufferFrames, 134);
    EXPECT_EQ(std::memcmp(&shared_.PendingSettings, &a, sizeof(a)), 0);
    EXPECT_EQ(a.RateTable[1].Rate, 44100);
}

// What LoadSettings makes of the values below "Common"; values that are not 4-byte REG_DWORDs
// count as missing and leave the default.
TEST_F(Settings, ValuesReadFromCommon) {
    struct Case {
        const char* name;
        ULONG type;
        std::vector<uint8_t> data;
        uint32_t bufSize2;
    };
    auto dword = [](uint32_t v) {
        return std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    };
    const Case cases[] = {
        {"in range", REG_DWORD, dword(7), 7},
        {"above 9 reads as 9", REG_DWORD, dword(12), 9},
        {"low 16 bits", REG_DWORD, dword(0x10003), 3},
        {"string refused", REG_SZ, {'9', 0, 0, 0}, 5},
        {"eight bytes refused", REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}, 5},
        {"qword refused", REG_QWORD, {2, 0, 0, 0, 0, 0, 0, 0}, 5},
        {"two bytes refused", REG_DWORD, {3, 0}, 5},
        {"long data refused", REG_DWORD, std::vector<uint8_t>(300, 1), 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(Reg().SetValue(kCommon, "BufSize2", c.type, c.data.data(), c.data.size()));
        Load();
        EXPECT_EQ(shared_.ActiveSettings.BufSize2, c.bufSize2);
        EXPECT_EQ(shared_.PendingSettings.BufSize2, c.bufSize2);
    }
}

TEST_F(Settings, AsioSmallerIsActiveAsStoredAndSavedAsOne) {
    Reg().SetDword(kCommon, "AsioSmaller", 2);
    Reg().SetDword(kCommon, "MidiInLite", 1);
    Load();
    EXPECT_EQ(shared_.ActiveSettings.AsioSmaller, 2u);
    EXPECT_EQ(shared_.ActiveSettings.MidiInLite, 1u);
    Save();
    EXPECT_EQ(Reg().GetDword(kCommon, "AsioSmaller"), std::optional<DWORD>(1));
    EXPECT_EQ(Reg().GetDword(kCommon, "MidiInLite"), std::optional<DWORD>(1));
    EXPECT_EQ(Reg().GetDword(kCommon, "BufSize2"), std::optional<DWORD>(5));
    // Nothing but the three values is written.
    EXPECT_FALSE(Reg().GetDword(kCommon, "As44").has_value());
}

TEST_F(Settings, RateValueFromDriverInformationKeyIsCopiedBelowCommon) {
    Reg().SetDword(kDriverInfo, "As44", 200);
    Reg().SetDword(kDriverInfo, "As48", 999);
    Reg().SetDword(kCommon, "As48", 150); // "Common" wins over the installed default
    Load();
    EXPECT_EQ(Rate(44100).BufferFrames, 200);
    EXPECT_EQ(Rate(44100).FullSpeedPackets, 4);
    EXPECT_EQ(Rate(44100).HighSpeedPackets, 36);
    EXPECT_EQ(Rate(44100).MinusOneMsFrames, -44);
    EXPECT_EQ(Reg().GetDword(kCommon, "As44"), std::optional<DWORD>(200));
    EXPECT_EQ(Rate(48000).BufferFrames, 150);
    EXPECT_EQ(Reg().GetDword(kCommon, "As48"), std::optional<DWORD>(150));
    EXPECT_EQ(Rate(32000).BufferFrames, 109); // in neither place: built-in
    EXPECT_FALSE(Reg().GetDword(kCommon, "As32").has_value());
    EXPECT_EQ(shared_.PendingSettings.RateTable[1].BufferFrames, 200);
}

// A huge per-rate value must not wrap in the packet figures.
TEST_F(Settings, LargeRateValueDoesNotWrap) {
    Reg().SetDword(kCommon, "As44", 1000000);
    Load();
    EXPECT_EQ(Rate(44100).FullSpeedPackets, 22675);  // 1e9 / 44100
    EXPECT_EQ(Rate(44100).HighSpeedPackets, 181405); // 8e9 / 44100
}

TEST_F(Settings, StartWhileStreamingKeepsRecordsButRefreshesRates) {
    Load();
    shared_.ActiveStreamCount = 1;
    shared_.PendingSettings.BufSize2 = 2;
    Reg().SetDword(kCommon, "BufSize2", 8);
    Reg().SetDword(kCommon, "As44", 300);
    Load();
    EXPECT_EQ(shared_.ActiveSettings.BufSize2, 5u);
    EXPECT_EQ(shared_.PendingSettings.BufSize2, 2u);
    EXPECT_EQ(shared_.PendingSettings.RateTable[1].BufferFrames, 300);
}

TEST_F(Settings, NoRegistryPathReadsAndWritesNothing) {
    Reg().SetDword(kCommon, "BufSize2", 8);
    g_RegistryPath = nullptr;
    Load();
    Save();
    EXPECT_EQ(shared_.ActiveSettings.BufSize2, 5u);
    EXPECT_EQ(Reg().GetDword(kCommon, "BufSize2"), std::optional<DWORD>(8));
}

TEST_F(Settings, RestartMask) {
    struct Case {
        const char* name;
        void (*change)(SettingsRecord&);
        LONG streams;
        ULONG mask;
        bool activeFollows;
    };
    const Case cases[] = {
        {"buffer size, idle: the mask is taken before the copy", [](SettingsRecord& r) { r.BufSize2 = 3; }, 0,
         1, true},
        {"buffer size, streaming", [](SettingsRecord& r) { r.BufSize2 = 3; }, 1, 1, false},
        {"AsioSmaller 1 to 2 is no change", [](SettingsRecord& r) { r.AsioSmaller = 2; }, 1, 0, false},
        {"Asio32Bit alone", [](SettingsRecord& r) { r.Asio32Bit = 0; }, 1, 0, false},
        {"pair value while its flag is clear",
         [](SettingsRecord& r) {
             r.OptionPair1Enabled = 0;
             r.OptionPair1Value = 9;
         },
         1, 1, false},
        {"MidiInLite", [](SettingsRecord& r) { r.MidiInLite = 1; }, 0, 2, true},
        {"third pair value and buffer size, streaming",
         [](SettingsRecord& r) {
             r.OptionPair3Value = 4;
             r.BufSize2 = 0;
         },
         1, 3, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine_.Run([&] { InitializeSharedSettings(&shared_); });
        shared_.ActiveSettings.AsioSmaller = shared_.PendingSettings.AsioSmaller = 1;
        shared_.ActiveStreamCount = c.streams;
        c.change(shared_.PendingSettings);
        ULONG mask = 0;
        machine_.Run([&] { mask = ApplyPendingSettings(&shared_); });
        EXPECT_EQ(mask, c.mask);
        EXPECT_EQ(std::memcmp(&shared_.ActiveSettings, &shared_.PendingSettings,
                              VEX_SETTINGS_RESTART_FREE_BYTES) == 0,
                  c.activeFollows);
        // The restart-only fields never follow here.
        EXPECT_EQ(shared_.ActiveSettings.MidiInLite, 0u);
        EXPECT_EQ(shared_.ActiveSettings.OptionPair3Value, 0u);
    }
}

class PersistentSettings : public Settings {
protected:
    static std::filesystem::path Dir() {
        return std::filesystem::temp_directory_path() /
               ("vexwdm-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                std::to_string(reinterpret_cast<uintptr_t>(&Dir)));
    }
    PersistentSettings()
        : Settings((std::filesystem::remove_all(Dir()), std::filesystem::create_directories(Dir()), Dir())) {}
    ~PersistentSettings() override { std::filesystem::remove_all(Dir()); }
};

TEST_F(PersistentSettings, SavedValuesSurviveAMachineRestart) {
    Load();
    shared_.PendingSettings.BufSize2 = 8;
    shared_.PendingSettings.MidiInLite = 1;
    Save();
    {
        sim::Machine again(sim::MachineConfig{2, true, Dir()});
        SharedSettings fresh{};
        again.Run([&] {
            InitializeSharedSettings(&fresh);
            LoadSettings(&fresh);
        });
        EXPECT_EQ(fresh.ActiveSettings.BufSize2, 8u);
        EXPECT_EQ(fresh.ActiveSettings.MidiInLite, 1u);
    }
}

} // namespace
