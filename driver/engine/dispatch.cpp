// Request dispatch: sorting what the port driver hands over, the control request check, and the
// message-only requests (abort, device reset, the reset control request).
#include "driver/controller/hba_regs.h"
#include "driver/engine/scsi_protocol.h"
#include "driver/frame/hba.h"

// Ends a held request's hold. The caller completes the request or has it completed.
static VOID HbaReleaseHold(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb) {
    if (Adapter->PendingSrb == Srb) {
        Adapter->PendingSrb = 0;
        Adapter->ActiveFlags &= ~ACTIVE_PENDING;
    }
}

// Hands a request back at once with Status and asks for the next one. A request refused when it
// is dispatched again from the hold leaves the hold and its unit's slot, so that no later bus
// free or reset hands it back a second time.
static BOOLEAN HbaRefuse(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb,
                         PHW_LU_EXTENSION Unit, UCHAR Status) {
    HbaReleaseHold(Adapter, Srb);
    if (Unit != 0 && Unit->MessageSrb == Srb) {
        Unit->MessageSrb = 0;
    }
    if (Unit != 0 && Unit->ActiveSrb == Srb) {
        Unit->ActiveSrb = 0;
    }
    Srb->SrbStatus = Status;
    ScsiPortNotification(RequestComplete, Adapter, Srb);
    ScsiPortNotification(NextRequest, Adapter);
    return TRUE;
}

// The control request is served only with the driver's signature and the reset code. A buffer
// that cannot hold the header is refused without being read.
static BOOLEAN HbaControlAccepted(PSCSI_REQUEST_BLOCK Srb) {
    PSRB_IO_CONTROL header = (PSRB_IO_CONTROL)Srb->DataBuffer;

    if (header == 0 || Srb->DataTransferLength < sizeof(SRB_IO_CONTROL)) {
        return FALSE;
    }
    for (ULONG i = 0; i < IOCTL_SIGNATURE_LENGTH; i++) {
        if (header->Signature[i] != (UCHAR)HbaIoctlSignature[i]) {
            header->ReturnCode = IOCTL_RETURN_REFUSED;
            return FALSE;
        }
    }
    if (header->ControlCode != IOCTL_CODE_RESET_DEVICE) {
        header->ReturnCode = IOCTL_RETURN_REFUSED;
        return FALSE;
    }
    header->ReturnCode = IOCTL_RETURN_ACCEPTED;
    return TRUE;
}

// The unit a request addresses; none for an address outside the bus.
static PHW_LU_EXTENSION HbaUnitOf(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb) {
    if (Srb->TargetId >= HBA_MAX_TARGETS || Srb->Lun >= HBA_MAX_LUNS) {
        return 0;
    }
    return (PHW_LU_EXTENSION)ScsiPortGetLogicalUnit(Adapter, Srb->PathId, Srb->TargetId, Srb->Lun);
}

// HwStartIo, and the dispatch of a held request at bus free. Every request is either started
// (held until its selection reaches the target) or handed back at once followed by NextRequest.
BOOLEAN HBA_STDCALL HbaStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb) {
    PHW_DEVICE_EXTENSION adapter = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    PHW_LU_EXTENSION unit;

    if (Srb->Function == SRB_FUNCTION_IO_CONTROL && !HbaControlAccepted(Srb)) {
        return HbaRefuse(adapter, Srb, 0, SRB_STATUS_INVALID_REQUEST);
    }

    switch (Srb->Function) {
        case SRB_FUNCTION_EXECUTE_SCSI:
            if (Srb->CdbLength == 0 || Srb->CdbLength > CDB_MAX_LENGTH) {
                return HbaRefuse(adapter, Srb, 0, SRB_STATUS_INVALID_REQUEST);
            }
            unit = HbaUnitOf(adapter, Srb);
            if (unit == 0) {
                return HbaRefuse(adapter, Srb, 0, SRB_STATUS_NO_DEVICE);
            }
            HbaStartExecute(Srb, adapter, unit);
            break;

        case SRB_FUNCTION_IO_CONTROL:
        case SRB_FUNCTION_ABORT_COMMAND:
        case SRB_FUNCTION_RESET_DEVICE:
        case SRB_FUNCTION_TERMINATE_IO:
            unit = HbaUnitOf(adapter, Srb);
            if (unit == 0) {
                return HbaRefuse(adapter, Srb, 0, SRB_STATUS_NO_DEVICE);
            }
            HbaStartMessageRequest(Srb, adapter, unit);
            break;

        case SRB_FUNCTION_RESET_BUS:
            // The reset ends every request the units hold; the reset request itself comes back
            // here, since the port driver expects every request it hands over back.
            HbaResetBus(adapter, 0);
            Srb->SrbStatus = SRB_STATUS_SUCCESS;
            ScsiPortNotification(RequestComplete, adapter, Srb);
            ScsiPortNotification(NextRequest, adapter);
            break;

        default:
            return HbaRefuse(adapter, Srb, 0, SRB_STATUS_BAD_FUNCTION);
    }
    return TRUE;
}

// Starts an abort, device-reset or reset control request: holds it as the unit's message
// request and, with the bus free, selects the target with ATN to send the message. Refused
// requests come back at once.
VOID HbaStartMessageRequest(PSCSI_REQUEST_BLOCK Srb, PHW_DEVICE_EXTENSION Adapter,
                            PHW_LU_EXTENSION Unit) {
    UCHAR message;
    BOOLEAN identify;

    switch (Srb->Function) {
        case SRB_FUNCTION_IO_CONTROL:
            message = MSG_BUS_DEVICE_RESET;
            identify = FALSE;
            break;
        case SRB_FUNCTION_RESET_DEVICE:
            message = MSG_BUS_DEVICE_RESET;
            identify = TRUE;
            break;
        case SRB_FUNCTION_ABORT_COMMAND:
            // An abort naming no request has nothing to abort.
            if (Srb->NextSrb == 0 || Srb->NextSrb != Unit->ActiveSrb) {
                HbaRefuse(Adapter, Srb, Unit, SRB_STATUS_ABORT_FAILED);
                return;
            }
            message = MSG_ABORT;
            identify = TRUE;
            break;
        default:
            HbaRefuse(Adapter, Srb, Unit, SRB_STATUS_INVALID_REQUEST);
            return;
    }

    Adapter->PendingSrb = Srb;
    Adapter->ActiveFlags |= ACTIVE_PENDING;
    Unit->MessageSrb = Srb;
    if (Adapter->BusState != BUS_FREE) {
        return;
    }

    Adapter->MessageCount = 0;
    if (identify) {
        // A message request always grants disconnect privilege.
        Adapter->MessageBuffer[Adapter->MessageCount++] =
            MSG_IDENTIFY | MSG_IDENTIFY_DISCONNECT | (Srb->Lun & MSG_IDENTIFY_LUN_MASK);
    }
    Adapter->MessageBuffer[Adapter->MessageCount++] = message;
    Adapter->MessageIndex = 0;

    if (HbaSelect(Adapter, Unit)) {
        Adapter->ActiveFlags |=
            identify ? (ACTIVE_MESSAGE_REQUEST | ACTIVE_MESSAGES_ONLY) : ACTIVE_MESSAGE_REQUEST;
    }
}

// Completes a request of a unit whose message has ended it.
static VOID HbaEndUnitRequest(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit, UCHAR Status) {
    PSCSI_REQUEST_BLOCK srb = Unit->ActiveSrb;

    // A request of the same target may be the one held for the next bus free.
    if (Adapter->PendingSrb == srb) {
        HbaReleaseHold(Adapter, srb);
        ScsiPortNotification(NextRequest, Adapter);
    }
    Unit->ActiveSrb = 0;
    Unit->SelectionRetries = 0;
    Unit->LuFlags &= ~LU_END_CLEAR_MASK;
    srb->SrbStatus = Status;
    ScsiPortNotification(RequestComplete, Adapter, srb);
}

// Finishes the connected unit's message request with Status. On success the message's effect
// is carried out first: the aborted request, or every request of the reset device, is handed
// back before the message request itself. NextRequest was given when the selection succeeded.
VOID HbaCompleteMessageSrb(PHW_DEVICE_EXTENSION Adapter, UCHAR SrbStatus) {
    PHW_LU_EXTENSION unit = Adapter->ActiveLuExtension;
    PSCSI_REQUEST_BLOCK srb = unit != 0 ? unit->MessageSrb : 0;

    Adapter->ActiveFlags &= ~ACTIVE_MESSAGE_REQUEST;
    if (srb == 0) {
        return;
    }

    if (SrbStatus == SRB_STATUS_SUCCESS) {
        switch (srb->Function) {
            case SRB_FUNCTION_ABORT_COMMAND:
                if (unit->ActiveSrb == 0) {
                    SrbStatus = SRB_STATUS_ABORT_FAILED;
                } else {
                    HbaEndUnitRequest(Adapter, unit, SRB_STATUS_ABORTED);
                }
                break;
            case SRB_FUNCTION_IO_CONTROL:
            case SRB_FUNCTION_RESET_DEVICE:
                // The reset ends the target's synchronous agreement; ours ends with it.
                HbaForgetAgreement(Adapter, srb->TargetId);
                for (UCHAR lun = 0; lun < HBA_MAX_LUNS; lun++) {
                    PHW_LU_EXTENSION other = (PHW_LU_EXTENSION)ScsiPortGetLogicalUnit(
                        Adapter, srb->PathId, srb->TargetId, lun);
                    if (other != 0 && other->ActiveSrb != 0) {
                        HbaEndUnitRequest(Adapter, other, SRB_STATUS_BUS_RESET);
                    }
                }
                break;
            default:
                break;
        }
    }

    srb->SrbStatus = SrbStatus;
    ScsiPortNotification(RequestComplete, Adapter, srb);
    unit->MessageSrb = 0;
    unit->SelectionRetries = 0;
}
