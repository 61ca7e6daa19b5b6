// The Plug and Play manager of one machine: installed driver packages, device nodes for the
// devices bus drivers report, and the PnP and system power requests sent down their stacks.
//
// A device node binds a bus driver's PDO to the service whose package lists one of its hardware
// IDs.  On arrival the service's module is loaded (once per service, IoManager::LoadDriver),
// its AddDevice builds the stack and IRP_MN_START_DEVICE starts it.  A device that leaves the bus
// gets IRP_MN_SURPRISE_REMOVAL and, once no file is open on any device of its stack,
// IRP_MN_REMOVE_DEVICE; a user's eject asks first (IRP_MN_QUERY_REMOVE_DEVICE) and sends
// IRP_MN_REMOVE_DEVICE or IRP_MN_CANCEL_REMOVE_DEVICE.  The module is unloaded when its last
// device node is gone and the driver has deleted every device object it created.
//
// Every operation runs at PASSIVE_LEVEL on a machine thread and sends its requests from that
// thread; lock_ (a host mutex) guards the tables and is never held across a call into a driver.
// The PnP manager's own calls are serialised by pnpLock_ (a host mutex held across the requests
// of one operation), so a device's PnP and power requests never overlap.
#pragma once

#include <nt/kernel.h>
#include <wdm.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace nt {

// What an installation writes: the service, its hardware IDs, the device class and the
// driver-information key of the package.
struct DriverPackage {
    std::string Service = "vexwdm";
    std::string ImagePath;                                            // the driver module (a .so path)
    std::vector<std::string> HardwareIds;                             // e.g. "USB\VID_1F3A&PID_0057"
    std::string ClassGuid = "{4d36e96c-e325-11ce-bfc1-08002be10318}"; // sound, video and game controllers
    std::string InfPath = "oem7.inf";
    std::string DriverDesc = "ZK-57";
    // The driver-information key (\Registry\Machine\SOFTWARE\Classes\<InfoKey>): the default value
    // (installation folder), "version", "copyright" and the installed DWORD defaults.
    std::string InfoKey; // empty: none
    std::string InstallFolder;
    std::string Version;
    std::string Copyright;
    std::vector<std::pair<std::string, DWORD>> InfoDwords;
};

enum class DevNodeState {
    NoDriver,        // no installed package lists the device's hardware IDs
    Started,         // the stack started
    StartFailed,     // AddDevice or the start failed; the stack was removed again
    SurpriseRemoved, // the device left the bus; removal waits for open files to close
    Removed,         // the stack was removed (eject); the PDO is still reported by its bus
};
const char* DevNodeStateName(DevNodeState state);

struct DevNodeInfo {
    ULONG Id = 0;
    std::string InstanceId;
    std::string Service;   // empty when no driver
    std::string DriverKey; // "<class GUID>\nnnn"
    DevNodeState State = DevNodeState::NoDriver;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Top = nullptr;   // top of the stack while started (not referenced)
    ULONG OpenFiles = 0;            // files open on the devices of the stack
    bool SurpriseRemovalOK = false; // from IRP_MN_QUERY_CAPABILITIES
    SYSTEM_POWER_STATE SystemPower = PowerSystemWorking;
};

class PnpManager {
public:
    explicit PnpManager(Kernel& kernel);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // The PnP manager of `kernel`, or null when it has none.  Any thread.
    static PnpManager* Of(Kernel& kernel);
    Kernel& kernel() { return kernel_; }

    static std::string ServiceKeyPath(const std::string& service);
    static std::string ClassKeyPath(const std::string& classGuid);
    static constexpr const char* kEnumRoot = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum";

    // Writes the package into the registry.  Any thread.
    NTSTATUS InstallPackage(const DriverPackage& package);

    // ----- Bus drivers.  PASSIVE_LEVEL, machine thread.
    // A new device: the PnP manager references the PDO, binds and starts it.  *id receives the
    // device node's number.  The status is the start's (STATUS_SUCCESS also when no driver binds).
    NTSTATUS ReportDeviceArrival(PDEVICE_OBJECT pdo, const std::vector<std::string>& hardwareIds,
                                 const std::string& instanceId, ULONG* id);
    // The device left the bus: surprise removal now, removal once its files are closed.
    NTSTATUS ReportDeviceMissing(PDEVICE_OBJECT pdo);
    // Called with the PDO after IRP_MN_REMOVE_DEVICE of a device that left the bus; the bus
    // driver may delete it then.  Set before devices arrive.
    std::function<void(PDEVICE_OBJECT pdo)> OnPdoReleased;

    // ----- Users.  PASSIVE_LEVEL, machine thread.
    // Safe removal: STATUS_SUCCESS when removed; the refusing status otherwise (the stack got
    // IRP_MN_CANCEL_REMOVE_DEVICE).
    NTSTATUS Eject(ULONG id);
    // Sends IRP_MN_QUERY_POWER (sleeping only) and IRP_MN_SET_POWER for `state` to every started
    // stack.  Returns the first query's refusal (nothing changes then).
    NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
    // Sends pending removals whose files are closed and unloads modules that lost their last
    // device.  Called after handles close (the user-mode layer) and by the other operations.
    void ProcessPendingWork();
    // True when ProcessPendingWork has something to look at.  Any thread.
    bool HasPendingWork();

    std::vector<DevNodeInfo> Devices();
    PDRIVER_OBJECT LoadedDriver(const std::string& service);
    SYSTEM_POWER_STATE CurrentSystemPowerState();

    // The driver key path of the device whose PDO is `pdo` ("" when unknown).  Any thread.
    std::string DriverKeyPathFor(PDEVICE_OBJECT pdo, std::string* instanceId = nullptr);

private:
    struct DevNode {
        DevNodeInfo Info;
        bool Missing = false; // reported gone by the bus; removal pending or done
    };
    struct Service {
        PDRIVER_OBJECT Driver = nullptr;
        ULONG Devices = 0; // device nodes with a stack built by this driver
    };

    DevNode* FindByPdo(PDEVICE_OBJECT pdo); // needs lock_
    std::string BindService(const std::vector<std::string>& hardwareIds, std::string* classGuid,
                            std::string* infPath);
    NTSTATUS LoadService(const std::string& service, PDRIVER_OBJECT* driver);
    NTSTATUS BuildAndStart(DevNode* node, const std::string& service);
    void RemoveStack(DevNode* node, bool missing);
    void ReleaseService(const std::string& service);
    ULONG OpenFilesOnStack(PDEVICE_OBJECT pdo);

    Kernel& kernel_;
    std::recursive_mutex pnpLock_; // serialises PnP operations (held across driver calls)
    std::mutex lock_;              // guards the fields below; never held across a driver call
    std::map<ULONG, DevNode> nodes_;
    std::map<std::string, Service> services_;
    std::vector<std::string> unloadPending_; // services whose driver still has device objects
    ULONG nextId_ = 1;
    SYSTEM_POWER_STATE systemPower_ = PowerSystemWorking;
};

// Sends a PnP or power request that the PnP manager builds to the top of `pdo`'s stack and waits
// for it.  `fill` sets the request's parameters.  PASSIVE_LEVEL.
NTSTATUS PnpSendRequest(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                        const std::function<void(PIO_STACK_LOCATION)>& fill,
                        ULONG_PTR* information = nullptr);

} // namespace nt
