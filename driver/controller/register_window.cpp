// The register window onto the bus controller and the board, and the issuing of controller
// commands. Every register access of the driver goes through these routines.
#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"

// Reads register Register: its number to the address port, then the data port.
UCHAR HbaReadRegister(PHW_DEVICE_EXTENSION Adapter, UCHAR Register) {
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_ADDRESS, Register);
    return ScsiPortReadPortUchar(Adapter->BaseIoAddress + PORT_DATA);
}

VOID HbaWriteRegister(PHW_DEVICE_EXTENSION Adapter, UCHAR Register, UCHAR Value) {
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_ADDRESS, Register);
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_DATA, Value);
}

UCHAR HbaReadAuxStatus(PHW_DEVICE_EXTENSION Adapter) {
    return ScsiPortReadPortUchar(Adapter->BaseIoAddress + PORT_ADDRESS);
}

UCHAR HbaReadBoardStatus(PHW_DEVICE_EXTENSION Adapter) {
    return ScsiPortReadPortUchar(Adapter->BaseIoAddress + PORT_BOARD);
}

VOID HbaWriteBoardCommand(PHW_DEVICE_EXTENSION Adapter, UCHAR Command) {
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_BOARD, Command);
}

// The three count registers take one address write: the controller steps its address register
// after each data access.
VOID HbaWriteTransferCount(PHW_DEVICE_EXTENSION Adapter, ULONG Count) {
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_ADDRESS, REG_COUNT_HIGH);
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_DATA, (UCHAR)(Count >> 16));
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_DATA, (UCHAR)(Count >> 8));
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_DATA, (UCHAR)Count);
}

ULONG HbaReadTransferCount(PHW_DEVICE_EXTENSION Adapter) {
    ULONG count;
    ScsiPortWritePortUchar(Adapter->BaseIoAddress + PORT_ADDRESS, REG_COUNT_HIGH);
    count = (ULONG)ScsiPortReadPortUchar(Adapter->BaseIoAddress + PORT_DATA) << 16;
    count |= (ULONG)ScsiPortReadPortUchar(Adapter->BaseIoAddress + PORT_DATA) << 8;
    count |= (ULONG)ScsiPortReadPortUchar(Adapter->BaseIoAddress + PORT_DATA);
    return count;
}

// The one bounded wait on the auxiliary status: one read, then up to Polls times a stall of
// StallMicroseconds and another read, until (status & Mask) == Wanted, or at once when a bit of
// StopMask comes up first. Returns the last status read; the caller tests it.
UCHAR HbaPollAuxStatus(PHW_DEVICE_EXTENSION Adapter, UCHAR Mask, UCHAR Wanted, UCHAR StopMask,
                       ULONG Polls, ULONG StallMicroseconds) {
    UCHAR status = HbaReadAuxStatus(Adapter);
    for (ULONG poll = 0; (status & Mask) != Wanted && (status & StopMask) == 0 && poll < Polls;
         poll++) {
        ScsiPortStallExecution(StallMicroseconds);
        status = HbaReadAuxStatus(Adapter);
    }
    return status;
}

// The memory window carries a transfer only in whole 32-bit words of at least 256 bytes, reads
// only in whole 256-byte units, never for command groups 2 to 4 and 6, never for a byte-mode unit.
static BOOLEAN HbaWindowSuits(PSCSI_REQUEST_BLOCK Srb, LONG Count) {
    UCHAR group = Srb->Cdb[0] & 0xE0;
    if (Count < 256 || (Count % 4) != 0) {
        return FALSE;
    }
    if ((Count % 256) != 0 && (Srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0) {
        return FALSE;
    }
    if (group == 0x40 || group == 0x60 || group == 0x80 || group == 0xC0) {
        return FALSE;
    }
    return HbaSettings.ByteModeTable[Srb->TargetId & 7][Srb->Lun & 7] == 0;
}

// Runs the FIFO-port engine in the request's direction (data-in wins when both are set).
// Writes a command that starts a data phase the driver runs itself, and says whether the
// controller took it. A selection written just as a reselection's interrupt lands is ignored
// (last command ignored); no data phase follows then, and an engine would only wait for one
// until its time-out reset. The pending interrupt is served next, and the held request goes
// out again at bus free.
static BOOLEAN HbaStartDataCommand(PHW_DEVICE_EXTENSION Adapter, UCHAR Command) {
    HbaWriteRegister(Adapter, REG_COMMAND, Command);
    return (HbaReadAuxStatus(Adapter) & AUX_LCI) == 0;
}

static VOID HbaRunPio(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb, LONG Count) {
    if (Srb->SrbFlags & SRB_FLAGS_DATA_IN) {
        HbaPioRead(Adapter, Count);
    } else if (Srb->SrbFlags & SRB_FLAGS_DATA_OUT) {
        HbaPioWrite(Adapter, Count);
    }
}

// Writes a controller command once the controller is idle. Count: the transfer count, or
// CMD_NO_COUNT to leave it. Phase: the command-phase value for the Select-and-Transfer commands.
// In FIFO-port and window mode, a command with a count above zero also runs its data phase to
// the end inside this call. FALSE: the controller stayed busy and nothing was written.
BOOLEAN HbaIssueCommand(PHW_DEVICE_EXTENSION Adapter, UCHAR Command, LONG Count, UCHAR Phase) {
    PSCSI_REQUEST_BLOCK srb = 0;

    if (HbaPollAuxStatus(Adapter, AUX_CIP, 0, 0, HBA_POLL_IDLE, 1) & AUX_CIP) {
        return FALSE;
    }

    if (Count != CMD_NO_COUNT) {
        HbaWriteTransferCount(Adapter, (ULONG)Count);
    }

    if (Adapter->ActiveLuExtension != 0) {
        srb = Adapter->ActiveLuExtension->ActiveSrb;
    }

    if (Command == CMD_SELECT_ATN_TRANSFER &&
        ((Adapter->OptionFlags & OPTION_NO_DISCONNECT) != 0 ||
         (srb != 0 && (srb->SrbFlags & SRB_FLAGS_DISABLE_DISCONNECT) != 0))) {
        Command = CMD_SELECT_TRANSFER;
    }

    if (Command == CMD_SELECT_ATN_TRANSFER || Command == CMD_SELECT_TRANSFER) {
        HbaWriteRegister(Adapter, REG_COMMAND_PHASE, Phase);
    }

    if ((Adapter->AdapterMode & MODE_NO_SYSTEM_DMA) != 0 && Count > 0) {
        HbaWriteBoardCommand(Adapter, BOARD_CMD_ARM);

        // The driver moves this data itself and needs the connected request for it; without
        // one there is no buffer to move to or from, so only the command is written.
        if (srb == 0) {
            HbaWriteRegister(Adapter, REG_COMMAND, Command);
            return TRUE;
        }

        if (Adapter->AdapterMode & MODE_WINDOW) {
            if (HbaWindowSuits(srb, Count)) {
                if (srb->SrbFlags & SRB_FLAGS_DATA_IN) {
                    HbaWriteRegister(Adapter, REG_BURST_CONTROL, BURST_READ);
                    if (HbaStartDataCommand(Adapter, Command)) {
                        HbaWindowRead(Adapter, Count);
                    }
                } else if (srb->SrbFlags & SRB_FLAGS_DATA_OUT) {
                    HbaWriteRegister(Adapter, REG_BURST_CONTROL, BURST_WRITE);
                    if (HbaStartDataCommand(Adapter, Command)) {
                        HbaWindowWrite(Adapter, Count);
                    }
                }
                return TRUE;
            }

            // FIFO port in window mode: path bit 2 set only for this transfer.
            UCHAR kept = HbaReadRegister(Adapter, REG_FIFO_STATUS) & FIFO_KEEP_AROUND;
            HbaWriteRegister(Adapter, REG_FIFO_STATUS, kept | FIFO_PATH_FIFO);
            // Restored even after an engine time-out: the reset that followed keeps bit 2 as it
            // finds it, and the window path must not stay switched off.
            if (HbaStartDataCommand(Adapter, Command)) {
                HbaRunPio(Adapter, srb, Count);
            }
            HbaWriteRegister(Adapter, REG_FIFO_STATUS, kept & FIFO_RESTORE_MASK);
            return TRUE;
        }

        if (HbaStartDataCommand(Adapter, Command)) {
            HbaRunPio(Adapter, srb, Count);
        }
        return TRUE;
    }

    HbaWriteRegister(Adapter, REG_COMMAND, Command);
    return TRUE;
}
