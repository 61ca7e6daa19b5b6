// Control requests of the vexwdm control device, shared by the kernel driver, the ASIO driver
// and the settings program.  Every code has device type FILE_DEVICE_UNKNOWN (0x22) and
// FILE_ANY_ACCESS; all are METHOD_BUFFERED except IOCTL_ASIO_MAP_BUFFERS (METHOD_OUT_DIRECT).
#pragma once

#include <cstdint>

#ifndef CTL_CODE
#define CTL_CODE(DeviceType, Function, Method, Access)                                                    \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))
#endif
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
#ifndef METHOD_BUFFERED
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#endif
#ifndef FILE_ANY_ACCESS
#define FILE_ANY_ACCESS 0
#endif

#define VEX_CTL(Function, Method) CTL_CODE(FILE_DEVICE_UNKNOWN, (Function), (Method), FILE_ANY_ACCESS)

// Group A: device information and settings (driver core).
#define IOCTL_GET_INF_PATH VEX_CTL(0x80D, METHOD_BUFFERED)
#define IOCTL_GET_DEVICE_BUSY VEX_CTL(0x80E, METHOD_BUFFERED)
#define IOCTL_GET_CONTROLLER_NAME VEX_CTL(0x80F, METHOD_BUFFERED)
#define IOCTL_GET_INTERFACE_VERSION VEX_CTL(0x810, METHOD_BUFFERED)
#define IOCTL_GET_HIGH_SPEED VEX_CTL(0x811, METHOD_BUFFERED)
#define IOCTL_RESERVED_812 VEX_CTL(0x812, METHOD_BUFFERED)
#define IOCTL_GET_ZERO VEX_CTL(0x813, METHOD_BUFFERED)
#define IOCTL_GET_SETTINGS VEX_CTL(0x87A, METHOD_BUFFERED)
#define IOCTL_SET_SETTINGS VEX_CTL(0x87B, METHOD_BUFFERED)

// Group B: the ASIO kernel interface.
#define IOCTL_GET_SAMPLE_RATE VEX_CTL(0x814, METHOD_BUFFERED)
#define IOCTL_ASIO_START VEX_CTL(0x847, METHOD_BUFFERED)
#define IOCTL_ASIO_STOP VEX_CTL(0x848, METHOD_BUFFERED)
#define IOCTL_ASIO_RELEASE_BUFFERS VEX_CTL(0x849, METHOD_BUFFERED)
#define IOCTL_GET_LATENCIES VEX_CTL(0x84A, METHOD_BUFFERED)
#define IOCTL_RESERVED_84B VEX_CTL(0x84B, METHOD_BUFFERED)
#define IOCTL_GET_BUFFER_SIZES VEX_CTL(0x84C, METHOD_BUFFERED)
#define IOCTL_RESERVED_84D VEX_CTL(0x84D, METHOD_BUFFERED)
#define IOCTL_GET_SAMPLE_WIDTH VEX_CTL(0x84E, METHOD_BUFFERED)
#define IOCTL_GET_CLOCK_STAMP VEX_CTL(0x84F, METHOD_BUFFERED)
#define IOCTL_ASIO_MAP_BUFFERS VEX_CTL(0x850, METHOD_OUT_DIRECT)
#define IOCTL_VENDOR_REQUEST VEX_CTL(0x851, METHOD_BUFFERED)
#define IOCTL_RESERVED_852 VEX_CTL(0x852, METHOD_BUFFERED)
#define IOCTL_ASIO_SET_EVENTS VEX_CTL(0x854, METHOD_BUFFERED)
#define IOCTL_ASIO_CLEAR_EVENTS VEX_CTL(0x855, METHOD_BUFFERED)
#define IOCTL_SYNC_FRAME_CLOCK VEX_CTL(0x856, METHOD_BUFFERED)
#define IOCTL_SET_ASIO_INFO VEX_CTL(0x857, METHOD_BUFFERED)
#define IOCTL_GET_ASIO_INFO VEX_CTL(0x858, METHOD_BUFFERED)
#define IOCTL_RESERVED_8FA VEX_CTL(0x8FA, METHOD_BUFFERED)

// Group C: accepted and ignored.
#define IOCTL_NOOP_88C VEX_CTL(0x88C, METHOD_BUFFERED)
#define IOCTL_NOOP_88D VEX_CTL(0x88D, METHOD_BUFFERED)
#define IOCTL_NOOP_88E VEX_CTL(0x88E, METHOD_BUFFERED)
#define IOCTL_NOOP_88F VEX_CTL(0x88F, METHOD_BUFFERED)
#define IOCTL_NOOP_890 VEX_CTL(0x890, METHOD_BUFFERED)

// The published numbers; a code built wrongly above fails to compile.
static_assert(IOCTL_GET_INF_PATH == 0x222034 && IOCTL_GET_DEVICE_BUSY == 0x222038);
static_assert(IOCTL_GET_CONTROLLER_NAME == 0x22203C && IOCTL_GET_INTERFACE_VERSION == 0x222040);
static_assert(IOCTL_GET_HIGH_SPEED == 0x222044 && IOCTL_RESERVED_812 == 0x222048);
static_assert(IOCTL_GET_ZERO == 0x22204C && IOCTL_GET_SAMPLE_RATE == 0x222050);
static_assert(IOCTL_ASIO_START == 0x22211C && IOCTL_ASIO_STOP == 0x222120);
static_assert(IOCTL_ASIO_RELEASE_BUFFERS == 0x222124 && IOCTL_GET_LATENCIES == 0x222128);
static_assert(IOCTL_RESERVED_84B == 0x22212C && IOCTL_GET_BUFFER_SIZES == 0x222130);
static_assert(IOCTL_RESERVED_84D == 0x222134 && IOCTL_GET_SAMPLE_WIDTH == 0x222138);
static_assert(IOCTL_GET_CLOCK_STAMP == 0x22213C && IOCTL_ASIO_MAP_BUFFERS == 0x222142);
static_assert(IOCTL_VENDOR_REQUEST == 0x222144 && IOCTL_RESERVED_852 == 0x222148);
static_assert(IOCTL_ASIO_SET_EVENTS == 0x222150 && IOCTL_ASIO_CLEAR_EVENTS == 0x222154);
static_assert(IOCTL_SYNC_FRAME_CLOCK == 0x222158 && IOCTL_SET_ASIO_INFO == 0x22215C);
static_assert(IOCTL_GET_ASIO_INFO == 0x222160 && IOCTL_GET_SETTINGS == 0x2221E8);
static_assert(IOCTL_SET_SETTINGS == 0x2221EC && IOCTL_NOOP_88C == 0x222230);
static_assert(IOCTL_NOOP_88D == 0x222234 && IOCTL_NOOP_88E == 0x222238);
static_assert(IOCTL_NOOP_88F == 0x22223C && IOCTL_NOOP_890 == 0x222240);
static_assert(IOCTL_RESERVED_8FA == 0x2223E8);

// Group A records: what each request writes at which offset of the system buffer (little-endian).
#pragma pack(push, 1)
struct VexInfPathRecord { // IOCTL_GET_INF_PATH
    uint32_t Reserved;    // +0 not written
    uint8_t InfPath[243]; // +4 the "InfPath" data as stored: zero-terminated UTF-16
};
struct VexU32Record { // IOCTL_GET_DEVICE_BUSY, IOCTL_GET_HIGH_SPEED, IOCTL_GET_ZERO
    uint32_t Value;
};
struct VexControllerNameRecord { // IOCTL_GET_CONTROLLER_NAME
    uint32_t Reserved;           // +0 not written
    uint32_t NameLength;         // +4 bytes of name, without the terminator
    char16_t Name[1024];         // +8 UTF-16 name, then one zero character
};
struct VexInterfaceVersionRecord { // IOCTL_GET_INTERFACE_VERSION
    uint32_t Version;              // +0 1
    uint8_t OutputsPerInstrument;  // +4 2
    uint8_t InputsPerInstrument;   // +5 2
    uint16_t Reserved;
};
#pragma pack(pop)

static_assert(sizeof(VexInfPathRecord) == 247);
static_assert(sizeof(VexU32Record) == 4);
static_assert(sizeof(VexControllerNameRecord) == 2056);
static_assert(sizeof(VexInterfaceVersionRecord) == 8);
