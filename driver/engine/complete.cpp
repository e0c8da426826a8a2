// Request completion, and what the driver learns about each unit from the data it returned.
#include "driver/controller/hba_regs.h"
#include "driver/engine/scsi_protocol.h"
#include "driver/frame/hba.h"

// TRUE when Data begins with the zero-terminated Prefix; Data is read only up to the first
// difference or the prefix's end.
BOOLEAN HbaPrefixMatch(const UCHAR* Data, const char* Prefix) {
    for (ULONG i = 0; Prefix[i] != 0; i++) {
        if (Data[i] != (UCHAR)Prefix[i]) {
            return FALSE;
        }
    }
    return TRUE;
}

static ULONG HbaTextLength(const char* Text) {
    ULONG length = 0;
    while (Text[length] != 0) {
        length++;
    }
    return length;
}

static BOOLEAN HbaGoodStatus(UCHAR ScsiStatus) {
    return ScsiStatus == SCSISTAT_GOOD || ScsiStatus == SCSISTAT_CONDITION_MET ||
           ScsiStatus == SCSISTAT_INTERMEDIATE || ScsiStatus == SCSISTAT_INTERMEDIATE_CONDITION_MET;
}

static BOOLEAN HbaByteModeType(UCHAR Type) {
    return Type == DEVICE_PRINTER || Type == DEVICE_PROCESSOR || Type == DEVICE_SCANNER ||
           Type == DEVICE_COMMUNICATIONS;
}

// The peripheral type from INQUIRY data, with the phantom-LUN quirk and the write-once option
// applied to the data the caller gets.
static VOID HbaSnoopInquiry(PSCSI_REQUEST_BLOCK Srb, PHW_DEVICE_EXTENSION Adapter, PUCHAR Data,
                            ULONG Moved) {
    UCHAR target = Srb->TargetId & 7;
    UCHAR lun = Srb->Lun & 7;

    if (Moved <= INQUIRY_TYPE_BYTE) {
        return;
    }
    if (Srb->Lun != 0 && Moved >= INQUIRY_PRODUCT_ID + HbaTextLength(HbaQuirkProductId) &&
        HbaPrefixMatch(Data + INQUIRY_PRODUCT_ID, HbaQuirkProductId)) {
        Data[INQUIRY_TYPE_BYTE] = DEVICE_NOT_PRESENT;
    }
    if (HbaSettings.CdrOption != 0 && Data[INQUIRY_TYPE_BYTE] == DEVICE_WRITE_ONCE) {
        Data[INQUIRY_TYPE_BYTE] = DEVICE_CDROM;
    }
    Adapter->DeviceType[target][lun] = Data[INQUIRY_TYPE_BYTE];
    HbaSettings.ByteModeTable[target][lun] = HbaByteModeType(Data[INQUIRY_TYPE_BYTE]) ? 1 : 0;
}

// The low 16 bits of the logical block length that READ CAPACITY, MODE SENSE(6) or MODE
// SELECT(6) data give for a unit of a type that has one; 0 when they give none.
static ULONG HbaSnoopBlockLength(PSCSI_REQUEST_BLOCK Srb, UCHAR Type, PUCHAR Data, ULONG Moved) {
    switch (Srb->Cdb[0]) {
        case SCSIOP_READ_CAPACITY:
            if ((Type == DEVICE_DIRECT_ACCESS || Type == DEVICE_WRITE_ONCE ||
                 Type == DEVICE_CDROM || Type == DEVICE_OPTICAL) &&
                Moved >= READ_CAPACITY_BYTES) {
                return ((ULONG)Data[READ_CAPACITY_BLOCK_LOW] << 8) |
                       Data[READ_CAPACITY_BLOCK_LOW + 1];
            }
            return 0;
        case SCSIOP_MODE_SENSE6:
        case SCSIOP_MODE_SELECT6:
            if ((Type == DEVICE_WRITE_ONCE || Type == DEVICE_CDROM) && Moved >= MODE_BLOCK_BYTES &&
                Data[MODE_DESCRIPTOR_LENGTH_BYTE] == MODE_DESCRIPTOR_LENGTH) {
                return ((ULONG)Data[MODE_BLOCK_LOW] << 8) | Data[MODE_BLOCK_LOW + 1];
            }
            return 0;
        default:
            return 0;
    }
}

// Settles the connected unit's finished request: its SRB status and final length, and what its
// data teach about the unit. The data looked at are only bytes the transfer really moved,
// counted from the start of the buffer. On return the unit no longer holds the request; the
// caller hands it back.
VOID HbaCompleteRequest(PHW_DEVICE_EXTENSION Adapter) {
    PHW_LU_EXTENSION unit = Adapter->ActiveLuExtension;
    PSCSI_REQUEST_BLOCK srb = unit != 0 ? unit->ActiveSrb : 0;
    PUCHAR data;
    ULONG moved;

    if (srb == 0) {
        return;
    }
    data = (PUCHAR)srb->DataBuffer;
    moved = unit->MaxBytesMoved < srb->DataTransferLength ? unit->MaxBytesMoved
                                                          : srb->DataTransferLength;
    if (data == 0) {
        moved = 0;
    }

    if (!HbaGoodStatus(srb->ScsiStatus)) {
        srb->SrbStatus = SRB_STATUS_ERROR;
    } else {
        UCHAR target = srb->TargetId & 7;
        UCHAR lun = srb->Lun & 7;
        if (srb->Cdb[0] == SCSIOP_INQUIRY) {
            HbaSnoopInquiry(srb, Adapter, data, moved);
        }
        if (HbaSettings.BurstSizeOption == 0) {
            ULONG length = HbaSnoopBlockLength(srb, Adapter->DeviceType[target][lun], data, moved);
            if (length != 0 && (length % BURST_SIZE_ALIGN) == 0) {
                Adapter->BurstSize[target][lun] = length < BURST_SIZE_MAX ? length : BURST_SIZE_MAX;
            }
        }
        srb->SrbStatus = SRB_STATUS_SUCCESS;
        if ((unit->LuFlags & LU_STATUS_RECEIVED) == 0) {
            srb->SrbStatus = SRB_STATUS_PHASE_SEQUENCE_FAILURE;
            HbaLogError(Adapter, SP_PROTOCOL_ERROR, ERROR_ID_NO_STATUS_BYTE);
        }
    }

    if (unit->MaxBytesMoved != srb->DataTransferLength) {
        srb->DataTransferLength = unit->MaxBytesMoved;
        if (srb->SrbStatus == SRB_STATUS_SUCCESS) {
            srb->SrbStatus = SRB_STATUS_DATA_OVERRUN;
        }
    }

    unit->ActiveSrb = 0;
    unit->SelectionRetries = 0;
    unit->LuFlags &= ~LU_END_CLEAR_MASK;
}
