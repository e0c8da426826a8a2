// Error logging: every entry names the request the failure belongs to, when there is one.
#include "driver/frame/hba.h"

// Names the connected unit's execute request, else its abort or reset request; with no unit
// connected, the held request. Without any, the entry names the adapter's own id.
VOID HbaLogError(PHW_DEVICE_EXTENSION Adapter, ULONG ErrorCode, ULONG UniqueId) {
    PSCSI_REQUEST_BLOCK srb;
    PHW_LU_EXTENSION unit = Adapter->ActiveLuExtension;

    if (unit != 0) {
        srb = unit->ActiveSrb != 0 ? unit->ActiveSrb : unit->MessageSrb;
    } else {
        srb = Adapter->PendingSrb;
    }

    if (srb != 0) {
        ScsiPortLogError(Adapter, srb, srb->PathId, srb->TargetId, srb->Lun, ErrorCode, UniqueId);
    } else {
        ScsiPortLogError(Adapter, 0, 0, Adapter->InitiatorId, 0, ErrorCode, UniqueId);
    }
}
