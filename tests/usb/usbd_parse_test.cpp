// The USB driver library's pure parts: descriptor search and the select-configuration layout.
#include <gtest/gtest.h>

#include <vector>

#include <usbd/select_request.h>

#include <instrument/descriptors.h>

namespace {

using instrument::DescriptorVariant;

struct Config {
    std::vector<uint8_t> bytes;
    explicit Config(DescriptorVariant v = DescriptorVariant::Standard, usb::Speed s = usb::Speed::High)
        : bytes(instrument::ConfigurationDescriptor(s, v)) {}
    PUSB_CONFIGURATION_DESCRIPTOR get() {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    }
};

TEST(UsbdParse, InterfaceSearchHonoursEveryCriterionAndTheStartPosition) {
    Config c;
    auto* cfg = c.get();
    const struct {
        LONG number, alt, cls, sub, proto;
        int expectNumber, expectAlt; // -1: not found
    } cases[] = {
        {2, 1, -1, -1, -1, 2, 1},    {1, -1, -1, -1, -1, 1, 0},  {-1, 1, -1, -1, -1, 0, 1},
        {-1, -1, 1, 3, -1, 2, 0},    {1, 1, 1, 2, 0, 1, 1},      {1, 1, 1, 3, -1, -1, -1},
        {3, -1, -1, -1, -1, -1, -1}, {0, 2, -1, -1, -1, -1, -1},
    };
    for (const auto& k : cases) {
        auto* d = USBD_ParseConfigurationDescriptorEx(cfg, cfg, k.number, k.alt, k.cls, k.sub, k.proto);
        if (k.expectNumber < 0) {
            EXPECT_EQ(d, nullptr) << k.number << "/" << k.alt;
            continue;
        }
        ASSERT_NE(d, nullptr) << k.number << "/" << k.alt;
        EXPECT_EQ(d->bInterfaceNumber, k.expectNumber);
        EXPECT_EQ(d->bAlternateSetting, k.expectAlt);
    }
    // Starting after interface 2 alt 0 finds alt 1 as the next MIDI interface.
    auto* midi0 = USBD_ParseConfigurationDescriptor(cfg, 2, 0);
    auto* next =
        USBD_ParseConfigurationDescriptorEx(cfg, reinterpret_cast<PUCHAR>(midi0) + 9, 2, -1, -1, -1, -1);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bAlternateSetting, 1);
    EXPECT_EQ(USBD_ParseConfigurationDescriptor(nullptr, 0, 0), nullptr);
}

TEST(UsbdParse, DescriptorWalkStaysInsideTheGivenLength) {
    Config c;
    auto* cfg = c.get();
    // Cutting the buffer just before the last endpoint hides it.
    const ULONG cut = cfg->wTotalLength - 1;
    auto* last = reinterpret_cast<PUCHAR>(cfg) + cfg->wTotalLength - 7;
    EXPECT_EQ(USBD_ParseDescriptors(cfg, cut, last, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    EXPECT_NE(USBD_ParseDescriptors(cfg, cfg->wTotalLength, last, USB_ENDPOINT_DESCRIPTOR_TYPE), nullptr);
    // A start before the buffer is refused.
    EXPECT_EQ(
        USBD_ParseDescriptors(reinterpret_cast<PUCHAR>(cfg) + 9, 20, cfg, USB_INTERFACE_DESCRIPTOR_TYPE),
        nullptr);
}

TEST(UsbdSelectRequest, DefaultListTakesEachInterfaceAtItsFirstAlternateSetting) {
    Config c;
    USBD_INTERFACE_LIST_ENTRY list[9];
    ASSERT_EQ(usbd::DefaultInterfaceList(c.get(), list, 8), 3u);
    for (UCHAR i = 0; i < 3; ++i) {
        EXPECT_EQ(list[i].InterfaceDescriptor->bInterfaceNumber, i);
        EXPECT_EQ(list[i].InterfaceDescriptor->bAlternateSetting, 0);
    }
    EXPECT_EQ(list[3].InterfaceDescriptor, nullptr);
    EXPECT_EQ(usbd::DefaultInterfaceList(c.get(), list, 2), 2u) << "capacity is honoured";
}

TEST(UsbdSelectRequest, RecordsArePackedBackToBackInsideTheRequest) {
    Config c;
    USBD_INTERFACE_LIST_ENTRY list[4];
    usbd::DefaultInterfaceList(c.get(), list, 3);
    const ULONG size = usbd::SelectConfigurationRequestSize(list);
    EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 2));
    std::vector<uint8_t> mem(size);
    auto* urb = reinterpret_cast<PURB>(mem.data());
    usbd::FillSelectConfigurationRequest(urb, size, c.get(), list);

    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, c.get());
    auto* expected = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (int i = 0; i < 3; ++i) {
        auto* rec = list[i].Interface;
        ASSERT_EQ(reinterpret_cast<PUCHAR>(rec), expected);
        EXPECT_EQ(rec->InterfaceNumber, i);
        EXPECT_EQ(rec->NumberOfPipes, i == 2 ? 2u : 0u);
        EXPECT_EQ(rec->Length, GET_USBD_INTERFACE_SIZE(rec->NumberOfPipes));
        for (ULONG p = 0; p < rec->NumberOfPipes; ++p)
            EXPECT_EQ(rec->Pipes[p].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        expected += rec->Length;
    }
    EXPECT_LE(expected, mem.data() + size);

    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(usbd::SelectConfigurationRequestSize(empty), 0u);
}

TEST(UsbdBuild, SelectInterfaceRecordLengthIsTheRestOfTheUrb) {
    std::vector<uint8_t> mem(GET_SELECT_INTERFACE_REQUEST_SIZE(2));
    auto* urb = reinterpret_cast<PURB>(mem.data());
    int handle = 0;
    UsbBuildSelectInterfaceRequest(urb, USHORT(mem.size()), &handle, 2, 1);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, mem.size() - 32);
    EXPECT_EQ(urb->UrbSelectInterface.Interface.Length, GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(urb->UrbSelectInterface.ConfigurationHandle, &handle);
}

} // namespace
