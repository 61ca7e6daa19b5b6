#include "ioctl_names.h"

#include <VexIoctl.h>

#include <cstdio>
#include <cstdlib>

namespace vexsim {
namespace {

struct NamedCode {
    const char* Name;
    uint32_t Code;
};

#define VEX_NAMED(code)                                                                                      \
    { #code, code }
constexpr NamedCode kCodes[] = {
    VEX_NAMED(IOCTL_GET_INF_PATH),
    VEX_NAMED(IOCTL_GET_DEVICE_BUSY),
    VEX_NAMED(IOCTL_GET_CONTROLLER_NAME),
    VEX_NAMED(IOCTL_GET_INTERFACE_VERSION),
    VEX_NAMED(IOCTL_GET_HIGH_SPEED),
    VEX_NAMED(IOCTL_RESERVED_812),
    VEX_NAMED(IOCTL_GET_ZERO),
    VEX_NAMED(IOCTL_GET_SETTINGS),
    VEX_NAMED(IOCTL_SET_SETTINGS),
    VEX_NAMED(IOCTL_GET_SAMPLE_RATE),
    VEX_NAMED(IOCTL_ASIO_START),
    VEX_NAMED(IOCTL_ASIO_STOP),
    VEX_NAMED(IOCTL_ASIO_RELEASE_BUFFERS),
    VEX_NAMED(IOCTL_GET_LATENCIES),
    VEX_NAMED(IOCTL_RESERVED_84B),
    VEX_NAMED(IOCTL_GET_BUFFER_SIZES),
    VEX_NAMED(IOCTL_RESERVED_84D),
    VEX_NAMED(IOCTL_GET_SAMPLE_WIDTH),
    VEX_NAMED(IOCTL_GET_CLOCK_STAMP),
    VEX_NAMED(IOCTL_ASIO_MAP_BUFFERS),
    VEX_NAMED(IOCTL_VENDOR_REQUEST),
    VEX_NAMED(IOCTL_RESERVED_852),
    VEX_NAMED(IOCTL_ASIO_SET_EVENTS),
    VEX_NAMED(IOCTL_ASIO_CLEAR_EVENTS),
    VEX_NAMED(IOCTL_SYNC_FRAME_CLOCK),
    VEX_NAMED(IOCTL_SET_ASIO_INFO),
    VEX_NAMED(IOCTL_GET_ASIO_INFO),
    VEX_NAMED(IOCTL_RESERVED_8FA),
    VEX_NAMED(IOCTL_NOOP_88C),
    VEX_NAMED(IOCTL_NOOP_88D),
    VEX_NAMED(IOCTL_NOOP_88E),
    VEX_NAMED(IOCTL_NOOP_88F),
    VEX_NAMED(IOCTL_NOOP_890),
};
#undef VEX_NAMED

} // namespace

std::optional<uint32_t> IoctlCode(const std::string& text) {
    for (const NamedCode& c : kCodes)
        if (text == c.Name)
            return c.Code;
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, 0);
    if (*end != 0 || value > 0xFFFFFFFFul)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

std::string IoctlName(uint32_t code) {
    for (const NamedCode& c : kCodes)
        if (c.Code == code)
            return c.Name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", code);
    return text;
}

} // namespace vexsim
