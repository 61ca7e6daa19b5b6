// The USB side of one instrument: descriptors, configuration, interface selections, the four
// pipe bindings, DeviceState, speed and sample rate.  Embedded in the DeviceContext.
//
// IRQL: every operation here waits for the USB stack and runs at PASSIVE_LEVEL, on the
// serialised start, power, teardown and recovery paths; none takes a lock.  DeviceState is the
// exception: written on the PnP and power paths, read without a lock at any IRQL (timer DPC,
// control-device create), so it is accessed through the atomic helpers below.
#pragma once

#include <ntddk.h>
#include <usbdlib.h>

struct SharedSettings;
struct UsbDevice;

// DeviceState values.
enum : LONG {
    DeviceNotStarted = 0,
    DeviceRunning = 1,
    DeviceWaking = 2,
    DevicePoweredDown = 3,
    DeviceSurpriseRemoved = 4,
    DeviceRemoved = 5,
};

#define USB_MAX_SELECTIONS 8 // interface numbers 0..7 can hold a selection

// The interfaces this driver serves.
enum : UCHAR {
    AudioOutInterface = 0,
    AudioInInterface = 1,
    MidiInterface = 2,
};

// A copy of the stack's answer to a select-interface request (USBD_INTERFACE_INFORMATION with its
// pipe records), zero-filled before the copy.
typedef USBD_INTERFACE_INFORMATION InterfaceSelection;

// Result of FindAltSettingInfo; the caller clears it.
struct AltSettingInfo {
    ULONG Found;       // 1 when the alternate setting has the format descriptor and an endpoint
    USHORT PacketSize; // the first endpoint's wMaxPacketSize
};

// Binding of one interface's endpoint to a pipe handle.
struct PipeBinding {
    BOOLEAN (*BindPipe)(PipeBinding* Binding); // takes the handle and size from the selection
    USBD_PIPE_HANDLE PipeHandle;
    USHORT MaximumPacketSize;
    UsbDevice* Usb;
    UCHAR InterfaceNumber;
    UCHAR PipeIndex;      // 0 = the interface's first endpoint, 1 = its second
    BOOLEAN PipeRequired; // MIDI: the selection must have the pipe; audio: the idle setting has none
};

struct UsbDevice {
    SharedSettings* Settings;
    ULONG SampleRate; // 44100
    ULONG HighSpeed;  // 1 at high speed (QueryHighSpeed); 0 before the query and when it fails
    ULONG CapturePresent;
    ULONG PlaybackPresent;
    UCHAR StreamingAltSetting;   // 1
    UCHAR IdleAltSetting;        // 0
    USHORT OutputPacketSize;     // wMaxPacketSize of interface 0, alternate setting 1
    USHORT InputPacketSize;      // wMaxPacketSize of interface 1, alternate setting 1
    UsbDevice* SettingsListener; // NotifySettingsChanged goes here: the UsbDevice itself
    ULONG DeviceIndex;           // 0..3
    InterfaceSelection* Selections[USB_MAX_SELECTIONS];
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;               // 18-byte buffer
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // wTotalLength bytes
    ULONG ConfigurationDescriptorLength;
    PUSB_CONFIGURATION_DESCRIPTOR CurrentConfiguration; // null when unconfigured
    ULONG CurrentConfigurationLength;
    PDEVICE_OBJECT TargetDevice; // the physical device object
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    ULONG MidiAltSetting; // 0 or 1, chosen at start
    PipeBinding MidiOut;
    PipeBinding MidiIn;
    PipeBinding AudioOut;
    PipeBinding AudioIn;
    volatile LONG DeviceState; // see the header comment
    KSPIN_LOCK TimerResolutionLock;
    ULONG TimerResolutionCount; // guarded by TimerResolutionLock
};

inline LONG ReadDeviceState(const UsbDevice* Usb) {
    return __atomic_load_n(&Usb->DeviceState, __ATOMIC_ACQUIRE);
}
inline VOID WriteDeviceState(UsbDevice* Usb, LONG State) {
    __atomic_store_n(&Usb->DeviceState, State, __ATOMIC_RELEASE);
}

// PASSIVE_LEVEL.  Success or failure; buffers allocated so far are freed on failure.
BOOLEAN ConfigureUsbDevice(UsbDevice* Usb);
// PASSIVE_LEVEL.  Unconfigures the device and frees descriptors and selections.  Sends nothing
// when the device was never configured.
VOID DeconfigureUsbDevice(UsbDevice* Usb);
// Pure; any IRQL.  Found (1) or not (0); fills *Info.
ULONG FindAltSettingInfo(const VOID* Descriptor, ULONG Length, UCHAR InterfaceNumber, UCHAR AlternateSetting,
                         AltSettingInfo* Info);
// PASSIVE_LEVEL.
BOOLEAN SelectAlternateSetting(UsbDevice* Usb, UCHAR InterfaceNumber, UCHAR AlternateSetting);
BOOLEAN ProbeInterfaces(UsbDevice* Usb);
// Prepares the four binding slots (interface, endpoint, operation); no request is sent.
VOID InitializePipeBindings(UsbDevice* Usb);
// Binding a slot at start: selects the slot's first alternate setting when its interface has no
// selection yet, then runs BindPipe.
BOOLEAN BindPipeAtStart(PipeBinding* Binding, UsbDevice* Usb, UCHAR FirstAltSetting);
VOID QueryHighSpeed(UsbDevice* Usb, PDEVICE_OBJECT PhysicalDeviceObject);
ULONG QueryPortConnected(UsbDevice* Usb);
// Signals the ASIO client's reset event when one is registered.  PASSIVE_LEVEL.
VOID NotifySettingsChanged(UsbDevice* Usb, ULONG Reason);
