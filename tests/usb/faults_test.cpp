// Faults through the whole path (instrument, stack, client): lost and short capture packets,
// failing transfers, a stalled endpoint until its pipe is reset, a slow bulk endpoint, cancel and
// unplug, each completing every pending IRP exactly once.
#include "usb_fixture.h"

namespace usbtest {
namespace {

class Faults : public UsbTest {
protected:
    NTSTATUS ResetPipe(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe) {
        struct _URB_PIPE_REQUEST urb {};
        urb.Hdr.Length = sizeof(urb);
        urb.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
        urb.PipeHandle = pipe;
        return SubmitUrbSync(pdo, reinterpret_cast<PURB>(&urb));
    }
};

TEST_F(Faults, LostShortAndFailedCapturePacketsReachTheClientAsTheyHappen) {
    PDEVICE_OBJECT pdo = Plug(usb::Speed::Full);
    TestClient client(pdo, {});
    ASSERT_EQ(STATUS_SUCCESS, client.Configure());
    ASSERT_EQ(STATUS_SUCCESS, client.StartStreaming());
    Sleep(20 * kMs);
    const CaptureStats before = client.Capture_();
    OnInstrument([](instrument::Instrument& i) {
        i.LoseCapturePackets(3);
        i.ShortenCapturePackets(2, 40);
        i.FailTransactions(instrument::kCaptureEndpoint, 1); // one packet lost on the wire
    });
    Sleep(40 * kMs);
    client.StopStreaming();
    const CaptureStats after = client.Capture_();
    EXPECT_EQ(after.zeroPackets - before.zeroPackets, 4u) << "3 lost packets and the failed one";
    EXPECT_EQ(after.packetErrors - before.packetErrors, 1u);
    EXPECT_EQ(after.failed, 0u) << "a transfer fails only when all its packets do";
    EXPECT_EQ(client.Submissions(), client.Completions());
}

TEST_F(Faults, ATransferFailingOnTheBusCompletesWithAnErrorStatusOnce) {
    PDEVICE_OBJECT pdo = Plug(usb::Speed::High);
    TestClient client(pdo, {});
    ASSERT_EQ(STATUS_SUCCESS, client.Configure());
    ASSERT_EQ(STATUS_SUCCESS, client.StartStreaming());
    Sleep(20 * kMs);
    port_->FailTransfers(instrument::kCaptureEndpoint, 1, USBD_STATUS_XACT_ERROR);
    Sleep(40 * kMs);
    client.StopStreaming();
    const CaptureStats cap = client.Capture_();
    EXPECT_EQ(cap.failed, 1u);
    EXPECT_EQ(cap.packetErrors, 32u) << "every packet of the failed transfer";
    const auto statuses = client.CaptureStatuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), STATUS_UNSUCCESSFUL), 1);
    EXPECT_EQ(client.Submissions(), client.Completions());
}

TEST_F(Faults, AStalledEndpointFailsUntilItsPipeIsReset) {
    PDEVICE_OBJECT pdo = Plug(usb::Speed::Full);
    TestClient client(pdo, {});
    ASSERT_EQ(STATUS_SUCCESS, client.Configure());
    ASSERT_EQ(STATUS_PENDING, client.StartMidiIn());
    OnInstrument([](instrument::Instrument& i) { i.StallEndpoint(instrument::kMidiInEndpoint); });
    ASSERT_EQ(STATUS_WAIT_0, Wait(client.MidiInEvent(), 100 * kMs));
    EXPECT_EQ(client.LastMidiInStatus(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(client.LastMidiInUsbdStatus(), USBD_STATUS_STALL_PID);

    // The halted pipe refuses new transfers at once.
    EXPECT_EQ(STATUS_UNSUCCESSFUL, client.StartMidiIn());
    EXPECT_EQ(client.LastMidiInUsbdStatus(), USBD_STATUS_ENDPOINT_HALTED);

    ASSERT_EQ(STATUS_SUCCESS, ResetPipe(pdo, client.MidiIn().handle));
    const ULONGLONG t = KeQueryInterruptTime() + 5 * kMs;
    OnInstrument([&](instrument::Instrument& i) { i.ScriptMidiInput({{LONGLONG(t), 0xFA}}); });
    KeClearEvent(client.MidiInEvent());
    ASSERT_EQ(STATUS_PENDING, client.StartMidiIn());
    ASSERT_EQ(STATUS_WAIT_0, Wait(client.MidiInEvent(), 100 * kMs));
    ASSERT_EQ(client.MidiInReceived().size(), 1u);
    EXPECT_EQ(client.MidiInReceived()[0].packets, (std::vector<uint8_t>{0x0F, 0xFA, 0, 0}));
    EXPECT_GE(client.MidiInReceived()[0].time, t);
    EXPECT_LE(client.MidiInReceived()[0].time, t + kMs);
    client.StopMidi();
    EXPECT_EQ(client.Submissions(), client.Completions());
}

TEST_F(Faults, ASlowBulkEndpointHoldsTheTransferUntilItAccepts) {
    PDEVICE_OBJECT pdo = Plug(usb::Speed::High);
    TestClient client(pdo, {});
    ASSERT_EQ(STATUS_SUCCESS, client.Configure());
    const ULONGLONG until = KeQueryInterruptTime() + 50 * kMs + 123;
    OnInstrument(
        [&](instrument::Instrument& i) { i.NakBulkUntil(instrument::kMidiOutEndpoint, LONGLONG(until)); });
    ASSERT_EQ(STATUS_SUCCESS, client.SendMidi({0x09, 0x90, 0x40, 0x7F}));
    const ULONGLONG done = KeQueryInterruptTime();
    EXPECT_GE(done, until);
    EXPECT_LE(done, until + 1250) << "accepted in the first microframe after the NAKs end";
    std::vector<instrument::TimedByte> played;
    Sleep(2 * kMs);
    OnInstrument([&](instrument::Instrument& i) { played = i.MidiOutPlayed(); });
    ASSERT_EQ(played.size(), 3u);
    EXPECT_GE(ULONGLONG(played[0].time), until);
}

TEST_F(Faults, CancelCompletesEachPendingTransferOnceAsCancelled) {
    PDEVICE_OBJECT pdo = Plug(usb::Speed::High);
    TestClient client(pdo, {.msPerTransfer = 8, .inFlight = 4});
    ASSERT_EQ(STATUS_SUCCESS, client.Configure());
    ASSERT_EQ(STATUS_SUCCESS, client.StartStreaming());
    ASSERT_EQ(STATUS_PENDING, client.StartMidiIn());
    Sleep(30 * kMs);
    client.StopStreaming(); // IoCancelIrp on every transfer in flight
    client.StopMidi();
    EXPECT_EQ(client.Submissions(), client.Completions());
    const auto statuses = client.CaptureStatuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), STATUS_CANCELLED), 4);
    EXPECT_EQ(client.LastMidiInStatus(), STATUS_CANCELLED);
    EXPECT_EQ(client.LastMidiInUsbdStatus(), USBD_STATUS_CANCELED);
}

TEST_F(Faults, UnplugCompletesEverythingPendingOnceAndRefusesWhatFollows) {
    PDEVICE_OBJECT pdo = Plug(usb::Speed::High);
    int told = 0;
    port_->OnUnplug = [&](PDEVICE_OBJECT p) {
        EXPECT_EQ(p, pdo);
        ++told;
    };
    TestClient client(pdo, {});
    ASSERT_EQ(STATUS_SUCCESS, client.Configure());
    ASSERT_EQ(STATUS_SUCCESS, client.StartStreaming());
    ASSERT_EQ(STATUS_PENDING, client.StartMidiIn());
    Sleep(25 * kMs);
    port_->Unplug();
    EXPECT_EQ(told, 1);
    EXPECT_EQ(client.Submissions(), client.Completions()) << "every pending IRP completed at once";
    const auto statuses = client.CaptureStatuses();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), STATUS_NO_SUCH_DEVICE), 3);
    EXPECT_EQ(client.LastMidiInStatus(), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(client.LastMidiInUsbdStatus(), USBD_STATUS_DEVICE_GONE);

    ULONG portStatus = 0xFF;
    EXPECT_EQ(STATUS_SUCCESS,
              InternalIoctlSync(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus, nullptr));
    EXPECT_EQ(portStatus, 0u) << "not connected, before any removal request";
    LONG usbd = 0;
    EXPECT_EQ(STATUS_NO_SUCH_DEVICE, client.SendMidi({0x0F, 0xF8, 0, 0}, &usbd));
    EXPECT_EQ(usbd, USBD_STATUS_DEVICE_GONE);
    Sleep(20 * kMs);
    EXPECT_EQ(client.Submissions(), client.Completions()) << "nothing completes a second time later";
}

} // namespace
} // namespace usbtest
