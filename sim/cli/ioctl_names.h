// The control codes of the vexwdm control device by name, for scripts and transcripts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vexsim {

// "IOCTL_GET_SETTINGS" -> its code; also accepts a number ("0x2221E8", "2236904").
std::optional<uint32_t> IoctlCode(const std::string& nameOrNumber);
// The name of a code, or its number in hex when it has none.
std::string IoctlName(uint32_t code);

} // namespace vexsim
