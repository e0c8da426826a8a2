// The extended board setup: the memory window, the board's id map and per-target registers where
// the firmware has not loaded them, and the controller timing every accepted board runs with.
#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"

// Two reads of the bytes just below the window's data area; the board wants them around the
// latch pulse, the values mean nothing.
static VOID HbaTouchWindow(PUCHAR Window) {
    (void)ScsiPortReadRegisterUchar(Window + WINDOW_PROBE_OFFSET);
    (void)ScsiPortReadRegisterUchar(Window + WINDOW_PROBE_OFFSET + 1);
}

// Second half of the probe. Expects BaseIoAddress mapped and a record with the six access ranges.
// Maps the 8 KB window that register 0x31 selects and describes it in access range 5. On a board
// whose firmware left board-control bit 3 clear, loads the identity id map, asynchronous target
// registers, and the data path (window when the window shows the board's own I/O base at 4098,
// else FIFO port). Pulses the window latch, leaves OptionFlags as window mapped, no disconnect and
// (when it loaded the board) board loaded, sets the working controller timing and WindowData.
// FALSE, with nothing written but the read of register 0x31: the window cannot be mapped.
BOOLEAN HbaSetupWindow(PHW_DEVICE_EXTENSION Adapter, PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
    ULONG select = HbaReadRegister(Adapter, REG_WINDOW_SELECT) & WINDOW_SELECT_MASK;
    ULONG address = WINDOW_BASE + select * WINDOW_STRIDE;

    PUCHAR window = (PUCHAR)ScsiPortGetDeviceBase(
        Adapter, ConfigInfo->AdapterInterfaceType, ConfigInfo->SystemIoBusNumber,
        ScsiPortConvertUlongToPhysicalAddress(address), WINDOW_SIZE, FALSE);
    if (window == 0) {
        return FALSE;
    }

    ACCESS_RANGE* range = &(*ConfigInfo->AccessRanges)[ACCESS_RANGE_WINDOW];
    range->RangeStart = ScsiPortConvertUlongToPhysicalAddress(address);
    range->RangeLength = WINDOW_SIZE;
    range->RangeInMemory = TRUE;

    Adapter->OptionFlags = 0;

    if ((HbaReadRegister(Adapter, REG_BOARD_CONTROL) & BOARD_CONTROL_FIRMWARE) == 0) {
        for (UCHAR i = 0; i < HBA_MAX_TARGETS; i++) {
            HbaWriteRegister(Adapter, (UCHAR)(REG_ID_MAP + i), i);
            HbaWriteRegister(Adapter, (UCHAR)(REG_TARGET_SYNC + i), SYNC_ASYNCHRONOUS);
        }
        Adapter->OptionFlags |= OPTION_BOARD_LOADED;

        // The window shows the board's I/O base only where the board can move data through it.
        USHORT shown = ScsiPortReadRegisterUshort((PUSHORT)(window + WINDOW_BASE_WORD_OFFSET));
        if (shown == (USHORT)(uintptr_t)Adapter->BaseIoAddress) {
            HbaWriteRegister(Adapter, REG_FIFO_STATUS, FIFO_SELECT_WINDOW);
        } else {
            HbaWriteRegister(Adapter, REG_FIFO_STATUS, FIFO_SELECT_FIFO);
        }
    }

    HbaTouchWindow(window);
    UCHAR control = HbaReadRegister(Adapter, REG_BOARD_CONTROL);
    HbaWriteRegister(Adapter, REG_BOARD_CONTROL, (UCHAR)(control | BOARD_CONTROL_LATCH));
    HbaTouchWindow(window);
    HbaWriteRegister(Adapter, REG_BOARD_CONTROL, (UCHAR)(control & BOARD_CONTROL_KEEP));

    Adapter->OptionFlags |= OPTION_WINDOW_MAPPED;
    HbaSettings.MaxSyncOffset = WORKING_MAX_SYNC_OFFSET;
    HbaSettings.MinSyncPeriod = WORKING_MIN_SYNC_PERIOD;
    HbaSettings.ClockDivisor = WORKING_CLOCK_DIVISOR;
    HbaSettings.SelectionTimeout = WORKING_SELECTION_TIMEOUT;
    Adapter->OptionFlags |= OPTION_NO_DISCONNECT;

    Adapter->WindowData = window + WINDOW_DATA_OFFSET;
    return TRUE;
}
