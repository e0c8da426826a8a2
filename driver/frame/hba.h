// What the driver remembers: the adapter record, the unit record, the driver-wide settings, and
// the driver's routines. The hardware vocabulary is in controller/hba_regs.h.
#ifndef CBUS_DRIVER_FRAME_HBA_H
#define CBUS_DRIVER_FRAME_HBA_H

#include "driver/frame/port_services.h"

#define HBA_MAX_TARGETS 8
#define HBA_MAX_LUNS 8
#define HBA_MESSAGE_BUFFER_SIZE 7

// ActiveFlags: progress of the current connection and of the held request.
#define ACTIVE_SDTR_ANSWERED 0x001    // we answered a target's SDTR and wait to see it accepted
#define ACTIVE_SDTR_SENT 0x002        // we sent our own SDTR and wait for the reply
#define ACTIVE_PENDING 0x004          // PendingSrb holds a request not yet at its target
#define ACTIVE_MESSAGE_OUT 0x008      // MessageBuffer holds a message to send
#define ACTIVE_MESSAGES_ONLY 0x010    // only message phases and bus free are expected
#define ACTIVE_MESSAGE_REQUEST 0x020  // an abort or device-reset request is connected
#define ACTIVE_NOP_ONCE 0x040         // an empty MESSAGE OUT is answered once with NO OPERATION
#define ACTIVE_DATA_HANDED 0x100      // a transfer was handed to the data path; settle at next INT
#define ACTIVE_PARITY_MESSAGE 0x200   // an error message after a parity error is queued
#define ACTIVE_DEFERRED 0x400         // DeferredCommand waits for HbaDmaStarted

#define BUS_FREE_CLEAR_MASK 0x67A
#define RESET_CLEAR_MASK 0x77E
#define NEGOTIATION_MASK 0x043
#define MESSAGE_IN_MASK 0x013

// BusState values.
#define BUS_FREE 0
#define BUS_SELECTING 1
#define BUS_SENDING_CDB 2
#define BUS_DATA 3
#define BUS_LEAVING 4
#define BUS_CONNECTED 5
#define BUS_MESSAGE_IN 6
#define BUS_MESSAGE_EXCHANGE 7

// AdapterMode values and bits.
#define MODE_BASE 0x01
#define MODE_ALWAYS 0x40
#define MODE_BURST_DMA 0x10  // controller DMA mode: burst
#define MODE_FIFO 0x20
#define MODE_WINDOW 0x100
#define MODE_NO_SYSTEM_DMA (MODE_FIFO | MODE_WINDOW)
#define ADAPTER_MODE_PLAIN 0x51
#define ADAPTER_MODE_FIFO 0x61
#define ADAPTER_MODE_WINDOW 0x151

// OptionFlags bits.
#define OPTION_WINDOW_MAPPED 0x02
#define OPTION_NO_DISCONNECT 0x20
#define OPTION_OWN_BLOCK_MOVE 0x40  // the port driver's block move is not usable
#define OPTION_BOARD_LOADED 0x80    // the setup loaded the id map and target registers itself
#define OPTION_ASYNC_ONLY 0x100

// TargetSync[].SyncFlags bits.
#define SYNC_SETTLED 0x01
#define SYNC_NEVER_OFFER 0x02

#define SYNC_PERIOD_ASYNC 2

// LuFlags bits.
#define LU_STATUS_RECEIVED 0x04
#define LU_END_CLEAR_MASK 0x1C

// Bounds of the polling waits.
#define HBA_POLL_IDLE 50             // 1 us each: controller idle (CIP clear)
#define HBA_POLL_RESET_PULSE 50      // 1 us each: INT after the board reset pulse
#define HBA_POLL_RESET 1000          // 1 us each: INT after the Reset command
#define HBA_POLL_RESTORE_RESET 1000  // 10 us each: INT after the Reset command of a restore
#define HBA_POLL_TRANSFER_INFO 3000  // 1 us each: DBR for one Transfer Info byte
// Port reads: a board that never reports ready, stop or end. At about 1 us a read on the C-Bus
// this is seconds, far beyond any transfer the board can make.
#define HBA_POLL_DATA_ENGINE 4000000

// Fixed stalls of the controller reset, in microseconds.
#define HBA_STALL_RESET_PULSE 2000    // the board reset held, and the settling after it
#define HBA_STALL_RESET_STATUS 10     // after reading the status of the pulse's interrupt
#define HBA_STALL_BUS_SETTLE 2500000  // devices recover from the bus reset before the first request

// SCSI-2 operation codes the driver tells apart.
#define SCSIOP_READ6 0x08
#define SCSIOP_WRITE6 0x0A
#define SCSIOP_READ 0x28
#define SCSIOP_WRITE 0x2A
#define SCSIOP_WRITE_VERIFY 0x2E

#define DEVICE_TYPE_UNKNOWN 0x7F
#define BURST_SIZE_DEFAULT 256
#define BURST_SIZE_MAX 2048
#define BURST_SIZE_ALIGN 4  // a burst is whole 32-bit words
#define TRANSFER_LENGTH_DEFAULT 65536
#define TRANSFER_LENGTH_OWN_MOVE 4096
#define FIFOMAX_UNIT 1024  // "/fifomax=N" means N KB

// Compared lengths of the option keywords (their texts are in settings.cpp).
#define KEYWORD_DISCON_LENGTH 7
#define KEYWORD_NODISC_LENGTH 7
#define KEYWORD_ASYNC_LENGTH 6
#define KEYWORD_FIFOMAX_LENGTH 8
#define KEYWORD_SMITMIN_LENGTH 8
#define KEYWORD_CDR_LENGTH 4

// The access ranges the probe describes: entry 0 the I/O ports, entry 5 the memory window.
#define ACCESS_RANGE_PORTS 0
#define ACCESS_RANGE_WINDOW 5
#define ACCESS_RANGE_ENTRIES 6

// The board's interrupt setting has no level and no vector (index 4, and the unused index 7).
#define INTERRUPT_NONE 255
#define DMA_CHANNEL_NONE ((ULONG)~0)

// Controller timing the board setup gives every accepted board.
#define WORKING_MAX_SYNC_OFFSET 12
#define WORKING_MIN_SYNC_PERIOD 25  // 100 ns
#define WORKING_CLOCK_DIVISOR 2
#define WORKING_SELECTION_TIMEOUT 128

// Error-log unique ids: each names the place that logged.
typedef enum _HBA_ERROR_ID {
    ERROR_ID_INTERRUPT_LIMIT = 1,
    ERROR_ID_STATUS_SUCCESS_GROUP = 3,
    ERROR_ID_MESSAGES_ONLY_AFTER_MESSAGE = 4,
    ERROR_ID_TRANSFER_NOT_RUNNING = 5,
    ERROR_ID_STATUS_PAUSED_GROUP = 6,
    ERROR_ID_UNANNOUNCED_BUS_FREE = 7,
    ERROR_ID_STATUS_SERVICE_GROUP = 8,
    ERROR_ID_INVALID_COMMAND = 9,
    ERROR_ID_UNEXPECTED_DISCONNECT = 10,
    ERROR_ID_PARITY = 11,
    ERROR_ID_STATUS_45 = 12,
    ERROR_ID_STATUS_RESET_GROUP = 13,
    ERROR_ID_MESSAGES_ONLY_PHASE = 14,
    ERROR_ID_EMPTY_MESSAGE_OUT = 15,
    ERROR_ID_DATA_PHASE = 16,
    ERROR_ID_RESERVED_PHASE = 17,
    ERROR_ID_INVALID_RESELECTION = 18,
    ERROR_ID_NO_STATUS_BYTE = 20,
    ERROR_ID_TRANSFER_INFO_TIMEOUT = 21,
    ERROR_ID_DATA_ENGINE_TIMEOUT = 22,
} HBA_ERROR_ID;

#pragma pack(push, 1)

typedef struct _TARGET_SYNC {
    UCHAR SyncFlags;
    UCHAR SyncPeriod;
    UCHAR SyncOffset;
    UCHAR SyncFast;
} TARGET_SYNC, *PTARGET_SYNC;

typedef struct _HW_LU_EXTENSION {
    USHORT LuFlags;
    PUCHAR SavedDataPointer;
    ULONG SavedDataLength;
    ULONG MaxBytesMoved;
    PSCSI_REQUEST_BLOCK ActiveSrb;
    PSCSI_REQUEST_BLOCK MessageSrb;
    ULONG SelectionRetries;
    UCHAR LastPhase;
} HW_LU_EXTENSION, *PHW_LU_EXTENSION;

typedef struct _HW_DEVICE_EXTENSION {
    ULONG ActiveFlags;
    ULONG BusState;
    PUCHAR BaseIoAddress;
    ULONG AuxStatus;
    ULONG ChipStatus;
    UCHAR CommandPhase;
    UCHAR InitiatorId;
    UCHAR DeferredCommand;
    UCHAR DeferredPhase;
    UCHAR MessageCount;
    UCHAR MessageIndex;
    UCHAR MessageBuffer[HBA_MESSAGE_BUFFER_SIZE];
    PUCHAR CurrentDataPointer;
    ULONG CurrentDataLength;
    ULONG InterruptCount;
    PHW_LU_EXTENSION ActiveLuExtension;
    PSCSI_REQUEST_BLOCK PendingSrb;
    ULONG AdapterMode;
    PUCHAR PioDataPort;
    TARGET_SYNC TargetSync[HBA_MAX_TARGETS];
    UCHAR TargetId;
    ULONG OptionFlags;
    PUCHAR WindowData;
    ULONG BurstSize[HBA_MAX_TARGETS][HBA_MAX_LUNS];
    UCHAR DeviceType[HBA_MAX_TARGETS][HBA_MAX_LUNS];
    UCHAR TargetIdMap[HBA_MAX_TARGETS];
    UCHAR TargetIdReverse[HBA_MAX_TARGETS];
    UCHAR SavedOwnId;
    UCHAR SavedControl;
    UCHAR SavedTimeout;
    UCHAR SavedSync;
    UCHAR SavedSourceId;
    UCHAR SavedDestinationId;
} HW_DEVICE_EXTENSION, *PHW_DEVICE_EXTENSION;

#pragma pack(pop)

// Driver-wide settings: one set for the whole driver (it serves one adapter). Loading the image
// gives them their initial values (HbaInitialSettings); the platform's loader does the same.
typedef struct _HBA_DRIVER_SETTINGS {
    ULONG ClockDivisor;
    ULONG SelectionTimeout;
    UCHAR MaxSyncOffset;
    UCHAR MinSyncPeriod;
    ULONG InterruptVectorSetting;
    ULONG InterfaceTypeSetting;
    ULONG DmaWidthSetting;
    ULONG DmaSpeedSetting;
    ULONG ParityCheckEnabled;
    UCHAR ByteModeTable[HBA_MAX_TARGETS][HBA_MAX_LUNS];
    ULONG CdrOption;
    ULONG BurstSizeOption;
    ULONG BoardDmaChannel;
    ULONG BoardPortBase;
    ULONG BoardInterruptLevel;
} HBA_DRIVER_SETTINGS;

extern HBA_DRIVER_SETTINGS HbaSettings;
extern const HBA_DRIVER_SETTINGS HbaInitialSettings;

// Constant texts of the driver.
extern const char HbaQuirkProductId[];   // "CD-ROM QV-72T"
extern const char HbaIoctlSignature[8];  // "DOZIZAVA", not NUL-terminated
extern const char HbaKeywordDiscon[];
extern const char HbaKeywordNodisc[];
extern const char HbaKeywordAsync[];
extern const char HbaKeywordFifomax[];
extern const char HbaKeywordSmitmin[];
extern const char HbaKeywordCdr[];

// frame
VOID HbaLogError(PHW_DEVICE_EXTENSION Adapter, ULONG ErrorCode, ULONG UniqueId);

// config
LONG HbaParseOption(PCHAR ArgumentString, const CHAR* Keyword, ULONG KeywordLength,
                    UCHAR WantValue);
ULONG HBA_STDCALL HbaFindAdapter(PVOID HwDeviceExtension, PVOID HwContext, PVOID BusInformation,
                                 PCHAR ArgumentString, PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                 PBOOLEAN Again);
ULONG HbaFindPortFromBios(PHW_DEVICE_EXTENSION Adapter, PPORT_CONFIGURATION_INFORMATION ConfigInfo);
BOOLEAN HbaSetupWindow(PHW_DEVICE_EXTENSION Adapter, PPORT_CONFIGURATION_INFORMATION ConfigInfo);
BOOLEAN HBA_STDCALL HbaAdapterState(PVOID HwDeviceExtension, PVOID Context, BOOLEAN SaveState);

// controller: register window and command issue
UCHAR HbaReadRegister(PHW_DEVICE_EXTENSION Adapter, UCHAR Register);
VOID HbaWriteRegister(PHW_DEVICE_EXTENSION Adapter, UCHAR Register, UCHAR Value);
UCHAR HbaReadAuxStatus(PHW_DEVICE_EXTENSION Adapter);
UCHAR HbaReadBoardStatus(PHW_DEVICE_EXTENSION Adapter);
VOID HbaWriteBoardCommand(PHW_DEVICE_EXTENSION Adapter, UCHAR Command);
VOID HbaWriteTransferCount(PHW_DEVICE_EXTENSION Adapter, ULONG Count);
ULONG HbaReadTransferCount(PHW_DEVICE_EXTENSION Adapter);
UCHAR HbaPollAuxStatus(PHW_DEVICE_EXTENSION Adapter, UCHAR Mask, UCHAR Wanted, UCHAR StopMask,
                       ULONG Polls, ULONG StallMicroseconds);
BOOLEAN HbaIssueCommand(PHW_DEVICE_EXTENSION Adapter, UCHAR Command, LONG Count, UCHAR Phase);

// controller: initialization and reset
BOOLEAN HBA_STDCALL HbaInitialize(PVOID HwDeviceExtension);
BOOLEAN HBA_STDCALL HbaResetBus(PVOID HwDeviceExtension, ULONG PathId);
BOOLEAN HbaResetAndNotify(PHW_DEVICE_EXTENSION Adapter);
VOID HbaCompleteAll(PHW_DEVICE_EXTENSION Adapter);
VOID HbaForgetAgreements(PHW_DEVICE_EXTENSION Adapter);
VOID HbaForgetAgreement(PHW_DEVICE_EXTENSION Adapter, ULONG Target);
VOID HbaSetAsynchronous(PTARGET_SYNC Entry);

// controller: data transfer engines
// The FIFO-port and window engines move a whole data phase from CurrentDataPointer. TRUE: they
// ran to the count or to the board's stop or end indication. FALSE: the board never answered,
// the time-out was logged and the bus reset (every request has been completed).
BOOLEAN HbaPioRead(PHW_DEVICE_EXTENSION Adapter, LONG Count);
BOOLEAN HbaPioWrite(PHW_DEVICE_EXTENSION Adapter, LONG Count);
BOOLEAN HbaWindowRead(PHW_DEVICE_EXTENSION Adapter, LONG Count);
BOOLEAN HbaWindowWrite(PHW_DEVICE_EXTENSION Adapter, LONG Count);
BOOLEAN HbaTransferInfo(PHW_DEVICE_EXTENSION Adapter, PUCHAR Buffer, ULONG Count, UCHAR Out);
VOID HBA_STDCALL HbaDmaStarted(PVOID HwDeviceExtension);

// engine
#define ACTIVE_SDTR_MASK (ACTIVE_SDTR_ANSWERED | ACTIVE_SDTR_SENT)
#define ACTIVE_TRANSFER_MASK (ACTIVE_DATA_HANDED | ACTIVE_DEFERRED)
#define INTERRUPT_LIMIT 64      // interrupts of one connection before the adapter is reset
#define HBA_STALL_INTERRUPT 10  // microseconds, before an interrupt's status is acted on

BOOLEAN HBA_STDCALL HbaStartIo(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb);
VOID HbaStartMessageRequest(PSCSI_REQUEST_BLOCK Srb, PHW_DEVICE_EXTENSION Adapter,
                            PHW_LU_EXTENSION Unit);
VOID HbaCompleteMessageSrb(PHW_DEVICE_EXTENSION Adapter, UCHAR SrbStatus);
VOID HbaStartExecute(PSCSI_REQUEST_BLOCK Srb, PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit);
BOOLEAN HbaSelect(PHW_DEVICE_EXTENSION Adapter, PHW_LU_EXTENSION Unit);
BOOLEAN HBA_STDCALL HbaInterrupt(PVOID HwDeviceExtension);
VOID HbaServicePhase(PHW_DEVICE_EXTENSION Adapter, UCHAR Phase);
BOOLEAN HbaMessageIn(PHW_DEVICE_EXTENSION Adapter);
BOOLEAN HbaRejectMessage(PHW_DEVICE_EXTENSION Adapter);
BOOLEAN HbaAnswerSdtr(PHW_DEVICE_EXTENSION Adapter, PTARGET_SYNC Entry, UCHAR Target,
                      BOOLEAN TargetInitiated);
UCHAR HbaSyncValue(const TARGET_SYNC* Entry);
BOOLEAN HbaLoadSync(PHW_DEVICE_EXTENSION Adapter, BOOLEAN AssertAtn, BOOLEAN LoadSync);
BOOLEAN HbaStartDataTransfer(PHW_DEVICE_EXTENSION Adapter, PSCSI_REQUEST_BLOCK Srb, UCHAR Command,
                             UCHAR Phase);
VOID HbaQueueAbort(PHW_DEVICE_EXTENSION Adapter, BOOLEAN LoadSyncRegister);
BOOLEAN HbaReselect(PHW_DEVICE_EXTENSION Adapter, UCHAR Target, UCHAR Lun);
VOID HbaCompleteRequest(PHW_DEVICE_EXTENSION Adapter);
BOOLEAN HbaPrefixMatch(const UCHAR* Data, const char* Prefix);

#endif  // CBUS_DRIVER_FRAME_HBA_H
