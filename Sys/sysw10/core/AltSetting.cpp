// FindAltSettingInfo: does an alternate setting carry the one-rate format descriptor and an
// endpoint, and what is that endpoint's packet size.  Pure descriptor walking; any IRQL.
//
// Descriptors are walked by bLength.  A descriptor is looked at only while at least 9 bytes of it
// lie inside the buffer (11 while looking for the format descriptor, whose rate field ends at
// byte 11).  A bLength below 2 would never move the walk forward: it ends the walk as if the
// buffer ended there.
#include "UsbDevice.h"

namespace {

const ULONG kMinimumLook = 9;
const ULONG kFormatLook = 11;
const UCHAR kFormatTypeSubtype = 2;
const UCHAR kOneRateFormatLength = 11; // format type I with one discrete sample rate

struct Walk {
    const UCHAR* Begin;
    const UCHAR* End;
    const UCHAR* At;

    bool Fits(ULONG Look) const { return At < End && static_cast<ULONG>(End - At) >= Look; }
    UCHAR Length() const { return At[0]; }
    UCHAR Type() const { return At[1]; }
    // Moves to the next descriptor; false when the current one cannot be stepped over.
    bool Next() {
        if (At[0] < 2)
            return false;
        At += At[0];
        return true;
    }
    bool IsInterface(UCHAR Number, UCHAR Alt) const {
        return Type() == USB_INTERFACE_DESCRIPTOR_TYPE && At[2] == Number && At[3] == Alt;
    }
    // Positions on the interface descriptor (Number, Alt); false when there is none.
    bool SeekInterface(UCHAR Number, UCHAR Alt) {
        At = Begin;
        while (Fits(kMinimumLook)) {
            if (IsInterface(Number, Alt))
                return true;
            if (!Next())
                return false;
        }
        return false;
    }
};

} // namespace

ULONG FindAltSettingInfo(const VOID* Descriptor, ULONG Length, UCHAR InterfaceNumber, UCHAR AlternateSetting,
                         AltSettingInfo* Info) {
    Info->Found = 0;
    if (Descriptor == nullptr)
        return 0;
    const auto* begin = static_cast<const UCHAR*>(Descriptor);
    Walk walk{begin, begin + Length, begin};

    // 1-2: the interface, then its format descriptor before any other interface descriptor.
    if (!walk.SeekInterface(InterfaceNumber, AlternateSetting))
        return 0;
    bool format = false;
    while (!format) {
        if (!walk.Next() || !walk.Fits(kFormatLook))
            return 0;
        if (walk.Type() == USB_INTERFACE_DESCRIPTOR_TYPE &&
            !walk.IsInterface(InterfaceNumber, AlternateSetting))
            return 0;
        format = walk.Type() == USB_CS_INTERFACE_DESCRIPTOR_TYPE && walk.At[2] == kFormatTypeSubtype &&
                 walk.Length() == kOneRateFormatLength;
    }

    // 3: from the interface again, its first endpoint.
    if (!walk.SeekInterface(InterfaceNumber, AlternateSetting))
        return 0;
    for (;;) {
        if (!walk.Next() || !walk.Fits(kMinimumLook))
            return 0;
        if (walk.Type() == USB_INTERFACE_DESCRIPTOR_TYPE &&
            !walk.IsInterface(InterfaceNumber, AlternateSetting))
            return 0;
        if (walk.Type() == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            Info->PacketSize = static_cast<USHORT>(walk.At[4] | (walk.At[5] << 8));
            Info->Found = 1;
            return 1;
        }
    }
}
