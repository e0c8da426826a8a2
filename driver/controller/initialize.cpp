// Controller initialization, bus reset, and the clean-up of every outstanding request after one.
#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"

// Pulses the board's reset, resets and programs the controller, reads the board's id map and
// returns every target to asynchronous transfer. Expects nothing of the controller. TRUE: the
// controller answered the Reset command with a reset-complete status and is programmed; the
// bus has had 2.5 s to settle. FALSE: it did not answer; only the own-ID register has been
// written and no id map or target setting was changed. Requests and ActiveFlags are not touched.
BOOLEAN HBA_STDCALL HbaInitialize(PVOID HwDeviceExtension) {
    PHW_DEVICE_EXTENSION adapter = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    UCHAR boardControl;
    UCHAR control;
    UCHAR status;

    boardControl = HbaReadRegister(adapter, REG_BOARD_CONTROL) | BOARD_CONTROL_ENABLE;
    HbaWriteRegister(adapter, REG_BOARD_CONTROL, boardControl);
    HbaWriteRegister(adapter, REG_BOARD_CONTROL, boardControl | BOARD_CONTROL_RESET);
    ScsiPortStallExecution(HBA_STALL_RESET_PULSE);
    HbaWriteRegister(adapter, REG_BOARD_CONTROL, boardControl & ~BOARD_CONTROL_RESET);
    ScsiPortStallExecution(HBA_STALL_RESET_PULSE);

    // The pulse may leave a reset interrupt behind; it is cleared, not needed.
    if (HbaPollAuxStatus(adapter, AUX_INT, AUX_INT, 0, HBA_POLL_RESET_PULSE, 1) & AUX_INT) {
        HbaReadRegister(adapter, REG_SCSI_STATUS);
        ScsiPortStallExecution(HBA_STALL_RESET_STATUS);
    }

    HbaWriteRegister(adapter, REG_OWN_ID,
                     (UCHAR)((adapter->InitiatorId & OWN_ID_MASK) | OWN_ID_EAF |
                             ((HbaSettings.ClockDivisor << OWN_ID_FS_SHIFT) & OWN_ID_FS_MASK)));

    // A busy controller leaves the command unwritten; the wait below then decides.
    HbaIssueCommand(adapter, CMD_RESET, CMD_NO_COUNT, 0);

    if ((HbaPollAuxStatus(adapter, AUX_INT, AUX_INT, 0, HBA_POLL_RESET, 1) & AUX_INT) == 0) {
        return FALSE;
    }
    status = HbaReadRegister(adapter, REG_SCSI_STATUS);
    if ((status & STATUS_RESET_CODE_MASK) != STATUS_RESET &&
        (status & STATUS_RESET_CODE_MASK) != STATUS_RESET_EAF) {
        return FALSE;
    }

    control = CONTROL_WORKING;
    if (HbaSettings.ParityCheckEnabled == 0) {
        control &= ~CONTROL_HSP;
    }
    control |= (adapter->AdapterMode & MODE_BURST_DMA) ? CONTROL_DMA_BURST : CONTROL_DMA_MODE;
    HbaWriteRegister(adapter, REG_CONTROL, control);
    HbaWriteRegister(adapter, REG_TIMEOUT, (UCHAR)HbaSettings.SelectionTimeout);
    HbaWriteRegister(adapter, REG_SOURCE_ID, SOURCE_ID_ER);
    HbaWriteRegister(adapter, REG_FIFO_STATUS,
                     HbaReadRegister(adapter, REG_FIFO_STATUS) & FIFO_KEEP_ON_INIT);

    // Bus ids are three bits wide: the controller takes only those from the destination-ID
    // register, so masking keeps the map and its reverse consistent with the bus and inside
    // the eight-entry tables. With two targets on one bus id the higher one wins.
    for (UCHAR target = 0; target < HBA_MAX_TARGETS; target++) {
        UCHAR busId = HbaReadRegister(adapter, (UCHAR)(REG_ID_MAP + target)) & DESTINATION_ID_MASK;
        adapter->TargetIdMap[target] = busId;
        adapter->TargetIdReverse[busId] = target;
    }

    HbaForgetAgreements(adapter);

    ScsiPortStallExecution(HBA_STALL_BUS_SETTLE);
    return TRUE;
}

// Every target back to asynchronous transfer, to be negotiated again; a target that must never
// be offered SDTR keeps that mark. A bus reset ends every target's agreement, so the driver's
// side must end with it.
VOID HbaForgetAgreements(PHW_DEVICE_EXTENSION Adapter) {
    for (ULONG target = 0; target < HBA_MAX_TARGETS; target++) {
        HbaForgetAgreement(Adapter, target);
    }
}

// The same for one target, after a BUS DEVICE RESET it has taken.
VOID HbaForgetAgreement(PHW_DEVICE_EXTENSION Adapter, ULONG Target) {
    PTARGET_SYNC sync = &Adapter->TargetSync[Target % HBA_MAX_TARGETS];
    HbaSetAsynchronous(sync);
    sync->SyncFlags &= ~SYNC_SETTLED;
}

// Resets the bus: disconnects the controller, initializes it again and completes every
// outstanding request. Does not report the reset to the port driver (HbaResetAndNotify does).
// Always TRUE: a failed initialization still leaves no request outstanding.
BOOLEAN HBA_STDCALL HbaResetBus(PVOID HwDeviceExtension, ULONG PathId) {
    PHW_DEVICE_EXTENSION adapter = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    (void)PathId;  // one bus

    HbaIssueCommand(adapter, CMD_DISCONNECT, CMD_NO_COUNT, 0);
    HbaInitialize(adapter);
    HbaCompleteAll(adapter);
    return TRUE;
}

// The recovery step of every fatal error: ResetDetected first, so that the port driver learns of
// the reset before any request of it comes back, then the reset itself.
BOOLEAN HbaResetAndNotify(PHW_DEVICE_EXTENSION Adapter) {
    ScsiPortNotification(ResetDetected, Adapter);
    return HbaResetBus(Adapter, 0);
}

// Completes one request and forgets it.
static VOID HbaCompleteWith(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR Status) {
    Srb->SrbStatus = Status;
    ScsiPortNotification(RequestComplete, Adapter, Srb);
}

// Ends every request the driver holds after a reset: the connected one with a phase-sequence
// failure, every other one with a bus reset. Leaves the bus idle, no request held or connected
// (a connected unit without an execute request stays named in ActiveLuExtension), and the port
// driver asked for the next request if one was held.
VOID HbaCompleteAll(PHW_DEVICE_EXTENSION Adapter) {
    PHW_LU_EXTENSION connected = Adapter->ActiveLuExtension;

    // A system-DMA transfer under way must be ended before its request is handed back.
    if ((Adapter->ActiveFlags & ACTIVE_DATA_HANDED) != 0 &&
        (Adapter->AdapterMode & MODE_NO_SYSTEM_DMA) == 0) {
        ScsiPortFlushDma(Adapter);
    }

    // The held request is also its unit's ActiveSrb or MessageSrb and is completed below.
    if (Adapter->ActiveFlags & ACTIVE_PENDING) {
        Adapter->PendingSrb = 0;
        Adapter->ActiveFlags &= ~ACTIVE_PENDING;
        ScsiPortNotification(NextRequest, Adapter);
    }

    if (connected != 0 && connected->ActiveSrb != 0) {
        HbaCompleteWith(Adapter, connected->ActiveSrb, SRB_STATUS_PHASE_SEQUENCE_FAILURE);
        // A target caught in the middle of a negotiation is not asked again.
        if (Adapter->ActiveFlags & NEGOTIATION_MASK) {
            PTARGET_SYNC sync = &Adapter->TargetSync[Adapter->TargetId % HBA_MAX_TARGETS];
            sync->SyncFlags |= SYNC_NEVER_OFFER;
            HbaSetAsynchronous(sync);
        }
        connected->ActiveSrb = 0;
        connected->SelectionRetries = 0;
        Adapter->ActiveLuExtension = 0;
    }

    for (UCHAR target = 0; target < HBA_MAX_TARGETS; target++) {
        for (UCHAR lun = 0; lun < HBA_MAX_LUNS; lun++) {
            PHW_LU_EXTENSION unit =
                (PHW_LU_EXTENSION)ScsiPortGetLogicalUnit(Adapter, 0, target, lun);
            if (unit == 0) {
                continue;
            }
            if (unit->ActiveSrb != 0) {
                HbaCompleteWith(Adapter, unit->ActiveSrb, SRB_STATUS_BUS_RESET);
                unit->ActiveSrb = 0;
            }
            if (unit->MessageSrb != 0) {
                HbaCompleteWith(Adapter, unit->MessageSrb, SRB_STATUS_BUS_RESET);
                unit->MessageSrb = 0;
            }
            unit->LuFlags &= ~LU_END_CLEAR_MASK;
            unit->SelectionRetries = 0;
        }
    }

    Adapter->BusState = BUS_FREE;
    Adapter->ActiveFlags &= ~RESET_CLEAR_MASK;
}
