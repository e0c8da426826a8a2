// Interrupt service: one controller event per call, handled to its end.
#include "driver/controller/hba_regs.h"
#include "driver/engine/scsi_protocol.h"
#include "driver/frame/hba.h"

static BOOLEAN HbaFatalReset(PHW_DEVICE_EXTENSION Adapter, ULONG ErrorCode, ULONG UniqueId) {
    HbaLogError(Adapter, ErrorCode, UniqueId);
    HbaResetAndNotify(Adapter);
    return TRUE;
}

// The bus is free: a held request is dispatched again from the beginning.
static BOOLEAN HbaBusFree(PHW_DEVICE_EXTENSION Adapter) {
    Adapter->BusState = BUS_FREE;
    Adapter->ActiveFlags &= ~BUS_FREE_CLEAR_MASK;
    if (Adapter->ActiveFlags & ACTIVE_PENDING) {
        if (Adapter->PendingSrb != 0) {
            HbaStartIo(Adapter, Adapter->PendingSrb);
        } else {
            Adapter->ActiveFlags &= ~ACTIVE_PENDING;
        }
    }
    return TRUE;
}

// The current target is driven asynchronously from now on and never offered SDTR again.
// Whether the bus went free with a synchronous negotiation still open. Bit 0x040 stays set for
// the whole connection in which SDTR was offered; once the target's reply has been taken the
// agreement is settled and holds on both sides, and a later drop must not end it on ours alone.
static BOOLEAN HbaNegotiationOpen(PHW_DEVICE_EXTENSION Adapter) {
    if (Adapter->ActiveFlags & ACTIVE_SDTR_MASK) {
        return TRUE;
    }
    return (Adapter->ActiveFlags & NEGOTIATION_MASK) != 0 &&
           (Adapter->TargetSync[Adapter->TargetId & 7].SyncFlags & SYNC_SETTLED) == 0;
}

static VOID HbaAsyncFallback(PHW_DEVICE_EXTENSION Adapter) {
    PTARGET_SYNC sync = &Adapter->TargetSync[Adapter->TargetId & 7];
    sync->SyncFlags |= SYNC_NEVER_OFFER;
    HbaSetAsynchronous(sync);
}

// Brings the data pointers and the unit's high-water mark up to date from the count the
// controller has left, after a transfer handed to the data path.
static VOID HbaSettleTransfer(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit,
                              PSCSI_REQUEST_BLOCK Srb) {
    ULONG remaining = HbaReadTransferCount(Adapter);
    HbaReadRegister(Adapter, REG_DESTINATION_ID);

    // A count above what was handed over would move the pointers outside the buffer.
    if (remaining <= Adapter->CurrentDataLength) {
        if (Srb != 0 && Unit != 0 && remaining <= Srb->DataTransferLength) {
            ULONG reached = Srb->DataTransferLength - remaining;
            if (reached > Unit->MaxBytesMoved) {
                Unit->MaxBytesMoved = reached;
            }
        }
        Adapter->CurrentDataPointer += Adapter->CurrentDataLength - remaining;
        Adapter->CurrentDataLength = remaining;
    }
    if ((Adapter->AdapterMode & MODE_NO_SYSTEM_DMA) == 0) {
        ScsiPortFlushDma(Adapter);
    }
    Adapter->ActiveFlags &= ~ACTIVE_TRANSFER_MASK;
}

// Whether a status seen while selecting shows that the selection reached its target.
static BOOLEAN HbaSelectionReached(UCHAR Status) {
    switch (Status) {
        case STATUS_SELECT_ABORTED:
        case STATUS_SELECT_ABORTED_BUS_FREE:
        case STATUS_RESELECTED:
        case STATUS_RESELECTED_IDENTIFY:
        case STATUS_SELECTION_TIMEOUT:
            return FALSE;
        default:
            return TRUE;
    }
}

// The group a status without a bus phase belongs to; bit tests in the controller's order of
// precedence.
static UCHAR HbaStatusGroup(UCHAR Status) {
    if (Status & STATUS_GROUP_SUCCESS) {
        return STATUS_GROUP_SUCCESS;
    }
    if (Status & STATUS_GROUP_PAUSED) {
        return STATUS_GROUP_PAUSED;
    }
    if (Status & STATUS_GROUP_SERVICE) {
        return STATUS_GROUP_SERVICE;
    }
    if (Status & STATUS_GROUP_TERMINATED) {
        return STATUS_GROUP_TERMINATED;
    }
    return STATUS_GROUP_RESET;
}

static BOOLEAN HbaMessagePhase(UCHAR Phase) {
    return Phase == BUS_PHASE_MESSAGE_OUT || Phase == BUS_PHASE_MESSAGE_IN;
}

// A transfer command completed and the target entered Phase. FALSE: handled by a reset.
static BOOLEAN HbaTransferDone(PHW_DEVICE_EXTENSION Adapter, UCHAR Phase) {
    switch (Adapter->BusState) {
        case BUS_SENDING_CDB:
            return TRUE;
        case BUS_DATA:
            Adapter->BusState = BUS_CONNECTED;
            return TRUE;
        case BUS_MESSAGE_EXCHANGE:
            if (!HbaMessagePhase(Phase)) {
                if (Adapter->ActiveFlags & ACTIVE_MESSAGES_ONLY) {
                    HbaFatalReset(Adapter, SP_PROTOCOL_ERROR, ERROR_ID_MESSAGES_ONLY_AFTER_MESSAGE);
                    return FALSE;
                }
                // The target has left the negotiation: settled as it stands.
                if (Adapter->ActiveFlags & ACTIVE_SDTR_MASK) {
                    Adapter->TargetSync[Adapter->TargetId & 7].SyncFlags |=
                        SYNC_SETTLED | SYNC_NEVER_OFFER;
                    Adapter->ActiveFlags &= ~ACTIVE_SDTR_MASK;
                }
            }
            Adapter->MessageIndex = Adapter->MessageCount;
            return TRUE;
        default:
            HbaFatalReset(Adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_TRANSFER_NOT_RUNNING);
            return FALSE;
    }
}

// The status byte the controller's sequence took, kept in the request.
static VOID HbaCaptureStatus(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit,
                             PSCSI_REQUEST_BLOCK Srb) {
    UCHAR status = HbaReadRegister(Adapter, REG_TARGET_LUN);
    if (Srb != 0) {
        Srb->ScsiStatus = status;
        Unit->LuFlags |= LU_STATUS_RECEIVED;
    }
}

// A transfer or the controller's sequence stopped on a phase change.
static VOID HbaStoppedOnPhase(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit,
                              PSCSI_REQUEST_BLOCK Srb) {
    if (Adapter->BusState == BUS_MESSAGE_EXCHANGE) {
        ULONG remaining = HbaReadTransferCount(Adapter);
        HbaReadRegister(Adapter, REG_DESTINATION_ID);
        // Only bytes of the message can have gone out.
        Adapter->MessageIndex =
            remaining <= Adapter->MessageCount ? (UCHAR)(Adapter->MessageCount - remaining) : 0;
        if (Adapter->ActiveFlags & ACTIVE_SDTR_MASK) {
            Adapter->ActiveFlags |= ACTIVE_NOP_ONCE;
        }
    }
    switch (Adapter->CommandPhase) {
        case PHASE_STATUS_RECEIVED:
            HbaCaptureStatus(Adapter, Unit, Srb);
            break;
        case PHASE_COMPLETE:
            HbaCaptureStatus(Adapter, Unit, Srb);
            Adapter->MessageCount = 1;
            Adapter->MessageBuffer[0] = MSG_COMMAND_COMPLETE;
            HbaMessageIn(Adapter);
            break;
        default:
            break;
    }
}

// The controller's sequence took the status byte and COMMAND COMPLETE; the target has gone.
static BOOLEAN HbaSequenceComplete(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit,
                                   PSCSI_REQUEST_BLOCK Srb) {
    HbaCaptureStatus(Adapter, Unit, Srb);
    Adapter->MessageCount = 0;
    Adapter->MessageBuffer[0] = MSG_COMMAND_COMPLETE;
    HbaMessageIn(Adapter);
    return HbaBusFree(Adapter);
}

// A message byte is in, ACK still asserted.
static BOOLEAN HbaMessageByte(PHW_DEVICE_EXTENSION Adapter) {
    BOOLEAN reply;

    if ((Adapter->MessageBuffer[0] & MSG_IDENTIFY) != 0 &&
        (Adapter->ActiveFlags & ACTIVE_MESSAGES_ONLY) != 0 &&
        Adapter->MessageCount <= HBA_MESSAGE_BUFFER_SIZE) {
        Adapter->ActiveFlags &= ~ACTIVE_MESSAGES_ONLY;
        HbaReselect(Adapter, HbaReadRegister(Adapter, REG_SOURCE_ID) & SOURCE_ID_MASK,
                    Adapter->MessageBuffer[0] & MSG_IDENTIFY_LUN_MASK);
        return TRUE;
    }
    // A message longer than the buffer is refused whole.
    reply = Adapter->MessageCount > HBA_MESSAGE_BUFFER_SIZE ? HbaRejectMessage(Adapter)
                                                            : HbaMessageIn(Adapter);
    if (reply) {
        Adapter->ActiveFlags |= ACTIVE_MESSAGE_OUT;
    }
    HbaLoadSync(Adapter, reply, FALSE);
    return TRUE;
}

// A reselecting target whose IDENTIFY came with the status: taken up, or told to ABORT when the
// byte is no IDENTIFY.
static BOOLEAN HbaTakeReselection(PHW_DEVICE_EXTENSION Adapter, UCHAR Target, UCHAR Identify) {
    if (Identify & MSG_IDENTIFY) {
        HbaReselect(Adapter, Target, Identify & MSG_IDENTIFY_LUN_MASK);
        return TRUE;
    }
    Adapter->TargetId = Target;
    HbaQueueAbort(Adapter, TRUE);
    Adapter->InterruptCount = 0;
    return TRUE;
}

static BOOLEAN HbaReselectedAwaitIdentify(PHW_DEVICE_EXTENSION Adapter) {
    Adapter->MessageCount = 0;
    Adapter->ActiveFlags &= ~ACTIVE_MESSAGE_OUT;
    Adapter->BusState = BUS_MESSAGE_EXCHANGE;
    Adapter->InterruptCount = 0;
    Adapter->ActiveFlags |= ACTIVE_MESSAGES_ONLY;
    return TRUE;
}

static BOOLEAN HbaDisconnected(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit) {
    if (Adapter->ActiveFlags & ACTIVE_MESSAGE_REQUEST) {
        HbaCompleteMessageSrb(Adapter, SRB_STATUS_SUCCESS);
    }
    if (Unit != 0) {
        Unit->LastPhase = Adapter->CommandPhase;
    }
    if (Adapter->CommandPhase != PHASE_DISCONNECTED_IN_SEQUENCE &&
        (Adapter->ActiveFlags & ACTIVE_MESSAGES_ONLY) == 0) {
        // The request stays with its unit, unfinished, until a reset ends it.
        if (HbaNegotiationOpen(Adapter)) {
            HbaAsyncFallback(Adapter);
        }
        HbaLogError(Adapter, SP_UNEXPECTED_DISCONNECT, ERROR_ID_UNANNOUNCED_BUS_FREE);
    }
    return HbaBusFree(Adapter);
}

// Whether the bus went free because the target took our ABORT or BUS DEVICE RESET: it leaves the
// bus at once, while the Transfer Info that sent the message still waits for the next phase, and
// the controller reports that as an unexpected disconnect.
static BOOLEAN HbaFreedByOwnMessage(PHW_DEVICE_EXTENSION Adapter) {
    UCHAR last;
    if (Adapter->BusState != BUS_MESSAGE_EXCHANGE || Adapter->MessageCount == 0 ||
        Adapter->MessageCount > HBA_MESSAGE_BUFFER_SIZE) {
        return FALSE;
    }
    last = Adapter->MessageBuffer[Adapter->MessageCount - 1];
    if (last != MSG_ABORT && last != MSG_BUS_DEVICE_RESET) {
        return FALSE;
    }
    return HbaReadTransferCount(Adapter) == 0;
}

static BOOLEAN HbaSelectionTimeout(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit) {
    PSCSI_REQUEST_BLOCK srb = Adapter->PendingSrb;

    // The second time-out in a row ends the request.
    if (Unit != 0 && Unit->SelectionRetries++ >= 1) {
        if (Unit->MessageSrb != 0 && Unit->MessageSrb == srb) {
            Unit->MessageSrb = 0;
        } else if (Unit->ActiveSrb != 0 && Unit->ActiveSrb == srb) {
            Unit->ActiveSrb = 0;
        }
        Unit->SelectionRetries = 0;
        Adapter->PendingSrb = 0;
        Adapter->ActiveFlags &= ~ACTIVE_PENDING;
        if (srb != 0) {
            srb->SrbStatus = SRB_STATUS_SELECTION_TIMEOUT;
            ScsiPortNotification(RequestComplete, Adapter, srb);
        }
        ScsiPortNotification(NextRequest, Adapter);
    }
    return HbaBusFree(Adapter);
}

static BOOLEAN HbaParityError(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit,
                              PSCSI_REQUEST_BLOCK Srb, BOOLEAN AssertAtn) {
    PSCSI_REQUEST_BLOCK waiting;

    if ((Adapter->ActiveFlags & ACTIVE_PARITY_MESSAGE) == 0) {
        HbaLogError(Adapter, SP_BUS_PARITY_ERROR, ERROR_ID_PARITY);
    }
    HbaLoadSync(Adapter, AssertAtn, FALSE);
    Adapter->MessageBuffer[0] =
        Adapter->BusState == BUS_MESSAGE_IN ? MSG_PARITY_ERROR : MSG_INITIATOR_DETECTED_ERROR;
    Adapter->MessageCount = 1;
    Adapter->MessageIndex = 0;
    Adapter->BusState = BUS_MESSAGE_EXCHANGE;
    Adapter->ActiveFlags |= ACTIVE_PARITY_MESSAGE | ACTIVE_MESSAGE_OUT;

    if (HbaSettings.ParityCheckEnabled == 0 || Srb == 0 || Srb->Cdb[0] != SCSIOP_INQUIRY) {
        return TRUE;
    }

    // Devices that garble INQUIRY data: parity checking goes off for good and the INQUIRY
    // starts again.
    HbaSettings.ParityCheckEnabled = 0;
    HbaInitialize(Adapter);
    Adapter->BusState = BUS_FREE;
    Adapter->ActiveFlags &= ~BUS_FREE_CLEAR_MASK;
    waiting = (Adapter->ActiveFlags & ACTIVE_PENDING) ? Adapter->PendingSrb : 0;
    if (waiting == 0 || waiting == Srb) {
        HbaStartIo(Adapter, Srb);
        return TRUE;
    }
    // The hold belongs to the request that waits; the INQUIRY goes back to be retried, now
    // without parity checking.
    Unit->ActiveSrb = 0;
    Unit->SelectionRetries = 0;
    Unit->LuFlags &= ~LU_END_CLEAR_MASK;
    Srb->SrbStatus = SRB_STATUS_PARITY_ERROR;
    ScsiPortNotification(RequestComplete, Adapter, Srb);
    HbaStartIo(Adapter, waiting);
    return TRUE;
}

// The controller was reset (so was the bus): every request ends, every target has dropped its
// synchronous agreement and is negotiated again, and the controller gets its working registers
// back.
static BOOLEAN HbaResetRecovery(PHW_DEVICE_EXTENSION Adapter) {
    UCHAR control = CONTROL_WORKING;

    HbaCompleteAll(Adapter);
    HbaForgetAgreements(Adapter);
    ScsiPortNotification(ResetDetected, Adapter);
    if (HbaSettings.ParityCheckEnabled == 0) {
        control &= ~CONTROL_HSP;
    }
    control |= (Adapter->AdapterMode & MODE_BURST_DMA) ? CONTROL_DMA_BURST : CONTROL_DMA_MODE;
    HbaWriteRegister(Adapter, REG_CONTROL, control);
    HbaWriteRegister(Adapter, REG_TIMEOUT, (UCHAR)HbaSettings.SelectionTimeout);
    HbaWriteRegister(Adapter, REG_SOURCE_ID, SOURCE_ID_ER);
    Adapter->BusState = BUS_FREE;
    return TRUE;
}

// A chip status without a bus phase.
static BOOLEAN HbaHandleEvent(PHW_DEVICE_EXTENSION Adapter, UCHAR Status, PHW_LU_EXTENSION Unit,
                              PSCSI_REQUEST_BLOCK Srb) {
    UCHAR group = HbaStatusGroup(Status);

    switch (group | (Status & STATUS_CODE_MASK)) {
        case STATUS_RESET:
        case STATUS_RESET_EAF:
            return HbaResetRecovery(Adapter);

        case STATUS_SELECT_COMPLETE:
            return TRUE;
        case STATUS_SEQUENCE_COMPLETE:
            return HbaSequenceComplete(Adapter, Unit, Srb);

        case STATUS_MESSAGE_PAUSED:
            return HbaMessageByte(Adapter);
        case STATUS_SAVE_DATA_POINTER:
            if (Unit != 0) {
                Unit->SavedDataPointer = Adapter->CurrentDataPointer;
                Unit->SavedDataLength = Adapter->CurrentDataLength;
            }
            HbaIssueCommand(Adapter, CMD_SELECT_TRANSFER, 0, Adapter->CommandPhase);
            return TRUE;
        case STATUS_SELECT_ABORTED:
        case STATUS_SELECT_ABORTED_BUS_FREE:
            return HbaBusFree(Adapter);
        case STATUS_RESELECTED_IN_SEQUENCE: {
            Adapter->ActiveFlags &= ~BUS_FREE_CLEAR_MASK;
            if (Unit != 0) {
                Unit->LastPhase = Adapter->CommandPhase;
            }
            UCHAR target = HbaReadRegister(Adapter, REG_SOURCE_ID) & SOURCE_ID_MASK;
            return HbaTakeReselection(Adapter, target, HbaReadRegister(Adapter, REG_TARGET_LUN));
        }

        case STATUS_INVALID_COMMAND:
            return HbaFatalReset(Adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_INVALID_COMMAND);
        case STATUS_UNEXPECTED_DISCONNECT:
            // The bus free the message asked for: the message request is done, nothing failed.
            if (HbaFreedByOwnMessage(Adapter)) {
                if (Adapter->ActiveFlags & ACTIVE_MESSAGE_REQUEST) {
                    HbaCompleteMessageSrb(Adapter, SRB_STATUS_SUCCESS);
                }
                return HbaBusFree(Adapter);
            }
            // The request stays with its unit, unfinished, until a reset ends it.
            if (HbaNegotiationOpen(Adapter)) {
                HbaAsyncFallback(Adapter);
            }
            HbaLogError(Adapter, SP_UNEXPECTED_DISCONNECT, ERROR_ID_UNEXPECTED_DISCONNECT);
            return HbaBusFree(Adapter);
        case STATUS_SELECTION_TIMEOUT:
            return HbaSelectionTimeout(Adapter, Unit);
        case STATUS_PARITY_ERROR:
        case STATUS_PARITY_ERROR_SEQUENCE:
            return HbaParityError(Adapter, Unit, Srb, TRUE);
        case STATUS_PARITY_ERROR_ATN:
            return HbaParityError(Adapter, Unit, Srb, FALSE);
        case STATUS_TERMINATED_45:
            return HbaFatalReset(Adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_STATUS_45);
        case STATUS_RESELECTED_IN_SEQUENCE_NO_ID:
            Adapter->ActiveFlags &= ~BUS_FREE_CLEAR_MASK;
            if (Unit != 0) {
                Unit->LastPhase = Adapter->CommandPhase;
            }
            return HbaReselectedAwaitIdentify(Adapter);

        case STATUS_RESELECTED:
            return HbaReselectedAwaitIdentify(Adapter);
        case STATUS_RESELECTED_IDENTIFY: {
            UCHAR target = HbaReadRegister(Adapter, REG_SOURCE_ID) & SOURCE_ID_MASK;
            return HbaTakeReselection(Adapter, target, HbaReadRegister(Adapter, REG_DATA));
        }
        case STATUS_DISCONNECTED:
            return HbaDisconnected(Adapter, Unit);

        default:
            break;
    }

    // The other codes of each group.
    switch (group) {
        case STATUS_GROUP_RESET:
            HbaLogError(Adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_STATUS_RESET_GROUP);
            return HbaResetRecovery(Adapter);
        case STATUS_GROUP_SUCCESS:
            return HbaFatalReset(Adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_STATUS_SUCCESS_GROUP);
        case STATUS_GROUP_PAUSED:
            return HbaFatalReset(Adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_STATUS_PAUSED_GROUP);
        default:
            return HbaFatalReset(Adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_STATUS_SERVICE_GROUP);
    }
}

// HwInterrupt. FALSE: the controller has no interrupt pending, and only AuxStatus was touched.
// Otherwise one chip status is read and handled: the accounts of a running transfer settled,
// the selection's outcome learned, the event acted on, and a new bus phase served.
BOOLEAN HBA_STDCALL HbaInterrupt(PVOID HwDeviceExtension) {
    PHW_DEVICE_EXTENSION adapter = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    PHW_LU_EXTENSION unit;
    PSCSI_REQUEST_BLOCK srb;
    UCHAR status;

    adapter->AuxStatus = HbaReadAuxStatus(adapter);
    if ((adapter->AuxStatus & AUX_INT) == 0) {
        return FALSE;
    }
    adapter->CommandPhase = HbaReadRegister(adapter, REG_COMMAND_PHASE);
    status = HbaReadRegister(adapter, REG_SCSI_STATUS);
    adapter->ChipStatus = status;
    if ((adapter->AdapterMode & MODE_FIFO) == 0) {
        HbaWriteBoardCommand(adapter, BOARD_CMD_CLEAR_END);
    }
    unit = adapter->ActiveLuExtension;
    srb = unit != 0 ? unit->ActiveSrb : 0;

    if (adapter->ActiveFlags & ACTIVE_DATA_HANDED) {
        HbaSettleTransfer(adapter, unit, srb);
    }

    ScsiPortStallExecution(HBA_STALL_INTERRUPT);
    if (++adapter->InterruptCount > INTERRUPT_LIMIT) {
        return HbaFatalReset(adapter, SP_INTERNAL_ADAPTER_ERROR, ERROR_ID_INTERRUPT_LIMIT);
    }

    if (adapter->BusState == BUS_SELECTING && HbaSelectionReached(status)) {
        adapter->ActiveFlags &= ~ACTIVE_PENDING;
        adapter->PendingSrb = 0;
        adapter->BusState = BUS_MESSAGE_EXCHANGE;
        ScsiPortNotification(NextRequest, adapter);
    } else if (adapter->BusState == BUS_SELECTING &&
               (status == STATUS_RESELECTED || status == STATUS_RESELECTED_IDENTIFY)) {
        // Reselected instead of selecting: what the selection set up for its own connection
        // (its queued messages, a message request or an SDTR in progress) is not this
        // connection's; the held request keeps its hold and goes out again at bus free.
        adapter->ActiveFlags &= ~BUS_FREE_CLEAR_MASK;
    }

    if ((status & STATUS_PHASE_VALID) == 0) {
        return HbaHandleEvent(adapter, status, unit, srb);
    }

    if (status & STATUS_GROUP_SUCCESS) {
        if (!HbaTransferDone(adapter, status & STATUS_PHASE_MASK)) {
            return TRUE;
        }
    } else if (status & STATUS_GROUP_TERMINATED) {
        HbaStoppedOnPhase(adapter, unit, srb);
    }
    HbaServicePhase(adapter, status & STATUS_PHASE_MASK);
    return TRUE;
}
