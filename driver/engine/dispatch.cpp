// Request dispatch. The request engine (selection, interrupt service, phases, messages) is not
// built yet: until it is, every request is refused at once and no interrupt is claimed, so a port
// driver never waits for a request this driver cannot run.
#include "driver/frame/hba.h"

BOOLEAN HBA_STDCALL HbaStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
    Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    ScsiPortNotification(RequestComplete, HwDeviceExtension, Srb);
    ScsiPortNotification(NextRequest, HwDeviceExtension);
    return TRUE;
}

BOOLEAN HBA_STDCALL HbaInterrupt(PVOID HwDeviceExtension) {
    (void)HwDeviceExtension;
    return FALSE;
}
