#include "script.h"

#include "ioctl_names.h"

#include "instrument/instrument.h"
#include "machine/devices.h"

#include "cm/registry.h"
#include "io/io_manager.h"
#include "ob/object_manager.h"
#include "ob/process.h"
#include "pnp/pnp_manager.h"

#include <win32/process.h>

#include <cstdio>
#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>

namespace vexsim {

const char* const kScriptHelp =
    R"(Script commands (one per line; '#' starts a comment; each prints one result line):
  plug <controller> <port> <full|high>   plug an instrument (controllers 0 = USB0 full speed, 1 = USB1 high speed; ports 1-4)
  unplug <device>                        pull the cable of device <device> (the number plug printed)
  eject <device>                         safe removal: the driver may refuse it
  sleep | wake                           system S3 / back to S0
  devices                                print the device tree
  open <path> [overlapped]               open a file ("\\.\Vexwdm001", "\Device\Vexwdm001"); prints a handle name h<n>
  close <handle>                         close a handle
  ioctl <handle> <name|number> [<input hex>] [<output bytes>]
                                         send a control request; prints status, information and the output in hex
                                         (a run of trailing zero bytes is counted, not printed)
  reg read <key> <value>                 read a registry value ("HKLM\System\...", "\Registry\Machine\...")
  reg write <key> <value> dword <n>      write a REG_DWORD (decimal or 0x...)
  reg write <key> <value> sz <text>      write a REG_SZ
  wait <ms>                              let <ms> milliseconds of machine time pass
)";

namespace {

struct StatusName {
    NTSTATUS Status;
    const char* Name;
};
constexpr StatusName kStatusNames[] = {
    {STATUS_SUCCESS, "STATUS_SUCCESS"},
    {STATUS_PENDING, "STATUS_PENDING"},
    {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
    {STATUS_DEVICE_BUSY, "STATUS_DEVICE_BUSY"},
    {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
    {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
    {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
    {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
    {STATUS_NO_SUCH_DEVICE, "STATUS_NO_SUCH_DEVICE"},
    {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
    {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
    {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
    {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
    {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
    {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
    {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
    {STATUS_DEVICE_NOT_CONNECTED, "STATUS_DEVICE_NOT_CONNECTED"},
    {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
    {STATUS_CANCELLED, "STATUS_CANCELLED"},
};

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line.substr(0, line.find('#')));
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, "%02x", p[i]);
        s += b;
    }
    return s;
}

// Hex with a run of trailing zero bytes written as "+N zero bytes", so that large records stay
// readable in transcripts.
std::string HexTrimmed(const uint8_t* p, size_t n) {
    size_t used = n;
    while (used > 0 && p[used - 1] == 0)
        --used;
    if (n - used < 8)
        return Hex(p, n);
    return (used == 0 ? std::string() : Hex(p, used) + " ") + "+" + std::to_string(n - used) + " zero bytes";
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* bytes) {
    std::string digits;
    for (char c : text)
        if (c != '_' && c != ':')
            digits += c;
    if (digits.rfind("0x", 0) == 0)
        digits = digits.substr(2);
    if (digits.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char* end = nullptr;
        std::string pair = digits.substr(i, 2);
        unsigned long v = std::strtoul(pair.c_str(), &end, 16);
        if (*end != 0)
            return false;
        bytes->push_back(static_cast<uint8_t>(v));
    }
    return true;
}

bool ParseNumber(const std::string& text, unsigned long* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtoul(text.c_str(), &end, 0);
    return *end == 0;
}

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

} // namespace

std::string StatusText(NTSTATUS status) {
    for (const StatusName& s : kStatusNames)
        if (s.Status == status)
            return s.Name;
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

Script::Script(sim::Machine& machine, std::ostream& out)
    : machine_(machine), out_(out), process_(win32::CreateUserProcess(machine.Kernel(), "vexsim.exe")) {}

Script::~Script() {
    machine_.Run([&] { win32::TerminateUserProcess(machine_.Kernel(), process_); });
}

int Script::Run(std::istream& in) {
    int failures = 0;
    std::string line;
    while (std::getline(in, line))
        if (!Execute(line))
            ++failures;
    return failures;
}

bool Script::Execute(const std::string& line) {
    size_t first = line.find_first_not_of(" \t");
    if (first != std::string::npos && line[first] == '!')
        return !Execute(line.substr(first + 1)); // a command that is expected to fail
    std::vector<std::string> w = Split(line);
    if (w.empty())
        return true;
    sim::DeviceManager& devices = machine_.Devices();
    const std::string& cmd = w[0];
    auto device = [&](NTSTATUS (sim::DeviceManager::*op)(unsigned)) {
        unsigned long id = 0;
        if (w.size() != 2 || !ParseNumber(w[1], &id)) {
            out_ << cmd << ": usage: " << cmd << " <device>\n";
            return false;
        }
        NTSTATUS status = (devices.*op)(static_cast<unsigned>(id));
        out_ << cmd << " " << id << ": " << StatusText(status) << "\n";
        return NT_SUCCESS(status);
    };
    if (cmd == "plug")
        return Plug(w);
    if (cmd == "unplug")
        return device(&sim::DeviceManager::Unplug);
    if (cmd == "eject")
        return device(&sim::DeviceManager::Eject);
    if (cmd == "sleep" || cmd == "wake") {
        NTSTATUS status = cmd == "sleep" ? devices.Sleep() : devices.Wake();
        out_ << cmd << ": " << StatusText(status) << "\n";
        return NT_SUCCESS(status);
    }
    if (cmd == "devices") {
        PrintDevices();
        return true;
    }
    if (cmd == "open")
        return Open(w);
    if (cmd == "close")
        return Close(w);
    if (cmd == "ioctl")
        return Ioctl(w);
    if (cmd == "reg")
        return Reg(w);
    if (cmd == "wait") {
        unsigned long ms = 0;
        if (w.size() != 2 || !ParseNumber(w[1], &ms)) {
            out_ << "wait: usage: wait <ms>\n";
            return false;
        }
        machine_.RunFor(static_cast<long long>(ms) * 10000);
        out_ << "wait " << ms << " ms: time " << machine_.Now() / 10000 << " ms\n";
        return true;
    }
    out_ << cmd << ": unknown command (vexsim --help lists them)\n";
    return false;
}

bool Script::Plug(const std::vector<std::string>& w) {
    unsigned long controller = 0, port = 0;
    if (w.size() != 4 || !ParseNumber(w[1], &controller) || !ParseNumber(w[2], &port) || port == 0 ||
        (w[3] != "full" && w[3] != "high")) {
        out_ << "plug: usage: plug <controller> <port 1-4> <full|high>\n";
        return false;
    }
    usb::Speed speed = w[3] == "high" ? usb::Speed::High : usb::Speed::Full;
    unsigned id = 0;
    NTSTATUS status =
        machine_.Devices().Plug(static_cast<unsigned>(controller), static_cast<unsigned>(port - 1), speed,
                                std::make_shared<instrument::Instrument>(), &id);
    if (id == 0) {
        out_ << "plug " << controller << " " << port << " " << w[3] << ": refused, " << StatusText(status)
             << "\n";
        return false;
    }
    out_ << "plug " << controller << " " << port << " " << w[3] << ": device " << id << ", start "
         << StatusText(status) << "\n";
    return NT_SUCCESS(status);
}

void Script::PrintDevices() {
    std::vector<sim::DeviceRow> rows = machine_.Devices().List();
    out_ << "devices: " << rows.size() << "\n";
    for (const sim::DeviceRow& r : rows)
        out_ << "  device " << r.Id << ": ZK-57 on " << r.Controller << " port " << r.Port + 1 << ", "
             << (r.Speed == usb::Speed::High ? "high" : "full") << " speed, " << r.PnpState
             << (r.Service.empty() ? "" : ", driver " + r.Service) << ", start " << StatusText(r.StartStatus)
             << ", open files " << r.OpenFiles << "\n";
    // The control devices the drivers created, with their device index (the number minus one).
    PDRIVER_OBJECT driver = machine_.Devices().Pnp().LoadedDriver("vexwdm");
    if (driver == nullptr)
        return;
    std::vector<std::string> names;
    machine_.Run([&] {
        std::lock_guard<std::mutex> guard(machine_.Kernel().Io().Lock());
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr; d = d->NextDevice) {
            const std::u16string& name = d->DeviceObjectExtension->Name;
            if (!name.empty())
                names.emplace_back(name.begin(), name.end());
        }
    });
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        int number = (*it).empty() ? 0 : (*it).back() - '0';
        out_ << "  control device " << *it << ", device index " << number - 1 << "\n";
    }
}

bool Script::Open(const std::vector<std::string>& w) {
    if (w.size() < 2 || w.size() > 3 || (w.size() == 3 && w[2] != "overlapped")) {
        out_ << "open: usage: open <path> [overlapped]\n";
        return false;
    }
    std::u16string path = Widen(w[1]);
    if (path.rfind(u"\\\\.\\", 0) == 0)
        path = u"\\??\\" + path.substr(4);
    nt::OpenFileResult r;
    machine_.Run(
        [&] {
            r = machine_.Kernel().Io().OpenFile(process_, path, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, w.size() == 2);
            machine_.Devices().Pnp().ProcessPendingWork();
        },
        process_);
    if (!NT_SUCCESS(r.Status)) {
        out_ << "open " << w[1] << ": " << StatusText(r.Status) << "\n";
        return false;
    }
    std::string name = "h" + std::to_string(nextHandle_++);
    handles_[name] = r.Handle;
    out_ << "open " << w[1] << ": " << name << "\n";
    return true;
}

bool Script::Close(const std::vector<std::string>& w) {
    auto it = w.size() == 2 ? handles_.find(w[1]) : handles_.end();
    if (it == handles_.end()) {
        out_ << "close: usage: close <handle> (an open handle such as h1)\n";
        return false;
    }
    NTSTATUS status = STATUS_SUCCESS;
    machine_.Run([&] { status = machine_.Kernel().Io().CloseHandle(process_, it->second); }, process_);
    machine_.Run([&] { machine_.Devices().Pnp().ProcessPendingWork(); });
    handles_.erase(it);
    out_ << "close " << w[1] << ": " << StatusText(status) << "\n";
    return NT_SUCCESS(status);
}

bool Script::Ioctl(const std::vector<std::string>& w) {
    auto it = w.size() >= 3 ? handles_.find(w[1]) : handles_.end();
    std::optional<uint32_t> code = w.size() >= 3 ? IoctlCode(w[2]) : std::nullopt;
    std::vector<uint8_t> input;
    unsigned long outLength = 0;
    bool ok = it != handles_.end() && code && w.size() <= 5;
    if (ok && w.size() >= 4 && w[3] != "-")
        ok = ParseHex(w[3], &input);
    if (ok && w.size() == 5)
        ok = ParseNumber(w[4], &outLength) && outLength <= 65536;
    if (!ok) {
        out_ << "ioctl: usage: ioctl <handle> <name|number> [<input hex>|-] [<output bytes>]\n";
        return false;
    }
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = STATUS_SUCCESS;
    std::vector<uint8_t> output(outLength);
    machine_.Run(
        [&] {
            // The request's buffers are memory of the process, as a program's would be.
            auto* in =
                static_cast<uint8_t*>(input.empty() ? nullptr : process_->AllocateUserMemory(input.size()));
            auto* out =
                static_cast<uint8_t*>(outLength == 0 ? nullptr : process_->AllocateUserMemory(outLength));
            if (in != nullptr)
                std::memcpy(in, input.data(), input.size());
            if (out != nullptr)
                std::memset(out, 0, outLength);
            status = machine_.Kernel().Io().DeviceIoControl(process_, it->second, *code, in,
                                                            static_cast<ULONG>(input.size()), out,
                                                            static_cast<ULONG>(outLength), nullptr, &iosb);
            if (out != nullptr && status != STATUS_PENDING) {
                std::memcpy(output.data(), out, outLength);
                process_->FreeUserMemory(out);
            }
            if (in != nullptr && status != STATUS_PENDING)
                process_->FreeUserMemory(in);
        },
        process_);
    size_t shown = status == STATUS_PENDING ? 0 : std::min<size_t>(iosb.Information, outLength);
    out_ << "ioctl " << w[1] << " " << IoctlName(*code) << ": " << StatusText(status) << ", information "
         << (status == STATUS_PENDING ? 0 : iosb.Information) << ", out "
         << (shown == 0 ? "-" : HexTrimmed(output.data(), shown)) << "\n";
    return NT_SUCCESS(status);
}

bool Script::Reg(const std::vector<std::string>& w) {
    nt::Registry& cm = machine_.Kernel().Cm();
    if (w.size() == 4 && w[1] == "read") {
        auto value = cm.GetValue(w[2], w[3]);
        if (!value) {
            out_ << "reg read " << w[2] << " " << w[3] << ": not found\n";
            return false;
        }
        out_ << "reg read " << w[2] << " " << w[3] << ": ";
        if (value->Type == REG_DWORD && value->Data.size() == 4) {
            uint32_t v;
            std::memcpy(&v, value->Data.data(), 4);
            char text[32];
            std::snprintf(text, sizeof text, "dword %u (0x%X)", v, v);
            out_ << text << "\n";
        } else if (value->Type == REG_SZ || value->Type == REG_EXPAND_SZ) {
            out_ << "sz \"" << cm.GetString(w[2], w[3]).value_or("") << "\"\n";
        } else {
            out_ << "type " << value->Type << " " << Hex(value->Data.data(), value->Data.size()) << "\n";
        }
        return true;
    }
    if (w.size() >= 6 && w[1] == "write") {
        bool ok = false;
        if (w[4] == "dword" && w.size() == 6) {
            unsigned long v = 0;
            ok = ParseNumber(w[5], &v) && v <= 0xFFFFFFFFul && cm.SetDword(w[2], w[3], static_cast<DWORD>(v));
        } else if (w[4] == "sz") {
            std::string text = w[5];
            for (size_t i = 6; i < w.size(); ++i)
                text += " " + w[i];
            ok = cm.SetString(w[2], w[3], text);
        }
        out_ << "reg write " << w[2] << " " << w[3] << ": " << (ok ? "ok" : "failed") << "\n";
        return ok;
    }
    out_ << "reg: usage: reg read <key> <value> | reg write <key> <value> dword|sz <data>\n";
    return false;
}

} // namespace vexsim
