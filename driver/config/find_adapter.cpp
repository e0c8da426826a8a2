// The adapter probe: options, the board's ports, the checks that a board answers and agrees with
// the configuration, the transfer mode, and the description of the adapter for the port driver.
#include "driver/controller/hba_regs.h"
#include "driver/frame/hba.h"

// Interrupt level and vector by the board's 3-bit interrupt index. Index 4 is the board's "no
// interrupt" setting; index 7 is not a setting of the board and is treated the same way.
static const UCHAR HbaInterruptLevels[8] = {3, 5, 6, 9, INTERRUPT_NONE, 12, 15, INTERRUPT_NONE};
static const UCHAR HbaInterruptVectors[8] = {
    11, 13, 14, 17, INTERRUPT_NONE, 20, 21, INTERRUPT_NONE};

// The options held until the transfer mode is known.
typedef struct _HBA_PROBE_OPTIONS {
    LONG Discon;
    LONG Nodisc;
    LONG Async;
    ULONG FifoMax;
} HBA_PROBE_OPTIONS;

// Reads the six options. "/smitmin" and "/cdr" are stored at once and stay set whatever the probe
// finds; the others wait for the transfer mode.
static VOID HbaReadOptions(PCHAR ArgumentString, HBA_PROBE_OPTIONS* Options) {
    Options->Discon = HbaParseOption(ArgumentString, HbaKeywordDiscon, KEYWORD_DISCON_LENGTH, 0);
    Options->Nodisc = HbaParseOption(ArgumentString, HbaKeywordNodisc, KEYWORD_NODISC_LENGTH, 0);
    Options->Async = HbaParseOption(ArgumentString, HbaKeywordAsync, KEYWORD_ASYNC_LENGTH, 0);

    ULONG kilobytes =
        (ULONG)HbaParseOption(ArgumentString, HbaKeywordFifomax, KEYWORD_FIFOMAX_LENGTH, 1);
    Options->FifoMax = kilobytes * FIFOMAX_UNIT;
    if (Options->FifoMax == 0) {
        Options->FifoMax = TRANSFER_LENGTH_DEFAULT;
    }

    // A window burst moves whole 32-bit words: a size that is not a multiple of 4 would lose the
    // bytes of the last partial word, so it is rounded down, and below 4 means the default.
    ULONG burst =
        (ULONG)HbaParseOption(ArgumentString, HbaKeywordSmitmin, KEYWORD_SMITMIN_LENGTH, 1);
    if (burst > BURST_SIZE_MAX) {
        burst = BURST_SIZE_MAX;
    }
    HbaSettings.BurstSizeOption = burst - burst % BURST_SIZE_ALIGN;

    HbaSettings.CdrOption =
        (ULONG)HbaParseOption(ArgumentString, HbaKeywordCdr, KEYWORD_CDR_LENGTH, 0);
}

// Whether Length ports from Start lie inside the machine's I/O space.
static BOOLEAN HbaFitsIoSpace(ULONG Start, ULONG Length) {
    return Start < IO_SPACE_SIZE && Length <= IO_SPACE_SIZE - Start;
}

// Maps a memory-space range for a short read of firmware data; none when it cannot be mapped.
static PUCHAR HbaMapMemory(PHW_DEVICE_EXTENSION Adapter, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                           ULONG Address, ULONG Length) {
    return (PUCHAR)ScsiPortGetDeviceBase(
        Adapter, ConfigInfo->AdapterInterfaceType, ConfigInfo->SystemIoBusNumber,
        ScsiPortConvertUlongToPhysicalAddress(Address), Length, FALSE);
}

// Looks the board's I/O base up in the firmware data: the byte at 0x4BC names the firmware block
// (in 4 KB units), whose word at 0x1800 is the base. Both mappings are released again. Returns the
// 16-bit base zero-extended, or 0 when a mapping fails. The value is not checked here.
ULONG HbaFindPortFromBios(PHW_DEVICE_EXTENSION Adapter,
                          PPORT_CONFIGURATION_INFORMATION ConfigInfo) {
    PUCHAR area = HbaMapMemory(Adapter, ConfigInfo, FIRMWARE_DATA_AREA, FIRMWARE_DATA_LENGTH);
    if (area == 0) {
        return 0;
    }
    ULONG block = ScsiPortReadRegisterUchar(area + FIRMWARE_BLOCK_OFFSET);
    ScsiPortFreeDeviceBase(Adapter, area);

    PUCHAR firmware =
        HbaMapMemory(Adapter, ConfigInfo, block * FIRMWARE_BLOCK_UNIT, FIRMWARE_BLOCK_LENGTH);
    if (firmware == 0) {
        return 0;
    }
    ULONG port = ScsiPortReadRegisterUshort((PUSHORT)(firmware + FIRMWARE_PORT_OFFSET));
    ScsiPortFreeDeviceBase(Adapter, firmware);
    return port;
}

// Sets AdapterMode (and PioDataPort where the driver moves data through the FIFO port) from the
// FIFO-status register, which the board setup has just chosen or the firmware left.
static VOID HbaChooseMode(PHW_DEVICE_EXTENSION Adapter) {
    UCHAR fifo = HbaReadRegister(Adapter, REG_FIFO_STATUS);
    PUCHAR pioPort = (PUCHAR)(uintptr_t)((USHORT)(uintptr_t)Adapter->BaseIoAddress + PORT_FIFO);

    // A plain board has no FIFO-status register and reads 0xFF, whose path bits mean nothing.
    if (fifo == FIFO_NO_HARDWARE) {
        Adapter->AdapterMode = MODE_BASE;
    } else if (fifo & FIFO_PATH_FIFO) {
        Adapter->AdapterMode = MODE_BASE | MODE_FIFO;
        Adapter->PioDataPort = pioPort;
    } else if ((fifo & FIFO_PATH_WINDOW) == FIFO_PATH_WINDOW) {
        Adapter->AdapterMode = MODE_BASE | MODE_WINDOW;
        Adapter->PioDataPort = pioPort;
    } else {
        Adapter->AdapterMode = MODE_BASE;
    }
    Adapter->AdapterMode |= MODE_ALWAYS | MODE_BURST_DMA;
}

// Fills the port driver's description of the adapter for the chosen mode.
static VOID HbaDescribeAdapter(PHW_DEVICE_EXTENSION Adapter,
                               PPORT_CONFIGURATION_INFORMATION ConfigInfo, ULONG FifoMax) {
    ConfigInfo->MaximumTransferLength =
        (Adapter->AdapterMode & MODE_FIFO) ? FifoMax : TRANSFER_LENGTH_DEFAULT;
    ConfigInfo->BusInterruptLevel = HbaSettings.BoardInterruptLevel;
    ConfigInfo->BusInterruptVector = HbaSettings.InterruptVectorSetting;
    ConfigInfo->InterruptMode = LevelSensitive;
    ConfigInfo->Dma32BitAddresses = FALSE;

    if (Adapter->AdapterMode & MODE_WINDOW) {
        ConfigInfo->ScatterGather = TRUE;
        ConfigInfo->Master = TRUE;
        ConfigInfo->DmaChannel = DMA_CHANNEL_NONE;
        ConfigInfo->Dma32BitAddresses = TRUE;
        ConfigInfo->BufferAccessScsiPortControlled = TRUE;
        // Without the port driver's block move the driver copies the window itself, and keeps
        // transfers short enough that doing so inside the interrupt stays bearable.
        if (ScsiPortQueryBlockMove(Adapter)) {
            ConfigInfo->MaximumTransferLength = TRANSFER_LENGTH_DEFAULT;
        } else {
            ConfigInfo->MaximumTransferLength = TRANSFER_LENGTH_OWN_MOVE;
            Adapter->OptionFlags |= OPTION_OWN_BLOCK_MOVE;
        }
    } else if (Adapter->AdapterMode & MODE_FIFO) {
        ConfigInfo->ScatterGather = FALSE;
        ConfigInfo->Master = FALSE;
    } else {
        ConfigInfo->ScatterGather = FALSE;
        ConfigInfo->DmaChannel = HbaSettings.BoardDmaChannel;
        ConfigInfo->DmaWidth = (DMA_WIDTH)HbaSettings.DmaWidthSetting;
        ConfigInfo->DmaSpeed = (DMA_SPEED)HbaSettings.DmaSpeedSetting;
    }

    ConfigInfo->DemandMode = FALSE;
    ConfigInfo->RealModeInitialized = (Adapter->OptionFlags & OPTION_BOARD_LOADED) ? FALSE : TRUE;
    ConfigInfo->NumberOfBuses = 1;
}

// The port driver's HwFindAdapter. Expects the zero-filled adapter record and the configuration
// from the registry, with the six access ranges the driver registered. Reads the options, maps
// the board's ports (from the configuration, else from the firmware data), checks that a board
// answers and that its DMA channel and interrupt level agree with the configuration, sets the
// board up, chooses the transfer mode and describes the adapter. The driver serves one adapter:
// Again is always FALSE. Mappings made are kept on every path.
//   SP_RETURN_FOUND      the adapter is ready for HbaInitialize;
//   SP_RETURN_NOT_FOUND  no usable base in the firmware data, or no board answers the echo;
//   SP_RETURN_BAD_CONFIG the record cannot describe the adapter, its I/O range lies outside the
//                        I/O space, or the board's DMA channel or interrupt level differs;
//   SP_RETURN_ERROR      the ports or the memory window cannot be mapped.
ULONG HBA_STDCALL HbaFindAdapter(PVOID HwDeviceExtension, PVOID HwContext, PVOID BusInformation,
                                 PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                 PBOOLEAN Again) {
    PHW_DEVICE_EXTENSION adapter = (PHW_DEVICE_EXTENSION)HwDeviceExtension;
    HBA_PROBE_OPTIONS options;
    (void)HwContext;
    (void)BusInformation;

    HbaReadOptions(ArgumentString, &options);

    if (Again != 0) {
        *Again = FALSE;
    }

    // Entries 0 and 5 are written below; a record without them cannot describe this adapter.
    if (ConfigInfo->AccessRanges == 0 || ConfigInfo->NumberOfAccessRanges < ACCESS_RANGE_ENTRIES) {
        return SP_RETURN_BAD_CONFIG;
    }
    ACCESS_RANGE* ranges = *ConfigInfo->AccessRanges;

    ULONG start = ranges[ACCESS_RANGE_PORTS].RangeStart.u.LowPart;
    ULONG length = ranges[ACCESS_RANGE_PORTS].RangeLength;
    if (start == 0) {
        // The firmware data may not describe this board at all: a base that cannot hold the
        // four ports is no board, and nothing is written to it.
        start = HbaFindPortFromBios(adapter, ConfigInfo);
        length = BOARD_PORT_RANGE;
        if (start == 0 || !HbaFitsIoSpace(start, length)) {
            return SP_RETURN_NOT_FOUND;
        }
    } else {
        // The ports span 7 bytes whatever the registry says: a shorter mapping would leave the
        // board's upper ports outside it.
        if (length < BOARD_PORT_RANGE) {
            length = BOARD_PORT_RANGE;
        }
        if (!HbaFitsIoSpace(start, length)) {
            return SP_RETURN_BAD_CONFIG;
        }
    }

    PUCHAR base = (PUCHAR)ScsiPortGetDeviceBase(
        adapter, ConfigInfo->AdapterInterfaceType, ConfigInfo->SystemIoBusNumber,
        ScsiPortConvertUlongToPhysicalAddress(start), length, TRUE);
    if (base == 0) {
        return SP_RETURN_ERROR;
    }
    adapter->BaseIoAddress = base;
    HbaSettings.BoardPortBase = (ULONG)(uintptr_t)base;

    // Whatever the board latched before, read once and dropped.
    (void)HbaReadAuxStatus(adapter);
    (void)ScsiPortReadPortUchar(base + PORT_DATA);

    // A board answers with the complement; a port that only stores gives the pattern back, an
    // empty one 0xFF.
    HbaWriteRegister(adapter, REG_ECHO, ECHO_PATTERN);
    if (HbaReadRegister(adapter, REG_ECHO) != ECHO_ANSWER) {
        return SP_RETURN_NOT_FOUND;
    }

    HbaSettings.BoardDmaChannel = HbaReadBoardStatus(adapter) & BOARD_STATUS_DMA_CHANNEL;
    if (ConfigInfo->DmaChannel != HbaSettings.BoardDmaChannel) {
        return SP_RETURN_BAD_CONFIG;
    }

    UCHAR config = HbaReadRegister(adapter, REG_BOARD_CONFIG);
    UCHAR index = (config >> BOARD_CONFIG_IRQ_SHIFT) & BOARD_CONFIG_IRQ_MASK;
    HbaSettings.InterruptVectorSetting = HbaInterruptVectors[index];
    HbaSettings.BoardInterruptLevel = HbaInterruptLevels[index];
    if (ConfigInfo->BusInterruptLevel != HbaSettings.BoardInterruptLevel) {
        return SP_RETURN_BAD_CONFIG;
    }

    if (!HbaSetupWindow(adapter, ConfigInfo)) {
        return SP_RETURN_ERROR;
    }

    HbaChooseMode(adapter);

    if (options.Async) {
        adapter->OptionFlags |= OPTION_ASYNC_ONLY;
    }
    // The FIFO-port path cannot follow a target that disconnects; nor does it use the
    // controller's burst DMA.
    if (adapter->AdapterMode & MODE_FIFO) {
        adapter->AdapterMode &= ~(ULONG)MODE_BURST_DMA;
        adapter->OptionFlags |= OPTION_NO_DISCONNECT;
    }
    if (options.Discon) {
        adapter->OptionFlags &= ~(ULONG)OPTION_NO_DISCONNECT;
    }
    if (options.Nodisc) {
        adapter->OptionFlags |= OPTION_NO_DISCONNECT;
    }

    HbaDescribeAdapter(adapter, ConfigInfo, options.FifoMax);

    // Not configured (-1): the board's own id. A configured id is taken as it is.
    if (ConfigInfo->InitiatorBusId[0] == (UCHAR)~0) {
        UCHAR ownId = HbaReadRegister(adapter, REG_BOARD_CONFIG) & BOARD_CONFIG_OWN_ID;
        ConfigInfo->InitiatorBusId[0] = ownId;
        adapter->InitiatorId = ownId;
    } else {
        adapter->InitiatorId = ConfigInfo->InitiatorBusId[0];
    }

    ranges[ACCESS_RANGE_PORTS].RangeStart =
        ScsiPortConvertUlongToPhysicalAddress(HbaSettings.BoardPortBase);
    ranges[ACCESS_RANGE_PORTS].RangeLength = BOARD_PORT_RANGE;
    ranges[ACCESS_RANGE_PORTS].RangeInMemory = FALSE;

    ULONG burst = HbaSettings.BurstSizeOption ? HbaSettings.BurstSizeOption : BURST_SIZE_DEFAULT;
    for (ULONG target = 0; target < HBA_MAX_TARGETS; target++) {
        HbaSetAsynchronous(&adapter->TargetSync[target]);
        for (ULONG lun = 0; lun < HBA_MAX_LUNS; lun++) {
            adapter->BurstSize[target][lun] = burst;
            adapter->DeviceType[target][lun] = DEVICE_TYPE_UNKNOWN;
            HbaSettings.ByteModeTable[target][lun] = 0;
        }
    }

    return SP_RETURN_FOUND;
}
