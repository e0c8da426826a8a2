// The port driver as the miniport sees it: the records it shares with the port driver, the
// status, function and flag values, and the services it calls. Our own declarations, written from
// the published names and fields; only what this miniport uses is declared.
#ifndef CBUS_DRIVER_FRAME_PORT_SERVICES_H
#define CBUS_DRIVER_FRAME_PORT_SERVICES_H

#include <stddef.h>
#include <stdint.h>

// The real platform is 32-bit x86: services are __stdcall, ScsiPortNotification (variadic) is
// __cdecl, and so are none of the miniport's registered routines. Elsewhere the macros are empty
// so that the host build is unaffected.
#if defined(__i386__)
#define HBA_STDCALL __attribute__((stdcall))
#define HBA_CDECL __attribute__((cdecl))
#else
#define HBA_STDCALL
#define HBA_CDECL
#endif

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef char* PCHAR;
typedef uint8_t UCHAR;
typedef uint8_t* PUCHAR;
typedef uint16_t USHORT;
typedef uint16_t* PUSHORT;
typedef uint32_t ULONG;
typedef uint32_t* PULONG;
typedef int32_t LONG;
typedef UCHAR BOOLEAN;
typedef BOOLEAN* PBOOLEAN;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    int64_t QuadPart;
} LARGE_INTEGER;
typedef LARGE_INTEGER SCSI_PHYSICAL_ADDRESS;
typedef SCSI_PHYSICAL_ADDRESS* PSCSI_PHYSICAL_ADDRESS;

typedef enum _INTERFACE_TYPE {
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5,
    VMEBus = 6,
    NuBus = 7,
    PCMCIABus = 8,
    CBus = 9,
    MPIBus = 10,
    MPSABus = 11,
} INTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;

typedef enum _DMA_WIDTH { Width8Bits = 0, Width16Bits = 1, Width32Bits = 2 } DMA_WIDTH;

typedef enum _DMA_SPEED { Compatible = 0, TypeA = 1, TypeB = 2, TypeC = 3 } DMA_SPEED;

typedef enum _SCSI_NOTIFICATION_TYPE {
    RequestComplete = 0,
    NextRequest = 1,
    NextLuRequest = 2,
    ResetDetected = 3,
    CallDisableInterrupts = 4,
    CallEnableInterrupts = 5,
    RequestTimerCall = 6,
} SCSI_NOTIFICATION_TYPE;

// SCSI_REQUEST_BLOCK

typedef struct _SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    PVOID DataBuffer;
    PVOID SenseInfoBuffer;
    struct _SCSI_REQUEST_BLOCK* NextSrb;
    PVOID OriginalRequest;
    PVOID SrbExtension;
    ULONG QueueSortKey;
    UCHAR Cdb[16];
} SCSI_REQUEST_BLOCK, *PSCSI_REQUEST_BLOCK;

#define SRB_FUNCTION_EXECUTE_SCSI 0x00
#define SRB_FUNCTION_CLAIM_DEVICE 0x01
#define SRB_FUNCTION_IO_CONTROL 0x02
#define SRB_FUNCTION_RECEIVE_EVENT 0x03
#define SRB_FUNCTION_RELEASE_QUEUE 0x04
#define SRB_FUNCTION_ATTACH_DEVICE 0x05
#define SRB_FUNCTION_RELEASE_DEVICE 0x06
#define SRB_FUNCTION_SHUTDOWN 0x07
#define SRB_FUNCTION_FLUSH 0x08
#define SRB_FUNCTION_ABORT_COMMAND 0x10
#define SRB_FUNCTION_RELEASE_RECOVERY 0x11
#define SRB_FUNCTION_RESET_BUS 0x12
#define SRB_FUNCTION_RESET_DEVICE 0x13
#define SRB_FUNCTION_TERMINATE_IO 0x14
#define SRB_FUNCTION_FLUSH_QUEUE 0x15
#define SRB_FUNCTION_REMOVE_DEVICE 0x16

#define SRB_STATUS_PENDING 0x00
#define SRB_STATUS_SUCCESS 0x01
#define SRB_STATUS_ABORTED 0x02
#define SRB_STATUS_ABORT_FAILED 0x03
#define SRB_STATUS_ERROR 0x04
#define SRB_STATUS_BUSY 0x05
#define SRB_STATUS_INVALID_REQUEST 0x06
#define SRB_STATUS_INVALID_PATH_ID 0x07
#define SRB_STATUS_NO_DEVICE 0x08
#define SRB_STATUS_TIMEOUT 0x09
#define SRB_STATUS_SELECTION_TIMEOUT 0x0A
#define SRB_STATUS_COMMAND_TIMEOUT 0x0B
#define SRB_STATUS_MESSAGE_REJECTED 0x0D
#define SRB_STATUS_BUS_RESET 0x0E
#define SRB_STATUS_PARITY_ERROR 0x0F
#define SRB_STATUS_REQUEST_SENSE_FAILED 0x10
#define SRB_STATUS_NO_HBA 0x11
#define SRB_STATUS_DATA_OVERRUN 0x12
#define SRB_STATUS_UNEXPECTED_BUS_FREE 0x13
#define SRB_STATUS_PHASE_SEQUENCE_FAILURE 0x14
#define SRB_STATUS_BAD_SRB_BLOCK_LENGTH 0x15
#define SRB_STATUS_REQUEST_FLUSHED 0x16
#define SRB_STATUS_INVALID_LUN 0x20
#define SRB_STATUS_INVALID_TARGET_ID 0x21
#define SRB_STATUS_BAD_FUNCTION 0x22
#define SRB_STATUS_ERROR_RECOVERY 0x23
#define SRB_STATUS_QUEUE_FROZEN 0x40
#define SRB_STATUS_AUTOSENSE_VALID 0x80

#define SRB_FLAGS_QUEUE_ACTION_ENABLE 0x00000002
#define SRB_FLAGS_DISABLE_DISCONNECT 0x00000004
#define SRB_FLAGS_DISABLE_SYNCH_TRANSFER 0x00000008
#define SRB_FLAGS_BYPASS_FROZEN_QUEUE 0x00000010
#define SRB_FLAGS_DISABLE_AUTOSENSE 0x00000020
#define SRB_FLAGS_DATA_IN 0x00000040
#define SRB_FLAGS_DATA_OUT 0x00000080
#define SRB_FLAGS_NO_DATA_TRANSFER 0x00000000
#define SRB_FLAGS_UNSPECIFIED_DIRECTION (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)

// The control request's header, followed in the same buffer by its data.
typedef struct _SRB_IO_CONTROL {
    ULONG HeaderLength;
    UCHAR Signature[8];
    ULONG Timeout;
    ULONG ControlCode;
    ULONG ReturnCode;
    ULONG Length;
} SRB_IO_CONTROL, *PSRB_IO_CONTROL;

// Configuration

typedef struct _ACCESS_RANGE {
    SCSI_PHYSICAL_ADDRESS RangeStart;
    ULONG RangeLength;
    BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

#define SP_UNINITIALIZED_VALUE ((ULONG)~0)

typedef struct _PORT_CONFIGURATION_INFORMATION {
    ULONG Length;
    ULONG SystemIoBusNumber;
    INTERFACE_TYPE AdapterInterfaceType;
    ULONG BusInterruptLevel;
    ULONG BusInterruptVector;
    KINTERRUPT_MODE InterruptMode;
    ULONG MaximumTransferLength;
    ULONG NumberOfPhysicalBreaks;
    ULONG DmaChannel;
    ULONG DmaPort;
    DMA_WIDTH DmaWidth;
    DMA_SPEED DmaSpeed;
    ULONG AlignmentMask;
    ULONG NumberOfAccessRanges;
    ACCESS_RANGE (*AccessRanges)[];
    PVOID Reserved;
    UCHAR NumberOfBuses;
    UCHAR InitiatorBusId[8];
    BOOLEAN ScatterGather;
    BOOLEAN Master;
    BOOLEAN CachesData;
    BOOLEAN AdapterScansDown;
    BOOLEAN AtdiskPrimaryClaimed;
    BOOLEAN AtdiskSecondaryClaimed;
    BOOLEAN Dma32BitAddresses;
    BOOLEAN DemandMode;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    BOOLEAN RealModeInitialized;
    BOOLEAN BufferAccessScsiPortControlled;
    UCHAR MaximumNumberOfTargets;
    UCHAR ReservedUchars[2];
    ULONG SlotNumber;
    ULONG BusInterruptLevel2;
    ULONG BusInterruptVector2;
    KINTERRUPT_MODE InterruptMode2;
    ULONG DmaChannel2;
    ULONG DmaPort2;
    DMA_WIDTH DmaWidth2;
    DMA_SPEED DmaSpeed2;
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

#define SP_RETURN_NOT_FOUND 0
#define SP_RETURN_FOUND 1
#define SP_RETURN_ERROR 2
#define SP_RETURN_BAD_CONFIG 3

// Error-log codes.
#define SP_BUS_PARITY_ERROR 0x0001
#define SP_UNEXPECTED_DISCONNECT 0x0002
#define SP_INVALID_RESELECTION 0x0003
#define SP_BUS_TIME_OUT 0x0004
#define SP_PROTOCOL_ERROR 0x0005
#define SP_INTERNAL_ADAPTER_ERROR 0x0006
#define SP_REQUEST_TIMEOUT 0x0007
#define SP_IRQ_NOT_RESPONDING 0x0008
#define SP_BAD_FW_WARNING 0x0009
#define SP_BAD_FW_ERROR 0x000A

// The routines a miniport registers.

typedef BOOLEAN(HBA_STDCALL* PHW_INITIALIZE)(PVOID DeviceExtension);
typedef BOOLEAN(HBA_STDCALL* PHW_STARTIO)(PVOID DeviceExtension, PSCSI_REQUEST_BLOCK Srb);
typedef BOOLEAN(HBA_STDCALL* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef ULONG(HBA_STDCALL* PHW_FIND_ADAPTER)(PVOID DeviceExtension, PVOID HwContext,
                                             PVOID BusInformation, PCHAR ArgumentString,
                                             PPORT_CONFIGURATION_INFORMATION ConfigInfo,
                                             PBOOLEAN Again);
typedef BOOLEAN(HBA_STDCALL* PHW_RESET_BUS)(PVOID DeviceExtension, ULONG PathId);
typedef VOID(HBA_STDCALL* PHW_DMA_STARTED)(PVOID DeviceExtension);
typedef BOOLEAN(HBA_STDCALL* PHW_ADAPTER_STATE)(PVOID DeviceExtension, PVOID Context,
                                                BOOLEAN SaveState);

typedef struct _HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    PHW_INITIALIZE HwInitialize;
    PHW_STARTIO HwStartIo;
    PHW_INTERRUPT HwInterrupt;
    PHW_FIND_ADAPTER HwFindAdapter;
    PHW_RESET_BUS HwResetBus;
    PHW_DMA_STARTED HwDmaStarted;
    PHW_ADAPTER_STATE HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    PVOID Reserved;
    BOOLEAN MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    PVOID VendorId;
    USHORT ReservedUshort;
    USHORT DeviceIdLength;
    PVOID DeviceId;
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

// The services. The platform defines them; each forwards to the port host bound at the time.

#ifdef __cplusplus
extern "C" {
#endif

ULONG HBA_STDCALL ScsiPortInitialize(PVOID Argument1, PVOID Argument2,
                                     PHW_INITIALIZATION_DATA HwInitializationData, PVOID HwContext);

// RequestComplete takes the request as third argument; NextRequest and ResetDetected none.
VOID HBA_CDECL ScsiPortNotification(SCSI_NOTIFICATION_TYPE NotificationType,
                                    PVOID HwDeviceExtension, ...);

PVOID HBA_STDCALL ScsiPortGetLogicalUnit(PVOID HwDeviceExtension, UCHAR PathId, UCHAR TargetId,
                                         UCHAR Lun);

VOID HBA_STDCALL ScsiPortLogError(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb, UCHAR PathId,
                                  UCHAR TargetId, UCHAR Lun, ULONG ErrorCode, ULONG UniqueId);

VOID HBA_STDCALL ScsiPortIoMapTransfer(PVOID HwDeviceExtension, PSCSI_REQUEST_BLOCK Srb,
                                       PVOID LogicalAddress, ULONG Length);

VOID HBA_STDCALL ScsiPortFlushDma(PVOID HwDeviceExtension);

UCHAR HBA_STDCALL ScsiPortReadPortUchar(PUCHAR Port);
VOID HBA_STDCALL ScsiPortWritePortUchar(PUCHAR Port, UCHAR Value);
VOID HBA_STDCALL ScsiPortReadPortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count);
VOID HBA_STDCALL ScsiPortWritePortBufferUchar(PUCHAR Port, PUCHAR Buffer, ULONG Count);

// Memory-space access (the memory window and the firmware data area). The addresses are those
// that ScsiPortGetDeviceBase returned for memory space; only these services accept them.
UCHAR HBA_STDCALL ScsiPortReadRegisterUchar(PUCHAR Register);
USHORT HBA_STDCALL ScsiPortReadRegisterUshort(PUSHORT Register);
ULONG HBA_STDCALL ScsiPortReadRegisterUlong(PULONG Register);
VOID HBA_STDCALL ScsiPortWriteRegisterUlong(PULONG Register, ULONG Value);

// The 32-bit block move between the memory window and a buffer: Count 32-bit words, the register
// side read or written in ascending order, the buffer advanced by 4 * Count bytes. The buffer
// need not be aligned.
VOID HBA_STDCALL ScsiPortReadRegisterBufferUlong(PULONG Register, PULONG Buffer, ULONG Count);
VOID HBA_STDCALL ScsiPortWriteRegisterBufferUlong(PULONG Register, PULONG Buffer, ULONG Count);

// Not a published service: whether the block move above is usable on this port driver. The
// original learns it from the code bytes of ScsiPortReadRegisterBufferUchar; our port driver
// answers the question instead.
BOOLEAN HBA_STDCALL ScsiPortQueryBlockMove(PVOID HwDeviceExtension);

VOID HBA_STDCALL ScsiPortStallExecution(ULONG Delay);

PVOID HBA_STDCALL ScsiPortGetDeviceBase(PVOID HwDeviceExtension, INTERFACE_TYPE BusType,
                                        ULONG SystemIoBusNumber, SCSI_PHYSICAL_ADDRESS IoAddress,
                                        ULONG NumberOfBytes, BOOLEAN InIoSpace);
VOID HBA_STDCALL ScsiPortFreeDeviceBase(PVOID HwDeviceExtension, PVOID MappedAddress);

SCSI_PHYSICAL_ADDRESS HBA_STDCALL ScsiPortConvertUlongToPhysicalAddress(ULONG UlongAddress);

// The driver's entry, called once when the image is loaded.
ULONG HBA_STDCALL DriverEntry(PVOID DriverObject, PVOID Argument2);

#ifdef __cplusplus
}
#endif

#endif  // CBUS_DRIVER_FRAME_PORT_SERVICES_H
