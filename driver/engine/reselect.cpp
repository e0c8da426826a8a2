// Reselection: a disconnected target comes back for its request.
#include "driver/controller/hba_regs.h"
#include "driver/engine/scsi_protocol.h"
#include "driver/frame/hba.h"

// Takes up the nexus of a reselecting Target and Lun, its IDENTIFY received with ACK asserted.
// TRUE: the unit's request is resumed, by the controller's own sequence when the target left
// inside it (LastPhase 0x43), else phase by phase. FALSE: the unit has no request waiting; the
// reselection is logged and ABORT queued with ATN.
BOOLEAN HbaReselect(PHW_DEVICE_EXTENSION Adapter, UCHAR Target, UCHAR Lun) {
    PHW_LU_EXTENSION unit;
    PSCSI_REQUEST_BLOCK srb;

    Adapter->InterruptCount = 0;
    unit = (PHW_LU_EXTENSION)ScsiPortGetLogicalUnit(Adapter, 0, Target, Lun);
    Adapter->ActiveLuExtension = unit;
    // Negotiation during this connection concerns the reselecting target.
    Adapter->TargetId = Target;

    // A request still held has never reached its target: no target can come back for it.
    srb = unit != 0 ? unit->ActiveSrb : 0;
    if (srb == 0 || ((Adapter->ActiveFlags & ACTIVE_PENDING) && Adapter->PendingSrb == srb)) {
        ScsiPortLogError(Adapter, 0, 0, Target, Lun, SP_INVALID_RESELECTION,
                         ERROR_ID_INVALID_RESELECTION);
        HbaQueueAbort(Adapter, FALSE);
        return FALSE;
    }

    Adapter->CurrentDataPointer = unit->SavedDataPointer;
    Adapter->CurrentDataLength = unit->SavedDataLength;
    Adapter->BusState = BUS_CONNECTED;
    Adapter->MessageCount = 0;
    if (unit->SavedDataLength != 0) {
        HbaWriteRegister(Adapter, REG_SYNC,
                         (Adapter->AdapterMode & MODE_FIFO)
                             ? (UCHAR)SYNC_ASYNCHRONOUS
                             : HbaSyncValue(&Adapter->TargetSync[Target & 7]));
    }
    HbaWriteRegister(Adapter, REG_DESTINATION_ID,
                     (Adapter->TargetIdMap[Target & 7] & DESTINATION_ID_MASK) |
                         ((srb->SrbFlags & SRB_FLAGS_DATA_OUT) ? 0 : DESTINATION_DPD));

    if (unit->LastPhase != PHASE_DISCONNECTED_IN_SEQUENCE) {
        // Resumed phase by phase: no earlier sequence's command phase may stand for this one.
        unit->LastPhase = 0;
        HbaWriteRegister(Adapter, REG_COMMAND_PHASE, PHASE_NONE);
        HbaLoadSync(Adapter, FALSE, FALSE);
        return TRUE;
    }

    if (Adapter->CurrentDataLength != 0) {
        HbaStartDataTransfer(Adapter, srb, CMD_SELECT_TRANSFER, PHASE_RESELECTED_RESUME);
    } else {
        HbaIssueCommand(Adapter, CMD_SELECT_TRANSFER, 0, PHASE_RESELECTED_RESUME);
    }
    return TRUE;
}
