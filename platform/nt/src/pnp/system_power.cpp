// System sleep and wake: the power manager sends the system power requests to every started
// device stack, newest device last.  The stack's power policy owner turns them into device
// power requests (PoRequestPowerIrp).
#include "pnp/pnp_manager.h"

#include "vf/verifier.h"

namespace nt {

NTSTATUS PnpManager::SetSystemPowerState(SYSTEM_POWER_STATE state) {
    KiAssertIrqlAtMost(PASSIVE_LEVEL, "PnpManager::SetSystemPowerState");
    std::lock_guard<std::recursive_mutex> serial(pnpLock_);
    std::vector<PDEVICE_OBJECT> stacks;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (state == systemPower_)
            return STATUS_SUCCESS;
        for (auto& [id, node] : nodes_)
            if (node.Info.State == DevNodeState::Started)
                stacks.push_back(node.Info.Pdo);
    }
    POWER_ACTION action = state == PowerSystemWorking     ? PowerActionNone
                          : state >= PowerSystemShutdown  ? PowerActionShutdownOff
                          : state == PowerSystemHibernate ? PowerActionHibernate
                                                          : PowerActionSleep;
    auto fill = [&](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = SystemPowerState;
        s->Parameters.Power.State.SystemState = state;
        s->Parameters.Power.ShutdownType = action;
    };
    if (state != PowerSystemWorking) {
        // Every stack may veto a sleep before any of them goes.
        for (PDEVICE_OBJECT pdo : stacks) {
            NTSTATUS status = PnpSendRequest(pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER, fill);
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        systemPower_ = state;
        for (auto& [id, node] : nodes_)
            node.Info.SystemPower = state;
    }
    for (PDEVICE_OBJECT pdo : stacks)
        PnpSendRequest(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, fill);
    return STATUS_SUCCESS;
}

} // namespace nt
