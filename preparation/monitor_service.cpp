// Sending the device-monitor service its control code.
#include "platform/handles.h"
#include "preparation/preparation_steps.h"

namespace preparation {

int SendMonitorControl(const wchar_t* serviceName) {
    platform::UniqueService manager(
        platform::Api().OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, SC_MANAGER_ALL_ACCESS));
    if (!manager) return -1;

    platform::UniqueService service(
        platform::Api().OpenServiceW(manager.get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service) return -1;

    // The service acts on the code in its own process; nothing here waits for
    // it, and the status it reports back is not needed.
    SERVICE_STATUS status = {};
    const BOOL accepted = platform::Api().ControlService(service.get(), kMonitorControlCode, &status);
    // The owners close the service first, then the manager.
    return accepted ? 0 : -1;
}

}  // namespace preparation
