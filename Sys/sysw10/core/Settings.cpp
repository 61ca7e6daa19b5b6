#include "Settings.h"

PWSTR g_RegistryPath = nullptr;

namespace {

// Defaults of the per-rate table: rate, offset frames, -1 ms of frames, packet offsets.
const VexRateEntry kDefaultRateTable[VEX_RATE_TABLE_ROWS] = {
    {32000, 109, -32, 3, 0, 0, 0},   {44100, 134, -44, 3, 0, 0, 0}, {48000, 143, -48, 3, 0, 0, 0},
    {88200, 229, -88, 3, 0, 0, 0},   {96000, 245, -96, 2, 0, 0, 0}, {176400, 416, -176, 2, 0, 0, 0},
    {192000, 449, -192, 2, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0},         {0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0},
};

// Per-rate registry values, in the order LoadSettings reads them.
struct RateParameter {
    LONG Rate;
    PCWSTR ValueName;
};
const RateParameter kRateParameters[] = {
    {32000, u"As32"}, {44100, u"As44"},   {48000, u"As48"},   {88200, u"As88"},
    {96000, u"As96"}, {176400, u"As176"}, {192000, u"As192"},
};

// The installation's defaults for the As values live below the class identifier key.
const WCHAR kDriverInfoFormat[] = u"%s\\%s\\%s\\%s";
const WCHAR kClassesRoot[] = u"\\Registry\\Machine\\SOFTWARE\\Classes";
const WCHAR kClsidKey[] = u"CLSID";
const WCHAR kDriverClsid[] = u"{5E0B9C43-D217-4A8E-B36F-91C4E28A0D57}";
const WCHAR kDriverInfoKey[] = u"VEXDRVID";

void DefaultRecord(SettingsRecord* Record) {
    RtlZeroMemory(Record, sizeof(*Record));
    Record->BufSize2 = 5;
    Record->Asio32Bit = 1;
    Record->OptionPair1Enabled = 1;
    Record->OptionPair2Enabled = 1;
    Record->OptionPair3Enabled = 1;
}

NTSTATUS OpenOrCreateSubkey(HANDLE Parent, PCWSTR Name, PHANDLE Key) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Parent, nullptr);
    NTSTATUS status = ZwOpenKey(Key, KEY_ALL_ACCESS, &oa);
    if (NT_SUCCESS(status))
        return status;
    ULONG disposition = 0;
    return ZwCreateKey(Key, KEY_ALL_ACCESS, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, &disposition);
}

// Opens "<service>\Parameters\Common", creating the two subkeys when missing.  PASSIVE_LEVEL.
NTSTATUS OpenCommonKey(PHANDLE Common) {
    *Common = nullptr;
    if (g_RegistryPath == nullptr)
        return STATUS_UNSUCCESSFUL;
    UNICODE_STRING path;
    RtlInitUnicodeString(&path, g_RegistryPath);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE service = nullptr;
    NTSTATUS status = ZwOpenKey(&service, KEY_ALL_ACCESS, &oa);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE parameters = nullptr;
    status = OpenOrCreateSubkey(service, u"Parameters", &parameters);
    ZwClose(service);
    if (!NT_SUCCESS(status))
        return status;
    status = OpenOrCreateSubkey(parameters, u"Common", Common);
    ZwClose(parameters);
    return status;
}

// Reads a REG_DWORD as full information into a buffer of the name's length plus 44 bytes.  Any
// other type or size is refused: only 4 bytes of data have a place to go.
BOOLEAN QueryDword(HANDLE Key, PCWSTR Name, ULONG* Value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ULONG size = name.Length + 44;
    alignas(8) UCHAR buffer[64 + 44];
    if (size > sizeof(buffer))
        return FALSE;
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, buffer, size, &resultLength);
    if (!NT_SUCCESS(status))
        return FALSE;
    const auto* info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION*>(buffer);
    if (info->Type != REG_DWORD || info->DataLength != sizeof(ULONG) ||
        info->DataOffset > size - sizeof(ULONG))
        return FALSE;
    RtlCopyMemory(Value, buffer + info->DataOffset, sizeof(ULONG));
    return TRUE;
}

VOID SetDword(HANDLE Key, PCWSTR Name, ULONG Value) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, Name);
    ZwSetValueKey(Key, &name, 0, REG_DWORD, &Value, sizeof(Value));
}

VexRateEntry* FindRate(LONG Rate) {
    for (ULONG i = 0; i < VEX_RATE_TABLE_ROWS && g_RateTable[i].Rate != 0; ++i)
        if (g_RateTable[i].Rate == Rate)
            return &g_RateTable[i];
    return nullptr;
}

// The products are formed in 64 bits: a large registry value must not wrap before the division.
VOID ApplyRateValue(VexRateEntry* Entry, ULONG Value) {
    const ULONGLONG rate = static_cast<ULONG>(Entry->Rate);
    Entry->BufferFrames = static_cast<int32_t>(Value);
    Entry->FullSpeedPackets = static_cast<int32_t>(static_cast<ULONGLONG>(Value) * 1000u / rate);
    Entry->HighSpeedPackets = static_cast<int32_t>(static_cast<ULONGLONG>(Value) * 8000u / rate);
}

// One As value: below "Common" if there, else from the driver-information key (and then copied
// below "Common").  PASSIVE_LEVEL.
VOID ReadRateParameter(LONG Rate, PCWSTR ValueName) {
    HANDLE common = nullptr;
    if (!NT_SUCCESS(OpenCommonKey(&common)))
        return;
    VexRateEntry* entry = FindRate(Rate);
    ULONG value = 0;
    if (entry == nullptr) {
        ZwClose(common);
        return;
    }
    if (QueryDword(common, ValueName, &value)) {
        ApplyRateValue(entry, value);
        ZwClose(common);
        return;
    }
    WCHAR path[260];
    if (NT_SUCCESS(RtlStringCbPrintfW(path, sizeof(path), kDriverInfoFormat, kClassesRoot, kClsidKey,
                                      kDriverClsid, kDriverInfoKey))) {
        UNICODE_STRING infoPath;
        RtlInitUnicodeString(&infoPath, path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &infoPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        HANDLE info = nullptr;
        if (NT_SUCCESS(ZwOpenKey(&info, KEY_ALL_ACCESS, &oa))) {
            if (QueryDword(info, ValueName, &value)) {
                ApplyRateValue(entry, value);
                SetDword(common, ValueName, value);
            }
            ZwClose(info);
        }
    }
    ZwClose(common);
}

} // namespace

// Set to its defaults by InitializeSharedSettings (DriverEntry) and changed by LoadSettings.
VexRateEntry g_RateTable[VEX_RATE_TABLE_ROWS] = {};

VOID InitializeSharedSettings(SharedSettings* Settings) {
    RtlCopyMemory(g_RateTable, kDefaultRateTable, sizeof(g_RateTable));
    DefaultRecord(&Settings->ActiveSettings);
    DefaultRecord(&Settings->PendingSettings);
    Settings->ActiveStreamCount = 0;
    KeInitializeSpinLock(&Settings->Lock);
}

LONG ReadActiveStreamCount(SharedSettings* Settings) {
    KIRQL irql;
    KeAcquireSpinLock(&Settings->Lock, &irql);
    LONG count = Settings->ActiveStreamCount;
    KeReleaseSpinLock(&Settings->Lock, irql);
    return count;
}

VOID LoadSettings(SharedSettings* Settings) {
    SettingsRecord local;
    DefaultRecord(&local);
    RtlCopyMemory(local.RateTable, g_RateTable, sizeof(local.RateTable));

    HANDLE common = nullptr;
    if (NT_SUCCESS(OpenCommonKey(&common))) {
        ULONG value = 0;
        if (QueryDword(common, u"BufSize2", &value))
            local.BufSize2 = (value & 0xFFFF) > 9 ? 9 : (value & 0xFFFF);
        if (QueryDword(common, u"AsioSmaller", &value))
            local.AsioSmaller = value & 0xFFFF;
        if (QueryDword(common, u"MidiInLite", &value))
            local.MidiInLite = value & 0xFFFF;
        ZwClose(common);
    }

    if (ReadActiveStreamCount(Settings) <= 0) {
        RtlCopyMemory(&Settings->ActiveSettings, &local, sizeof(local));
        RtlCopyMemory(&Settings->PendingSettings, &local, sizeof(local));
    }
    for (const RateParameter& p : kRateParameters)
        ReadRateParameter(p.Rate, p.ValueName);
    RtlCopyMemory(Settings->PendingSettings.RateTable, g_RateTable, sizeof(g_RateTable));
}

VOID SavePendingSettings(SharedSettings* Settings) {
    SettingsRecord pending;
    RtlCopyMemory(&pending, &Settings->PendingSettings, sizeof(pending));
    HANDLE common = nullptr;
    if (!NT_SUCCESS(OpenCommonKey(&common)))
        return;
    SetDword(common, u"BufSize2", pending.BufSize2 & 0xFFFF);
    SetDword(common, u"AsioSmaller", pending.AsioSmaller != 0 ? 1 : 0);
    SetDword(common, u"MidiInLite", pending.MidiInLite & 0xFFFF);
    ZwClose(common);
}

BOOLEAN SettingsEqual(const SharedSettings* Settings) {
    const SettingsRecord& a = Settings->ActiveSettings;
    const SettingsRecord& p = Settings->PendingSettings;
    auto same = [](ULONG x, ULONG y) { return (x != 0) == (y != 0); };
    if (!same(a.OptionPair1Enabled, p.OptionPair1Enabled) ||
        (p.OptionPair1Enabled != 0 && a.OptionPair1Value != p.OptionPair1Value))
        return FALSE;
    if (!same(a.OptionPair2Enabled, p.OptionPair2Enabled) ||
        (p.OptionPair2Enabled != 0 && a.OptionPair2Value != p.OptionPair2Value))
        return FALSE;
    return a.BufSize2 == p.BufSize2 && same(a.OptionFlag1, p.OptionFlag1) &&
           same(a.AsioSmaller, p.AsioSmaller);
}

ULONG RestartOnlyMask(const SharedSettings* Settings) {
    const SettingsRecord& a = Settings->ActiveSettings;
    const SettingsRecord& p = Settings->PendingSettings;
    return (a.MidiInLite != p.MidiInLite || a.OptionPair3Enabled != p.OptionPair3Enabled ||
            a.OptionPair3Value != p.OptionPair3Value)
               ? VEX_RESTART_NEEDS_DEVICE_RESTART
               : 0;
}

ULONG ApplyPendingSettings(SharedSettings* Settings) {
    ULONG mask = (SettingsEqual(Settings) ? 0 : VEX_RESTART_WAITS_FOR_STREAMS) | RestartOnlyMask(Settings);
    if (ReadActiveStreamCount(Settings) < 1)
        RtlCopyMemory(&Settings->ActiveSettings, &Settings->PendingSettings, VEX_SETTINGS_RESTART_FREE_BYTES);
    return mask;
}
