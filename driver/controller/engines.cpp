// The data transfer engines: programmed I/O through the FIFO port, 32-bit bursts through the
// memory window, the byte-at-a-time Transfer Info loop, and the start of a deferred command.
#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"

#define WINDOW_WORD_BYTES 4

typedef UCHAR (*HBA_STATUS_READER)(PHW_DEVICE_EXTENSION Adapter);

static UCHAR HbaReadFifoStatus(PHW_DEVICE_EXTENSION Adapter) {
    return HbaReadRegister(Adapter, REG_FIFO_STATUS);
}

// The wait of a data engine on the board: reads the status until one of the bits of Wanted is
// set, at most HBA_POLL_DATA_ENGINE times, without stalling (the data arrives at bus speed).
// Returns the last status read; none of the Wanted bits set means the board never answered.
// HbaPollAuxStatus cannot serve: these statuses are the board's, not the controller's.
static UCHAR HbaWaitBoard(PHW_DEVICE_EXTENSION Adapter, HBA_STATUS_READER Read, UCHAR Wanted) {
    UCHAR status;
    ULONG reads = 0;
    do {
        status = Read(Adapter);
        reads++;
    } while ((status & Wanted) == 0 && reads < HBA_POLL_DATA_ENGINE);
    return status;
}

// A board that stopped answering in the middle of a data phase: logged, then the bus is reset
// and every request completed, the connected one included. Always FALSE; the caller must not
// touch the request again.
static BOOLEAN HbaDataEngineTimeout(PHW_DEVICE_EXTENSION Adapter) {
    HbaLogError(Adapter, SP_BUS_TIME_OUT, ERROR_ID_DATA_ENGINE_TIMEOUT);
    HbaResetAndNotify(Adapter);
    return FALSE;
}

static PSCSI_REQUEST_BLOCK HbaConnectedSrb(PHW_DEVICE_EXTENSION Adapter) {
    return Adapter->ActiveLuExtension != 0 ? Adapter->ActiveLuExtension->ActiveSrb : 0;
}

// Disk-style transfers go in FIFO blocks; everything else, and any unit marked for byte mode,
// one byte per data-ready indication.
static BOOLEAN HbaPioBlockMode(PHW_DEVICE_EXTENSION Adapter, BOOLEAN In) {
    PSCSI_REQUEST_BLOCK srb = HbaConnectedSrb(Adapter);
    UCHAR opcode;

    if (srb == 0 ||
        HbaSettings.ByteModeTable[srb->TargetId % HBA_MAX_TARGETS][srb->Lun % HBA_MAX_LUNS] != 0) {
        return FALSE;
    }
    opcode = srb->Cdb[0];
    if (In) {
        return opcode == SCSIOP_READ6 || opcode == SCSIOP_READ;
    }
    return opcode == SCSIOP_WRITE6 || opcode == SCSIOP_WRITE || opcode == SCSIOP_WRITE_VERIFY;
}

// Moves up to Count bytes between CurrentDataPointer onward and the FIFO data port, each move
// after the board's data-ready indication. Expects the data command written and the FIFO path
// selected. Ends on the count or when the board reports the transfer stopped (stop wins over
// ready); the bytes left are the controller's transfer count. Never moves more than Count.
static BOOLEAN HbaPioTransfer(PHW_DEVICE_EXTENSION Adapter, LONG Count, BOOLEAN In) {
    PUCHAR data = Adapter->CurrentDataPointer;
    BOOLEAN block = HbaPioBlockMode(Adapter, In);

    while (Count > 0) {
        UCHAR status = HbaWaitBoard(Adapter, HbaReadFifoStatus, FIFO_STOPPED | FIFO_DATA_READY);
        if ((status & (FIFO_STOPPED | FIFO_DATA_READY)) == 0) {
            return HbaDataEngineTimeout(Adapter);
        }
        if (status & FIFO_STOPPED) {
            break;
        }
        ULONG n = 1;
        if (block) {
            n = (ULONG)Count < FIFO_BLOCK_BYTES ? (ULONG)Count : FIFO_BLOCK_BYTES;
        }
        if (In) {
            ScsiPortReadPortBufferUchar(Adapter->PioDataPort, data, n);
        } else {
            ScsiPortWritePortBufferUchar(Adapter->PioDataPort, data, n);
        }
        data += n;
        Count -= (LONG)n;
    }
    return TRUE;
}

BOOLEAN HbaPioRead(PHW_DEVICE_EXTENSION Adapter, LONG Count) {
    return HbaPioTransfer(Adapter, Count, TRUE);
}

BOOLEAN HbaPioWrite(PHW_DEVICE_EXTENSION Adapter, LONG Count) {
    return HbaPioTransfer(Adapter, Count, FALSE);
}

// Bytes per window burst for the connected unit. A size below one word (only a bad "/smitmin"
// gives one) would move nothing per burst and never end, so it falls back to the default; a
// size above the maximum would run past the window's data area.
static ULONG HbaBurstUnit(PHW_DEVICE_EXTENSION Adapter) {
    PSCSI_REQUEST_BLOCK srb = HbaConnectedSrb(Adapter);
    ULONG unit = BURST_SIZE_DEFAULT;

    if (srb != 0) {
        unit = Adapter->BurstSize[srb->TargetId % HBA_MAX_TARGETS][srb->Lun % HBA_MAX_LUNS];
    }
    if (unit < WINDOW_WORD_BYTES) {
        return BURST_SIZE_DEFAULT;
    }
    return unit > BURST_SIZE_MAX ? BURST_SIZE_MAX : unit;
}

// Stores a window word into the caller's buffer byte by byte: the buffer need not be aligned.
static VOID HbaStoreWord(PUCHAR Buffer, ULONG Word, ULONG Bytes) {
    for (ULONG i = 0; i < Bytes; i++) {
        Buffer[i] = (UCHAR)(Word >> (8 * i));
    }
}

static ULONG HbaLoadWord(PUCHAR Buffer, ULONG Bytes) {
    ULONG word = 0;
    for (ULONG i = 0; i < Bytes; i++) {
        word |= (ULONG)Buffer[i] << (8 * i);
    }
    return word;
}

// Copies one burst of Bytes from the start of the window data area to Buffer, in ascending
// words: by the port driver's block move when it is usable, else by the driver's own loop. A
// burst that ends inside a word takes that word whole from the window and stores only its
// leading bytes, so exactly Bytes bytes of the buffer are written.
static VOID HbaCopyFromWindow(PHW_DEVICE_EXTENSION Adapter, PUCHAR Buffer, ULONG Bytes) {
    PUCHAR window = Adapter->WindowData;
    ULONG words = Bytes / WINDOW_WORD_BYTES;
    ULONG tail = Bytes % WINDOW_WORD_BYTES;
    ULONG word = 0;

    if ((Adapter->OptionFlags & OPTION_OWN_BLOCK_MOVE) == 0 && words != 0) {
        ScsiPortReadRegisterBufferUlong((PULONG)window, (PULONG)Buffer, words);
        word = words;
    }
    for (; word < words; word++) {
        HbaStoreWord(Buffer + word * WINDOW_WORD_BYTES,
                     ScsiPortReadRegisterUlong((PULONG)(window + word * WINDOW_WORD_BYTES)),
                     WINDOW_WORD_BYTES);
    }
    if (tail != 0) {
        HbaStoreWord(Buffer + words * WINDOW_WORD_BYTES,
                     ScsiPortReadRegisterUlong((PULONG)(window + words * WINDOW_WORD_BYTES)), tail);
    }
}

// The write counterpart: a burst that ends inside a word sends that word with its bytes past
// the burst zero, never read from beyond Bytes of the buffer.
static VOID HbaCopyToWindow(PHW_DEVICE_EXTENSION Adapter, PUCHAR Buffer, ULONG Bytes) {
    PUCHAR window = Adapter->WindowData;
    ULONG words = Bytes / WINDOW_WORD_BYTES;
    ULONG tail = Bytes % WINDOW_WORD_BYTES;
    ULONG word = 0;

    if ((Adapter->OptionFlags & OPTION_OWN_BLOCK_MOVE) == 0 && words != 0) {
        ScsiPortWriteRegisterBufferUlong((PULONG)window, (PULONG)Buffer, words);
        word = words;
    }
    for (; word < words; word++) {
        ScsiPortWriteRegisterUlong(
            (PULONG)(window + word * WINDOW_WORD_BYTES),
            HbaLoadWord(Buffer + word * WINDOW_WORD_BYTES, WINDOW_WORD_BYTES));
    }
    if (tail != 0) {
        ScsiPortWriteRegisterUlong((PULONG)(window + words * WINDOW_WORD_BYTES),
                                   HbaLoadWord(Buffer + words * WINDOW_WORD_BYTES, tail));
    }
}

// Moves up to Count bytes between CurrentDataPointer onward and the memory window, one burst
// per burst-ready indication, every burst at the start of the window data area. Expects the
// burst-control register armed and the data command written. Ends on the count or the board's
// end indication; a write then waits for the end of the last burst. Leaves the burst control
// idle. Never moves more than Count bytes.
static BOOLEAN HbaWindowTransfer(PHW_DEVICE_EXTENSION Adapter, LONG Count, BOOLEAN In) {
    PUCHAR data = Adapter->CurrentDataPointer;
    ULONG unit = HbaBurstUnit(Adapter);
    UCHAR status;

    while (Count > 0) {
        status = HbaWaitBoard(Adapter, HbaReadBoardStatus,
                              BOARD_STATUS_WINDOW_ENDED | BOARD_STATUS_BURST_READY);
        if ((status & (BOARD_STATUS_WINDOW_ENDED | BOARD_STATUS_BURST_READY)) == 0) {
            HbaWriteRegister(Adapter, REG_BURST_CONTROL, BURST_IDLE);
            return HbaDataEngineTimeout(Adapter);
        }
        if (status & BOARD_STATUS_WINDOW_ENDED) {
            break;
        }
        ULONG n = (ULONG)Count < unit ? (ULONG)Count : unit;
        if (In) {
            HbaCopyFromWindow(Adapter, data, n);
        } else {
            HbaCopyToWindow(Adapter, data, n);
        }
        data += n;
        Count -= (LONG)n;
    }

    // The board is still sending the last burst to the target.
    if (!In) {
        status = HbaWaitBoard(Adapter, HbaReadBoardStatus, BOARD_STATUS_WINDOW_ENDED);
        if ((status & BOARD_STATUS_WINDOW_ENDED) == 0) {
            HbaWriteRegister(Adapter, REG_BURST_CONTROL, BURST_IDLE);
            return HbaDataEngineTimeout(Adapter);
        }
    }
    HbaWriteRegister(Adapter, REG_BURST_CONTROL, BURST_IDLE);
    return TRUE;
}

BOOLEAN HbaWindowRead(PHW_DEVICE_EXTENSION Adapter, LONG Count) {
    return HbaWindowTransfer(Adapter, Count, TRUE);
}

BOOLEAN HbaWindowWrite(PHW_DEVICE_EXTENSION Adapter, LONG Count) {
    return HbaWindowTransfer(Adapter, Count, FALSE);
}

// Moves Count bytes of a CDB or a message through the controller's data register with one
// Transfer Info command; Out non-zero sends Buffer, else fills it. TRUE: all bytes moved.
// FALSE: the controller raised an interrupt first (the bytes moved stay moved, the interrupt
// routine takes the new phase), or a byte was not ready in time, in which case the time-out is
// logged, the bus reset and every request completed.
BOOLEAN HbaTransferInfo(PHW_DEVICE_EXTENSION Adapter, PUCHAR Buffer, ULONG Count, UCHAR Out) {
    HbaWriteTransferCount(Adapter, Count);
    HbaIssueCommand(Adapter, CMD_TRANSFER_INFO, CMD_NO_COUNT, 0);

    for (ULONG i = 0; i < Count; i++) {
        UCHAR status =
            HbaPollAuxStatus(Adapter, AUX_DBR, AUX_DBR, AUX_INT, HBA_POLL_TRANSFER_INFO, 1);
        if ((status & AUX_DBR) == 0) {
            if (status & AUX_INT) {
                return FALSE;
            }
            HbaLogError(Adapter, SP_BUS_TIME_OUT, ERROR_ID_TRANSFER_INFO_TIMEOUT);
            HbaResetAndNotify(Adapter);
            return FALSE;
        }
        if (Out) {
            HbaWriteRegister(Adapter, REG_DATA, Buffer[i]);
        } else {
            Buffer[i] = HbaReadRegister(Adapter, REG_DATA);
        }
    }
    return TRUE;
}

// The port driver's HwDmaStarted: the data path is ready, so the command held back in
// DeferredCommand is issued with the whole remaining length, once per ACTIVE_DEFERRED. In
// FIFO-port and window mode the data phase runs inside this call. ACTIVE_DATA_HANDED stays set
// for the next interrupt to settle.
VOID HBA_STDCALL HbaDmaStarted(PVOID HwDeviceExtension) {
    PHW_DEVICE_EXTENSION adapter = (PHW_DEVICE_EXTENSION)HwDeviceExtension;

    if ((adapter->ActiveFlags & ACTIVE_DEFERRED) == 0) {
        return;
    }
    HbaIssueCommand(adapter, adapter->DeferredCommand, (LONG)adapter->CurrentDataLength,
                    adapter->DeferredPhase);
    adapter->ActiveFlags &= ~ACTIVE_DEFERRED;
}
