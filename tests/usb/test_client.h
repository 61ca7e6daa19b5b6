// A minimal kernel-mode USB client for the ZK-57 (not the driver): it configures the instrument,
// streams isochronous capture and playback with a few transfers in flight (each completed capture
// transfer releases one playback transfer of as many frames: the capture-clocked schedule), and
// carries MIDI over the bulk pipes.  Submissions and completions follow the driver's pattern:
// driver-owned IRPs reused with IoReuseIrp, completion routines at DISPATCH_LEVEL returning
// STATUS_MORE_PROCESSING_REQUIRED, URBs and buffers from non-paged pool.
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include <usbdlib.h>
#include <usbioctl.h>

namespace usbtest {

// Synchronous requests to the PDO.  PASSIVE_LEVEL.
NTSTATUS SubmitUrbSync(PDEVICE_OBJECT pdo, PURB urb);
NTSTATUS InternalIoctlSync(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1, PVOID argument2);

struct PipeInfo {
    USBD_PIPE_HANDLE handle = nullptr;
    USHORT maxPacket = 0;
};

struct ClientOptions {
    ULONG msPerTransfer = 4; // M
    ULONG inFlight = 3;      // N capture and N playback transfers at start
    bool playPattern = true; // playback carries the numbered test pattern after the silent priming
};

struct CaptureStats {
    uint64_t transfers = 0;
    uint64_t failed = 0;       // URB or IRP status not success, cancellations aside
    uint64_t frames = 0;       // frames in successful transfers
    uint64_t zeroPackets = 0;  // packets of length 0
    uint64_t packetErrors = 0; // packets whose own status is an error
    uint64_t windowFrames = 0; // frames of transfers starting in [firstFrame, firstFrame + windowMs)
    ULONG firstStartFrame = 0;
    // Test pattern seen in capture (left channel): continuity and where it began.
    uint64_t patternBreaks = 0;
    int64_t firstPatternAt = -1; // capture frame index (since start) of the first pattern frame
    int32_t firstPatternIndex = -1;
};

class TestClient {
public:
    TestClient(PDEVICE_OBJECT pdo, ClientOptions options);
    ~TestClient(); // stops and frees everything (PASSIVE_LEVEL)

    // Reads the descriptors, selects the configuration and the streaming alternate settings of
    // interfaces 0 and 1 and alternate setting `midiAlt` of interface 2.  PASSIVE_LEVEL.
    NTSTATUS Configure(UCHAR midiAlt = 0);
    bool HighSpeed() const { return highSpeed_; }
    const PipeInfo& Playback() const { return playback_; }
    const PipeInfo& Capture() const { return capture_; }
    const PipeInfo& MidiOut() const { return midiOut_; }
    const PipeInfo& MidiIn() const { return midiIn_; }
    USBD_CONFIGURATION_HANDLE ConfigurationHandle() const { return configHandle_; }

    // Starts streaming; `windowMs`: the frame-count window, after which WindowDone is signalled.
    NTSTATUS StartStreaming(ULONG windowMs = 0);
    // Cancels every transfer in flight and waits until all completed.  PASSIVE_LEVEL.
    void StopStreaming();
    void SetFeeding(bool feeding) { feeding_.store(feeding); }
    PKEVENT WindowDone() { return &windowDone_; }
    CaptureStats Capture_() const;
    uint64_t PlaybackFramesSent() const { return playbackFrames_.load(); }
    uint64_t PlaybackStarved() const { return playbackStarved_.load(); }
    uint64_t PlaybackFailed() const { return playbackFailed_.load(); }
    // Every IRP completion seen, per slot (a slot completing twice for one submission would show).
    uint64_t Submissions() const { return submissions_.load(); }
    uint64_t Completions() const { return completions_.load(); }
    std::vector<NTSTATUS> CaptureStatuses() const;

    // MIDI: a bulk IN read stays pending from StartMidiIn until StopMidi.
    NTSTATUS StartMidiIn();
    // Sends event packets (4 bytes each) in one bulk OUT transfer and waits for it.  PASSIVE_LEVEL.
    NTSTATUS SendMidi(const std::vector<uint8_t>& packets, LONG* usbdStatus = nullptr);
    void StopMidi();
    struct MidiReceived {
        ULONGLONG time;
        std::vector<uint8_t> packets;
    };
    std::vector<MidiReceived> MidiInReceived() const;
    NTSTATUS LastMidiInStatus() const { return midiInStatus_.load(); }
    LONG LastMidiInUsbdStatus() const { return midiInUsbd_.load(); }
    PKEVENT MidiInEvent() { return &midiInEvent_; } // signalled at every MIDI IN completion

private:
    struct Slot {
        TestClient* owner = nullptr;
        PIRP irp = nullptr;
        PURB urb = nullptr;
        ULONG urbSize = 0;
        PUCHAR buffer = nullptr;
        ULONG bufferSize = 0;
        bool capture = false;
        bool busy = false; // guarded by lock_: taken for a submission until its completion
        bool sent = false; // guarded by lock_: the IRP is prepared and with (or on its way to) the stack
    };

    Slot* NewSlot(bool capture, ULONG packets, ULONG bufferSize);
    void FreeSlot(Slot* s);
    void PrepareIrp(Slot* s, PIO_COMPLETION_ROUTINE routine);
    bool SubmitCapture();
    bool SubmitPlayback(ULONG frames);
    void OnCaptureComplete(Slot* s);
    void OnPlaybackComplete(Slot* s);
    void OnMidiInComplete();
    NTSTATUS SubmitMidiIn();
    Slot* TakeSlot(std::vector<Slot*>& pool);
    void Release(Slot* s);
    void Send(Slot* s, const std::atomic<bool>& stopping);
    static IO_COMPLETION_ROUTINE CaptureDone;
    static IO_COMPLETION_ROUTINE PlaybackDone;
    static IO_COMPLETION_ROUTINE MidiInDone;

    PDEVICE_OBJECT pdo_;
    ClientOptions options_;
    bool highSpeed_ = false;
    USBD_CONFIGURATION_HANDLE configHandle_ = nullptr;
    PipeInfo playback_, capture_, midiOut_, midiIn_;
    ULONG packets_ = 0;

    KSPIN_LOCK lock_ = 0; // guards slot busy flags, stats_, pattern state, the MIDI record
    std::vector<Slot*> captureSlots_, playbackSlots_;
    std::atomic<LONG> inFlight_{0};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> feeding_{true};
    KEVENT idle_{};
    KEVENT windowDone_{};
    ULONG windowMs_ = 0;
    CaptureStats stats_;
    std::vector<NTSTATUS> captureStatuses_;
    int32_t expectPattern_ = -1;
    int64_t captureIndex_ = 0;
    ULONG primeAccumulator_ = 0;
    int64_t nextPattern_ = 0;
    std::atomic<uint64_t> playbackFrames_{0}, playbackStarved_{0}, playbackFailed_{0};
    std::atomic<uint64_t> submissions_{0}, completions_{0};

    Slot* midiInSlot_ = nullptr;
    std::atomic<bool> midiStopping_{false};
    std::atomic<bool> midiInPending_{false};
    bool midiSubmitting_ = false; // guarded by lock_: a resubmission is reusing the IRP
    KEVENT midiIdle_{};
    KEVENT midiInEvent_{};
    std::vector<MidiReceived> midiReceived_;
    std::atomic<NTSTATUS> midiInStatus_{STATUS_SUCCESS};
    std::atomic<LONG> midiInUsbd_{0};
};

} // namespace usbtest
