// Bus phase service: the adapter's part of the phase the target has just entered.
#include "driver/controller/hba_regs.h"
#include "driver/engine/scsi_protocol.h"
#include "driver/frame/hba.h"

static VOID HbaFatal(PHW_DEVICE_EXTENSION Adapter, ULONG ErrorCode, ULONG UniqueId) {
    HbaLogError(Adapter, ErrorCode, UniqueId);
    HbaResetAndNotify(Adapter);
}

// An incoming extended message still lacks bytes: its first byte is in the buffer, no reply of
// ours is queued there, and the buffer is not full. A count left over from a message we sent
// never counts as one.
static BOOLEAN HbaMessageIncomplete(PHW_DEVICE_EXTENSION Adapter) {
    return Adapter->MessageBuffer[0] == MSG_EXTENDED &&
           (Adapter->ActiveFlags & ACTIVE_MESSAGE_OUT) == 0 && Adapter->MessageCount > 0 &&
           Adapter->MessageCount < HBA_MESSAGE_BUFFER_SIZE;
}

static VOID HbaMessageOutPhase(PHW_DEVICE_EXTENSION Adapter) {
    if (Adapter->MessageCount == 0 || Adapter->MessageCount > HBA_MESSAGE_BUFFER_SIZE ||
        (Adapter->ActiveFlags & ACTIVE_MESSAGE_OUT) == 0) {
        if (Adapter->ActiveFlags & ACTIVE_NOP_ONCE) {
            // The target asks again after our SDTR went out with the selection.
            Adapter->MessageBuffer[0] = MSG_NO_OPERATION;
            Adapter->ActiveFlags &= ~ACTIVE_NOP_ONCE;
        } else {
            Adapter->MessageBuffer[0] = MSG_INITIATOR_DETECTED_ERROR;
            HbaLogError(Adapter, SP_PROTOCOL_ERROR, ERROR_ID_EMPTY_MESSAGE_OUT);
        }
        Adapter->MessageCount = 1;
        Adapter->MessageIndex = 0;
        Adapter->BusState = BUS_MESSAGE_EXCHANGE;
    }
    if (Adapter->MessageIndex >= Adapter->MessageCount) {
        // All of it went out and the target asks again: send it all again.
        HbaIssueCommand(Adapter, CMD_ASSERT_ATN, CMD_NO_COUNT, 0);
        Adapter->MessageIndex = 0;
    }
    if (Adapter->MessageIndex != Adapter->MessageCount &&
        Adapter->BusState != BUS_MESSAGE_EXCHANGE) {
        HbaIssueCommand(Adapter, CMD_ASSERT_ATN, CMD_NO_COUNT, 0);
        Adapter->BusState = BUS_MESSAGE_EXCHANGE;
    }
    Adapter->ActiveFlags &= ~ACTIVE_PARITY_MESSAGE;
    HbaTransferInfo(Adapter, &Adapter->MessageBuffer[Adapter->MessageIndex],
                    (ULONG)(Adapter->MessageCount - Adapter->MessageIndex), TRUE);
}

// One byte in; the controller then pauses with ACK asserted (STATUS_MESSAGE_PAUSED). The buffer
// never takes more than its seven bytes: a surplus byte is read and dropped, and MessageCount
// goes one past the buffer so that the pause rejects the message.
static VOID HbaMessageInPhase(PHW_DEVICE_EXTENSION Adapter) {
    UCHAR index;
    UCHAR surplus;

    if (Adapter->BusState != BUS_MESSAGE_IN &&
        !(Adapter->BusState == BUS_CONNECTED && HbaMessageIncomplete(Adapter))) {
        Adapter->ActiveFlags &= ~ACTIVE_MESSAGE_OUT;
        Adapter->MessageCount = 0;
    }
    Adapter->BusState = BUS_MESSAGE_IN;
    index = Adapter->MessageCount;
    if (index < HBA_MESSAGE_BUFFER_SIZE) {
        Adapter->MessageCount++;
        HbaTransferInfo(Adapter, &Adapter->MessageBuffer[index], 1, FALSE);
    } else {
        Adapter->MessageCount = HBA_MESSAGE_BUFFER_SIZE + 1;
        HbaTransferInfo(Adapter, &surplus, 1, FALSE);
    }
}

// Hands the data from CurrentDataPointer to the data path, with Command (and Phase) held back
// until the path is ready: in plain mode the port driver programs the system DMA and then calls
// HbaDmaStarted; in the other modes the data moves inside this call. FALSE: a data engine timed
// out and the bus has been reset, every request handed back: the caller touches none.
BOOLEAN HbaStartDataTransfer(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR Command,
                             UCHAR Phase) {
    Adapter->DeferredCommand = Command;
    Adapter->DeferredPhase = Phase;
    Adapter->ActiveFlags |= ACTIVE_TRANSFER_MASK;
    if ((Adapter->AdapterMode & MODE_NO_SYSTEM_DMA) == 0) {
        ScsiPortIoMapTransfer(Adapter, Srb, Adapter->CurrentDataPointer,
                              Adapter->CurrentDataLength);
        HbaWriteBoardCommand(Adapter, BOARD_CMD_DMA_CONNECT);
        return TRUE;
    }
    HbaDmaStarted(Adapter);
    return (Adapter->ActiveFlags & ACTIVE_DATA_HANDED) != 0;
}

// Queues ABORT for a reselecting target the driver cannot take up; only message phases and bus
// free are expected until the target has left.
VOID HbaQueueAbort(PHW_DEVICE_EXTENSION Adapter, BOOLEAN LoadSyncRegister) {
    Adapter->MessageBuffer[0] = MSG_ABORT;
    Adapter->MessageCount = 1;
    Adapter->MessageIndex = 0;
    Adapter->BusState = BUS_MESSAGE_EXCHANGE;
    Adapter->ActiveFlags &= ~BUS_FREE_CLEAR_MASK;
    Adapter->ActiveFlags |= ACTIVE_MESSAGE_OUT | ACTIVE_MESSAGES_ONLY;
    HbaLoadSync(Adapter, TRUE, LoadSyncRegister);
}

static VOID HbaDataPhase(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR Phase) {
    ULONG direction = Phase == BUS_PHASE_DATA_IN ? SRB_FLAGS_DATA_IN : SRB_FLAGS_DATA_OUT;

    // Without an execute request there is no buffer for the data.
    if (Srb == 0 || (Srb->SrbFlags & direction) == 0 || Adapter->CurrentDataLength == 0) {
        HbaFatal(Adapter, SP_PROTOCOL_ERROR, ERROR_ID_DATA_PHASE);
        return;
    }
    if ((Srb->SrbFlags & SRB_FLAGS_UNSPECIFIED_DIRECTION) == SRB_FLAGS_UNSPECIFIED_DIRECTION) {
        Srb->SrbFlags &= ~SRB_FLAGS_UNSPECIFIED_DIRECTION;
        Srb->SrbFlags |= direction;
    }
    Adapter->BusState = BUS_DATA;
    HbaStartDataTransfer(Adapter, Srb, CMD_TRANSFER_INFO, 0);
}

// Starts the adapter's part of bus phase Phase (chip status bits 2-0): the CDB, the data
// transfer, the controller's own status sequence, the queued message bytes, or one message byte
// in. A phase that breaks the protocol ends in the fatal reset. The active request is read now,
// since the handling of the chip status may have ended it.
VOID HbaServicePhase(PHW_DEVICE_EXTENSION Adapter, UCHAR Phase) {
    PHW_LU_EXTENSION unit = Adapter->ActiveLuExtension;
    PSCSI_REQUEST_BLOCK srb = unit != 0 ? unit->ActiveSrb : 0;

    if (Adapter->BusState == BUS_MESSAGE_EXCHANGE &&
        (Adapter->ActiveFlags & ACTIVE_MESSAGES_ONLY) != 0 && Phase != BUS_PHASE_MESSAGE_OUT &&
        Phase != BUS_PHASE_MESSAGE_IN) {
        HbaFatal(Adapter, SP_PROTOCOL_ERROR, ERROR_ID_MESSAGES_ONLY_PHASE);
        return;
    }

    switch (Phase) {
        case BUS_PHASE_COMMAND:
            if (srb == 0) {
                HbaFatal(Adapter, SP_PROTOCOL_ERROR, ERROR_ID_DATA_PHASE);
                return;
            }
            Adapter->BusState = BUS_SENDING_CDB;
            HbaTransferInfo(Adapter, srb->Cdb, srb->CdbLength, TRUE);
            break;
        case BUS_PHASE_STATUS:
            Adapter->BusState = BUS_CONNECTED;
            HbaIssueCommand(Adapter, CMD_SELECT_TRANSFER, 0, PHASE_RESUME_STATUS);
            break;
        case BUS_PHASE_MESSAGE_OUT:
            HbaMessageOutPhase(Adapter);
            break;
        case BUS_PHASE_MESSAGE_IN:
            HbaMessageInPhase(Adapter);
            break;
        case BUS_PHASE_DATA_OUT:
        case BUS_PHASE_DATA_IN:
            HbaDataPhase(Adapter, srb, Phase);
            break;
        default:
            HbaFatal(Adapter, SP_PROTOCOL_ERROR, ERROR_ID_RESERVED_PHASE);
            break;
    }
}
