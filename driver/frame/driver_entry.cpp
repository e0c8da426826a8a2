// The driver's one entry: describes the miniport to the port driver and registers its routines.
#include "driver/frame/hba.h"

#define HBA_ACCESS_RANGES 6  // entry 0 the I/O ports, entry 5 the memory window

extern "C" ULONG HBA_STDCALL DriverEntry(PVOID DriverObject, PVOID Argument2) {
    HW_INITIALIZATION_DATA init;

    // Byte by byte: fields this routine does not name must be zero, padding included.
    PUCHAR bytes = (PUCHAR)&init;
    for (ULONG i = 0; i < sizeof(init); i++) {
        bytes[i] = 0;
    }

    init.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
    init.AdapterInterfaceType = (INTERFACE_TYPE)HbaSettings.InterfaceTypeSetting;
    init.HwInitialize = HbaInitialize;
    init.HwStartIo = HbaStartIo;
    init.HwInterrupt = HbaInterrupt;
    init.HwFindAdapter = HbaFindAdapter;
    init.HwResetBus = HbaResetBus;
    init.HwDmaStarted = HbaDmaStarted;
    init.HwAdapterState = HbaAdapterState;
    init.DeviceExtensionSize = sizeof(HW_DEVICE_EXTENSION);
    init.SpecificLuExtensionSize = sizeof(HW_LU_EXTENSION);
    init.SrbExtensionSize = 0;
    init.NumberOfAccessRanges = HBA_ACCESS_RANGES;
    // DataBuffer must be a system virtual address: the driver moves and snoops data itself.
    init.MapBuffers = TRUE;
    init.NeedPhysicalAddresses = FALSE;
    init.TaggedQueuing = FALSE;
    // The driver never fetches sense data: CHECK CONDITION ends the request as an error.
    init.AutoRequestSense = FALSE;
    // One ActiveSrb slot per unit.
    init.MultipleRequestPerLu = FALSE;
    init.ReceiveEvent = FALSE;

    return ScsiPortInitialize(DriverObject, Argument2, &init, 0);
}
