// Loading the driver image: fresh driver-wide settings, then DriverEntry.
#pragma once

#include "driver/frame/port_services.h"

namespace cbus::port {

// Restores the driver-wide settings to the values the image starts with, as loading an image
// does, then calls DriverEntry and returns its result.
ULONG loadDriverImage(PVOID driverObject, PVOID registryPath);

// The settings only, for tests that call single routines without DriverEntry.
void restoreDriverSettings();

}  // namespace cbus::port
