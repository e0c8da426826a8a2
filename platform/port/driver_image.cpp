#include "platform/port/driver_image.h"

#include "driver/frame/hba.h"

namespace cbus::port {

void restoreDriverSettings() {
    HbaSettings = HbaInitialSettings;
}

ULONG loadDriverImage(PVOID driverObject, PVOID registryPath) {
    restoreDriverSettings();
    return DriverEntry(driverObject, registryPath);
}

}  // namespace cbus::port
