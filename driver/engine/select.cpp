// Command setup and selection.
#include "driver/controller/hba_regs.h"
#include "driver/engine/scsi_protocol.h"
#include "driver/frame/hba.h"

// Takes up an execute request: records its data in the unit, holds it, and with the bus free
// queues IDENTIFY (and SDTR while the target is still to be negotiated) and selects the target.
// The request stays held until its selection reaches the target or it is handed back.
VOID HbaStartExecute(PSCSI_REQUEST_BLOCK Srb, PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit) {
    PTARGET_SYNC sync = &Adapter->TargetSync[Srb->TargetId];
    BOOLEAN noDisconnect = (Srb->SrbFlags & SRB_FLAGS_DISABLE_DISCONNECT) != 0 ||
                           (Adapter->OptionFlags & OPTION_NO_DISCONNECT) != 0;

    Unit->ActiveSrb = Srb;
    Unit->SavedDataPointer = (PUCHAR)Srb->DataBuffer;
    Unit->SavedDataLength = Srb->DataTransferLength;
    Unit->MaxBytesMoved = 0;

    Adapter->PendingSrb = Srb;
    Adapter->ActiveFlags |= ACTIVE_PENDING;
    if (Adapter->BusState != BUS_FREE) {
        return;
    }

    Adapter->MessageBuffer[0] = MSG_IDENTIFY | (noDisconnect ? 0 : MSG_IDENTIFY_DISCONNECT) |
                                (Srb->Lun & MSG_IDENTIFY_LUN_MASK);
    Adapter->MessageCount = 1;
    Adapter->MessageIndex = 0;
    Adapter->ActiveFlags |= ACTIVE_MESSAGE_OUT;

    Adapter->TargetId = Srb->TargetId;
    Adapter->CurrentDataPointer = Unit->SavedDataPointer;
    Adapter->CurrentDataLength = Unit->SavedDataLength;

    if ((Adapter->AdapterMode & MODE_FIFO) != 0 ||
        (Adapter->OptionFlags & OPTION_ASYNC_ONLY) != 0) {
        sync->SyncFlags |= SYNC_NEVER_OFFER;
    }
    if ((sync->SyncFlags & (SYNC_SETTLED | SYNC_NEVER_OFFER)) != 0 ||
        Srb->Cdb[0] == SCSIOP_INQUIRY || (Srb->SrbFlags & SRB_FLAGS_DISABLE_SYNCH_TRANSFER) != 0) {
        HbaSelect(Adapter, Unit);
        return;
    }

    // Asynchronous until the target answers.
    HbaSetAsynchronous(sync);
    Adapter->MessageBuffer[1] = MSG_EXTENDED;
    Adapter->MessageBuffer[2] = EXTENDED_SDTR_LENGTH;
    Adapter->MessageBuffer[3] = EXTENDED_SDTR;
    Adapter->MessageBuffer[4] = HbaSettings.MinSyncPeriod;
    Adapter->MessageBuffer[5] = HbaSettings.MaxSyncOffset;
    Adapter->MessageCount = 1 + SDTR_MESSAGE_BYTES;
    if (HbaSelect(Adapter, Unit)) {
        Adapter->ActiveFlags |= ACTIVE_SDTR_SENT | ACTIVE_NOP_ONCE;
    }
}

// Starts the selection of the held request's target (PendingSrb, of Unit): Select-with-ATN when
// messages beyond a lone IDENTIFY are queued or the request carries only a message, otherwise
// Select-with-ATN-and-Transfer with the CDB loaded (and, for data-out, the data path prepared).
// FALSE: nothing was started, because an interrupt is pending or the controller is busy (the
// request stays held for the next bus free), or because a data engine timed out and the bus was
// reset (every request has been handed back). TRUE: BusState is BUS_SELECTING and an interrupt
// will tell how the selection ended.
BOOLEAN HbaSelect(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit) {
    PSCSI_REQUEST_BLOCK srb = Adapter->PendingSrb;
    UCHAR target = srb->TargetId;
    UCHAR busId = Adapter->TargetIdMap[target] & DESTINATION_ID_MASK;
    UCHAR value;

    Adapter->ActiveLuExtension = Unit;
    if ((HbaReadAuxStatus(Adapter) & (AUX_INT | AUX_BSY)) != 0) {
        return FALSE;
    }

    // Only an execute request's length is the unit's data; a message request has none of it.
    if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI &&
        (srb->SrbFlags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)) == 0) {
        srb->DataTransferLength = 0;
        Unit->SavedDataLength = 0;
    }

    value = HbaSyncValue(&Adapter->TargetSync[target]);
    if (Adapter->AdapterMode & MODE_WINDOW) {
        HbaWriteRegister(Adapter, REG_TARGET_SYNC + busId, value);
    } else if (Adapter->AdapterMode & MODE_FIFO) {
        HbaWriteRegister(Adapter, REG_SYNC, SYNC_ASYNCHRONOUS);
    } else {
        HbaWriteRegister(Adapter, REG_SYNC, value);
    }
    HbaWriteRegister(Adapter, REG_DESTINATION_ID,
                     busId | ((srb->SrbFlags & SRB_FLAGS_DATA_OUT) ? 0 : DESTINATION_DPD));

    // Negotiation during this connection must reach this target, message requests included.
    Adapter->TargetId = target;

    if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI || Adapter->MessageCount != 1) {
        // This connection runs phase by phase, and only the Select-and-Transfer commands write
        // the command phase: cleared, an earlier sequence's "status received" or "complete"
        // cannot be read as this connection's when a transfer stops on a phase change.
        HbaWriteRegister(Adapter, REG_COMMAND_PHASE, PHASE_NONE);
        HbaIssueCommand(Adapter, CMD_SELECT_ATN, CMD_NO_COUNT, 0);
    } else {
        // The controller sends the IDENTIFY itself.
        Adapter->MessageIndex++;
        HbaWriteRegister(Adapter, REG_TARGET_LUN, srb->Lun & TARGET_LUN_MASK);
        HbaWriteRegister(Adapter, REG_OWN_ID, srb->CdbLength);
        srb->Cdb[1] = (UCHAR)((srb->Cdb[1] & CDB_LUN_KEEP) | (srb->Lun << CDB_LUN_SHIFT));
        for (UCHAR i = 0; i < srb->CdbLength; i++) {
            HbaWriteRegister(Adapter, REG_CDB1 + i, srb->Cdb[i]);
        }
        Unit->LastPhase = 0;
        Adapter->CurrentDataPointer = Unit->SavedDataPointer;
        Adapter->CurrentDataLength = Unit->SavedDataLength;
        HbaWriteRegister(Adapter, REG_SOURCE_ID, SOURCE_ID_ER);

        if ((srb->SrbFlags & SRB_FLAGS_DATA_OUT) != 0 &&
            (Adapter->OptionFlags & OPTION_NO_DISCONNECT) == 0 && Adapter->CurrentDataLength != 0) {
            // A data engine that timed out has reset the bus and handed every request back.
            if (!HbaStartDataTransfer(Adapter, srb, CMD_SELECT_ATN_TRANSFER, 0)) {
                return FALSE;
            }
        } else {
            HbaIssueCommand(Adapter, CMD_SELECT_ATN_TRANSFER, 0, 0);
        }
    }

    Adapter->ActiveFlags |= ACTIVE_MESSAGE_OUT;
    Adapter->BusState = BUS_SELECTING;
    Adapter->InterruptCount = 0;
    return TRUE;
}
