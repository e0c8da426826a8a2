// Saving the controller's registers for the machine's firmware and giving them back to it.
#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"

#define RESTORE_RESET_STALL 1000     // us: before looking for the Reset command's interrupt
#define RESTORE_RESET_POLL_STALL 10  // us between polls for that interrupt

// Pulses the controller's hardware reset through the board-control register and leaves the
// board's interrupt enabled.
static VOID HbaPulseBoardReset(PHW_DEVICE_EXTENSION Adapter) {
    UCHAR control = HbaReadRegister(Adapter, REG_BOARD_CONTROL);
    control |= BOARD_CONTROL_ENABLE;
    HbaWriteRegister(Adapter, REG_BOARD_CONTROL, control);
    control |= BOARD_CONTROL_RESET;
    HbaWriteRegister(Adapter, REG_BOARD_CONTROL, control);
    ScsiPortStallExecution(HBA_STALL_RESET_PULSE);
    control &= (UCHAR)~BOARD_CONTROL_RESET;
    HbaWriteRegister(Adapter, REG_BOARD_CONTROL, control);
    ScsiPortStallExecution(HBA_STALL_RESET_PULSE);
}

static VOID HbaSaveControllerState(PHW_DEVICE_EXTENSION Adapter) {
    Adapter->SavedOwnId = HbaReadRegister(Adapter, REG_OWN_ID);
    Adapter->SavedControl = HbaReadRegister(Adapter, REG_CONTROL);
    Adapter->SavedTimeout = HbaReadRegister(Adapter, REG_TIMEOUT);
    Adapter->SavedSync = HbaReadRegister(Adapter, REG_SYNC);
    Adapter->SavedSourceId = HbaReadRegister(Adapter, REG_SOURCE_ID);
}

// Resets board and controller and writes the saved registers back (all zero when nothing was
// saved). FALSE when the controller does not come back from its Reset command: the own-ID
// register has been written then, the others not.
static BOOLEAN HbaRestoreControllerState(PHW_DEVICE_EXTENSION Adapter) {
    HbaPulseBoardReset(Adapter);

    // The reset may leave an interrupt pending; reading the chip status clears it.
    if (HbaPollAuxStatus(Adapter, AUX_INT, AUX_INT, 0, HBA_POLL_RESET_PULSE, 1) & AUX_INT) {
        (void)HbaReadRegister(Adapter, REG_SCSI_STATUS);
        ScsiPortStallExecution(HBA_STALL_RESET_STATUS);
    }

    // Only the saved frequency-select bits are the firmware's; the id is ours, and only its
    // three bits may reach the register.
    HbaWriteRegister(
        Adapter, REG_OWN_ID,
        (UCHAR)((Adapter->SavedOwnId & OWN_ID_FS_MASK) | (Adapter->InitiatorId & OWN_ID_MASK)));

    (void)HbaIssueCommand(Adapter, CMD_RESET, CMD_NO_COUNT, 0);
    ScsiPortStallExecution(RESTORE_RESET_STALL);

    if ((HbaPollAuxStatus(Adapter, AUX_INT, AUX_INT, 0, HBA_POLL_RESTORE_RESET,
                          RESTORE_RESET_POLL_STALL) &
         AUX_INT) == 0) {
        return FALSE;
    }
    UCHAR status = HbaReadRegister(Adapter, REG_SCSI_STATUS) & STATUS_RESET_CODE_MASK;
    if (status != STATUS_RESET && status != STATUS_RESET_EAF) {
        return FALSE;
    }

    HbaWriteRegister(Adapter, REG_CONTROL, Adapter->SavedControl);
    HbaWriteRegister(Adapter, REG_TIMEOUT, Adapter->SavedTimeout);
    HbaWriteRegister(Adapter, REG_SYNC, Adapter->SavedSync);
    HbaWriteRegister(Adapter, REG_DESTINATION_ID,
                     (UCHAR)(Adapter->SavedDestinationId & DESTINATION_ID_MASK));
    HbaWriteRegister(Adapter, REG_SOURCE_ID, (UCHAR)(Adapter->SavedSourceId & SOURCE_ID_UPPER));

    ScsiPortStallExecution(HBA_STALL_BUS_SETTLE);
    return TRUE;
}

// The port driver's HwAdapterState. SaveState non-zero (TRUE is the documented request): copies
// the own-ID, control, timeout, synchronous and source-ID registers into the adapter record and
// returns TRUE. SaveState 0: resets board and controller, writes the saved values back and waits
// 2.5 s for the bus; TRUE when done, FALSE when the controller did not come back from its reset.
// Touches no request and no connection state.
BOOLEAN HBA_STDCALL HbaAdapterState(PVOID HwDeviceExtension, PVOID Context, BOOLEAN SaveState) {
    PHW_DEVICE_EXTENSION adapter = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    (void)Context;

    if (SaveState != FALSE) {
        HbaSaveControllerState(adapter);
        return TRUE;
    }
    return HbaRestoreControllerState(adapter);
}
