// Message-in handling and synchronous transfer negotiation.
#include "driver/controller/hba_regs.h"
#include "driver/engine/scsi_protocol.h"
#include "driver/frame/hba.h"

// The synchronous-transfer register value of a target's settings.
UCHAR HbaSyncValue(const TARGET_SYNC* Entry) {
    return (UCHAR)(((Entry->SyncFast & 1) ? SYNC_FAST : 0) |
                   ((Entry->SyncPeriod << SYNC_PERIOD_SHIFT) & SYNC_PERIOD_MASK) |
                   (Entry->SyncOffset & SYNC_OFFSET_MASK));
}

// The asynchronous setting; the flags are the caller's to decide.
VOID HbaSetAsynchronous(PTARGET_SYNC Entry) {
    Entry->SyncOffset = 0;
    Entry->SyncPeriod = SYNC_PERIOD_ASYNC;
    Entry->SyncFast = 0;
}

// Puts a target's settings in force for the rest of the connection: the controller's
// synchronous-transfer register, and on a window board the target's own register as well.
static VOID HbaProgramSync(PHW_DEVICE_EXTENSION Adapter, ULONG Target, PTARGET_SYNC Entry) {
    UCHAR value = HbaSyncValue(Entry);
    if (Adapter->AdapterMode & MODE_WINDOW) {
        HbaWriteRegister(Adapter, REG_TARGET_SYNC + (Adapter->TargetIdMap[Target & 7] & 7), value);
        HbaWriteRegister(Adapter, REG_SYNC, value);
    } else if (Adapter->AdapterMode & MODE_FIFO) {
        HbaWriteRegister(Adapter, REG_SYNC, SYNC_ASYNCHRONOUS);
    } else {
        HbaWriteRegister(Adapter, REG_SYNC, value);
    }
}

// Queues MESSAGE REJECT as the reply. Always TRUE: ATN is needed.
BOOLEAN HbaRejectMessage(PHW_DEVICE_EXTENSION Adapter) {
    Adapter->MessageBuffer[0] = MSG_MESSAGE_REJECT;
    Adapter->MessageCount = 1;
    Adapter->MessageIndex = 0;
    Adapter->BusState = BUS_MESSAGE_EXCHANGE;
    return TRUE;
}

// Checks the SDTR in MessageBuffer against the adapter's limits and records the agreed settings
// in Entry. For a target-initiated SDTR the message is lowered to the limits in place and becomes
// the answer; an SDTR that answers ours must already lie within them. TRUE: agreed, and the
// register written unless the offset is 0 (asynchronous). FALSE: refused, Entry asynchronous.
BOOLEAN HbaAnswerSdtr(PHW_DEVICE_EXTENSION Adapter, PTARGET_SYNC Entry, UCHAR Target,
                      BOOLEAN TargetInitiated) {
    PUCHAR message = Adapter->MessageBuffer;
    UCHAR code = 0;

    // The FIFO port only moves data asynchronously: a target's SDTR is answered with offset 0,
    // else the target would send synchronously to a controller loaded with 0x20.
    if ((Adapter->AdapterMode & MODE_FIFO) && TargetInitiated) {
        message[SDTR_OFFSET_BYTE] = 0;
    }
    if (message[SDTR_OFFSET_BYTE] > HbaSettings.MaxSyncOffset) {
        if (!TargetInitiated) {
            HbaSetAsynchronous(Entry);
            return FALSE;
        }
        message[SDTR_OFFSET_BYTE] = HbaSettings.MaxSyncOffset;
    }
    Entry->SyncOffset = message[SDTR_OFFSET_BYTE];
    if (Entry->SyncOffset == 0) {
        Entry->SyncPeriod = SYNC_PERIOD_ASYNC;
        Entry->SyncFast = 0;
        return TRUE;
    }

    if (message[SDTR_PERIOD_BYTE] < HbaSettings.MinSyncPeriod) {
        if (!TargetInitiated) {
            HbaSetAsynchronous(Entry);
            return FALSE;
        }
        message[SDTR_PERIOD_BYTE] = HbaSettings.MinSyncPeriod;
    }
    for (UCHAR i = SYNC_PERIOD_CODE_FAST; i <= SYNC_PERIOD_CODE_MAX; i++) {
        if (message[SDTR_PERIOD_BYTE] <= SYNC_PERIOD_STEP * i) {
            code = i;
            break;
        }
    }
    if (code == 0) {
        HbaSetAsynchronous(Entry);
        return FALSE;
    }
    Entry->SyncFast = 0;
    if (code == SYNC_PERIOD_CODE_FAST) {
        Entry->SyncFast = 1;
        code = SYNC_PERIOD_ASYNC;
    }
    Entry->SyncPeriod = code;

    HbaProgramSync(Adapter, Target, Entry);
    return TRUE;
}

// The request whose target an SDTR concerns: the active request, else the connected message
// request.
static PSCSI_REQUEST_BLOCK HbaNegotiatingRequest(PHW_DEVICE_EXTENSION Adapter) {
    PHW_LU_EXTENSION unit = Adapter->ActiveLuExtension;
    if (unit == 0) {
        return 0;
    }
    return unit->ActiveSrb != 0 ? unit->ActiveSrb : unit->MessageSrb;
}

static BOOLEAN HbaExtendedMessage(PHW_DEVICE_EXTENSION Adapter, ULONG Saved, PTARGET_SYNC Sync) {
    PUCHAR message = Adapter->MessageBuffer;
    PHW_LU_EXTENSION unit = Adapter->ActiveLuExtension;
    PSCSI_REQUEST_BLOCK active = unit != 0 ? unit->ActiveSrb : 0;
    UCHAR count = Adapter->MessageCount;

    // Whole at its length, and at the latest when the buffer is full.
    if (count < EXTENDED_HEADER_BYTES ||
        (count < HBA_MESSAGE_BUFFER_SIZE &&
         count < (UCHAR)(message[EXTENDED_LENGTH_BYTE] + EXTENDED_HEADER_BYTES))) {
        Adapter->ActiveFlags = Saved;
        Adapter->BusState = BUS_CONNECTED;
        return FALSE;
    }
    if (count <= EXTENDED_CODE_BYTE) {
        return HbaRejectMessage(Adapter);
    }

    switch (message[EXTENDED_CODE_BYTE]) {
        case EXTENDED_MODIFY_DATA_POINTER: {
            // Only an execute request has a data pointer to move.
            if (message[EXTENDED_LENGTH_BYTE] != EXTENDED_MODIFY_DATA_POINTER_LENGTH ||
                active == 0) {
                return HbaRejectMessage(Adapter);
            }
            LONG argument = (LONG)(((ULONG)message[3] << 24) | ((ULONG)message[4] << 16) |
                                   ((ULONG)message[5] << 8) | (ULONG)message[6]);
            long long left = (long long)Adapter->CurrentDataLength - argument;
            if (left < 0 || left > (long long)active->DataTransferLength) {
                return HbaRejectMessage(Adapter);
            }
            Adapter->CurrentDataPointer += argument;
            Adapter->CurrentDataLength = (ULONG)left;
            Adapter->MessageCount = 0;
            Adapter->BusState = BUS_CONNECTED;
            return FALSE;
        }

        case EXTENDED_SDTR: {
            PSCSI_REQUEST_BLOCK request = HbaNegotiatingRequest(Adapter);
            BOOLEAN targetInitiated = (Saved & ACTIVE_SDTR_SENT) == 0;
            if (message[EXTENDED_LENGTH_BYTE] != EXTENDED_SDTR_LENGTH) {
                return HbaRejectMessage(Adapter);
            }
            if (targetInitiated && request != 0 &&
                (request->SrbFlags & SRB_FLAGS_DISABLE_SYNCH_TRANSFER) != 0) {
                return HbaRejectMessage(Adapter);
            }
            if (!HbaAnswerSdtr(Adapter, Sync, request != 0 ? request->TargetId : Adapter->TargetId,
                               targetInitiated)) {
                Sync->SyncFlags |= SYNC_SETTLED;
                Adapter->ActiveFlags &= ~ACTIVE_SDTR_MASK;
                return HbaRejectMessage(Adapter);
            }
            Adapter->ActiveFlags &= ~ACTIVE_SDTR_SENT;
            if (!targetInitiated) {
                Sync->SyncFlags |= SYNC_SETTLED;
                Adapter->MessageCount = 0;
                Adapter->BusState = BUS_CONNECTED;
                return FALSE;
            }
            // The adjusted message goes back as the answer.
            Adapter->MessageIndex = 0;
            Adapter->BusState = BUS_MESSAGE_EXCHANGE;
            Adapter->ActiveFlags |= ACTIVE_SDTR_ANSWERED;
            return TRUE;
        }

        case EXTENDED_WDTR: {
            PSCSI_REQUEST_BLOCK request = HbaNegotiatingRequest(Adapter);
            ULONG target = request != 0 ? request->TargetId : Adapter->TargetId;
            if (message[EXTENDED_LENGTH_BYTE] != EXTENDED_WDTR_LENGTH) {
                return HbaRejectMessage(Adapter);
            }
            // A width agreement ends any synchronous one on both sides: the target now moves
            // data asynchronously, so must the adapter, and SDTR is offered again next time.
            HbaSetAsynchronous(Sync);
            Sync->SyncFlags &= ~SYNC_SETTLED;
            HbaProgramSync(Adapter, target, Sync);
            message[WDTR_WIDTH_BYTE] = WDTR_WIDTH_8_BITS;
            Adapter->MessageIndex = 0;
            Adapter->BusState = BUS_MESSAGE_EXCHANGE;
            return TRUE;
        }

        default:
            return HbaRejectMessage(Adapter);
    }
}

// Acts on the message collected in MessageBuffer (MessageCount bytes), the controller paused with
// ACK asserted. TRUE: a reply is queued (BusState BUS_MESSAGE_EXCHANGE) and the caller asserts ATN.
// FALSE: nothing to send; an incomplete extended message leaves BusState BUS_CONNECTED so that
// the next byte is appended.
BOOLEAN HbaMessageIn(PHW_DEVICE_EXTENSION Adapter) {
    PHW_LU_EXTENSION unit = Adapter->ActiveLuExtension;
    PSCSI_REQUEST_BLOCK active = unit != 0 ? unit->ActiveSrb : 0;
    PTARGET_SYNC sync = &Adapter->TargetSync[Adapter->TargetId & 7];
    UCHAR code = Adapter->MessageBuffer[0];
    ULONG saved = Adapter->ActiveFlags;

    if (Adapter->ActiveFlags & MESSAGE_IN_MASK) {
        // While only bus free is expected, every message but MESSAGE REJECT is refused.
        if ((Adapter->ActiveFlags & ACTIVE_MESSAGES_ONLY) && code != MSG_MESSAGE_REJECT) {
            return HbaRejectMessage(Adapter);
        }
        // The target went on without rejecting our answer to its SDTR: accepted.
        if ((Adapter->ActiveFlags & ACTIVE_SDTR_ANSWERED) && code != MSG_MESSAGE_REJECT) {
            Adapter->ActiveFlags &= ~ACTIVE_SDTR_ANSWERED;
            sync->SyncFlags |= SYNC_SETTLED;
        }
        saved = Adapter->ActiveFlags;
        if (Adapter->ActiveFlags & ACTIVE_SDTR_SENT) {
            Adapter->ActiveFlags &= ~ACTIVE_SDTR_SENT;
            sync->SyncFlags |= SYNC_SETTLED;
        }
    }

    switch (code) {
        case MSG_COMMAND_COMPLETE:
            if (active != 0) {
                HbaCompleteRequest(Adapter);
                ScsiPortNotification(RequestComplete, Adapter, active);
            }
            Adapter->ActiveFlags |= ACTIVE_MESSAGES_ONLY;
            Adapter->BusState = BUS_LEAVING;
            Adapter->MessageCount = 0;
            return FALSE;

        case MSG_EXTENDED:
            return HbaExtendedMessage(Adapter, saved, sync);

        case MSG_SAVE_DATA_POINTER:
            if (unit != 0) {
                unit->SavedDataPointer = Adapter->CurrentDataPointer;
                unit->SavedDataLength = Adapter->CurrentDataLength;
            }
            Adapter->BusState = BUS_CONNECTED;
            Adapter->MessageCount = 0;
            return FALSE;

        case MSG_RESTORE_POINTERS:
            if (unit != 0) {
                Adapter->CurrentDataPointer = unit->SavedDataPointer;
                Adapter->CurrentDataLength = unit->SavedDataLength;
            }
            Adapter->BusState = BUS_CONNECTED;
            Adapter->MessageCount = 0;
            return FALSE;

        case MSG_DISCONNECT:
            // The pointers are saved only when the target says SAVE DATA POINTER.
            Adapter->BusState = BUS_LEAVING;
            Adapter->ActiveFlags |= ACTIVE_MESSAGES_ONLY;
            Adapter->MessageCount = 0;
            return FALSE;

        case MSG_MESSAGE_REJECT:
            if (Adapter->ActiveFlags & ACTIVE_MESSAGE_REQUEST) {
                HbaCompleteMessageSrb(Adapter, SRB_STATUS_MESSAGE_REJECTED);
            }
            if (saved & ACTIVE_SDTR_MASK) {
                // The target will not negotiate: asynchronous, and never asked again.
                HbaSetAsynchronous(sync);
                sync->SyncFlags |= SYNC_SETTLED | SYNC_NEVER_OFFER;
                Adapter->ActiveFlags &= ~ACTIVE_SDTR_MASK;
            }
            Adapter->BusState = BUS_CONNECTED;
            Adapter->MessageCount = 0;
            return FALSE;

        case MSG_INITIATE_RECOVERY:
            Adapter->MessageCount = 0;
            return FALSE;

        default:
            // Linked commands, IDENTIFY and everything else the adapter does not take.
            return HbaRejectMessage(Adapter);
    }
}

// Finishes a received message byte at the controller: optionally loads the synchronous-transfer
// register from the current target's settings, optionally asserts ATN, then negates ACK so that
// the target goes on. Returns the result of the Negate ACK command.
BOOLEAN HbaLoadSync(PHW_DEVICE_EXTENSION Adapter, BOOLEAN AssertAtn, BOOLEAN LoadSync) {
    if (LoadSync) {
        HbaWriteRegister(Adapter, REG_SYNC,
                         (Adapter->AdapterMode & MODE_FIFO)
                             ? (UCHAR)SYNC_ASYNCHRONOUS
                             : HbaSyncValue(&Adapter->TargetSync[Adapter->TargetId & 7]));
    }
    if (AssertAtn) {
        HbaIssueCommand(Adapter, CMD_ASSERT_ATN, CMD_NO_COUNT, 0);
    }
    return HbaIssueCommand(Adapter, CMD_NEGATE_ACK, CMD_NO_COUNT, 0);
}
