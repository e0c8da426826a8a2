// What travels on the SCSI bus and in the requests, as the request engine uses it: SCSI-2
// message codes, status bytes, operation codes, peripheral types and data positions, and the
// control request's codes. The chip's vocabulary is in controller/hba_regs.h.
#ifndef CBUS_DRIVER_ENGINE_SCSI_PROTOCOL_H
#define CBUS_DRIVER_ENGINE_SCSI_PROTOCOL_H

// Messages.
#define MSG_COMMAND_COMPLETE 0x00
#define MSG_EXTENDED 0x01
#define MSG_SAVE_DATA_POINTER 0x02
#define MSG_RESTORE_POINTERS 0x03
#define MSG_DISCONNECT 0x04
#define MSG_INITIATOR_DETECTED_ERROR 0x05
#define MSG_ABORT 0x06
#define MSG_MESSAGE_REJECT 0x07
#define MSG_NO_OPERATION 0x08
#define MSG_PARITY_ERROR 0x09
#define MSG_LINKED_COMPLETE 0x0A
#define MSG_LINKED_COMPLETE_FLAG 0x0B
#define MSG_BUS_DEVICE_RESET 0x0C
#define MSG_INITIATE_RECOVERY 0x0F
#define MSG_IDENTIFY 0x80
#define MSG_IDENTIFY_DISCONNECT 0x40  // disconnect privilege
#define MSG_IDENTIFY_LUN_MASK 0x07

// Extended messages: byte 1 the length, byte 2 the code, arguments from byte 3.
#define EXTENDED_LENGTH_BYTE 1
#define EXTENDED_CODE_BYTE 2
#define EXTENDED_ARGUMENT_BYTE 3
#define EXTENDED_HEADER_BYTES 2  // code and length byte, not counted in the length
#define EXTENDED_MODIFY_DATA_POINTER 0x00
#define EXTENDED_SDTR 0x01
#define EXTENDED_WDTR 0x03
#define EXTENDED_MODIFY_DATA_POINTER_LENGTH 5
#define EXTENDED_SDTR_LENGTH 3
#define EXTENDED_WDTR_LENGTH 2
#define SDTR_PERIOD_BYTE 3
#define SDTR_OFFSET_BYTE 4
#define SDTR_MESSAGE_BYTES 5
#define WDTR_WIDTH_BYTE 3
#define WDTR_WIDTH_8_BITS 0

// Transfer period factors (4 ns units) map onto period codes in steps of 25; code 1 is the
// fast setting of code 2.
#define SYNC_PERIOD_STEP 25
#define SYNC_PERIOD_CODE_FAST 1
#define SYNC_PERIOD_CODE_MAX 6

// Status bytes that end a request well.
#define SCSISTAT_GOOD 0x00
#define SCSISTAT_CONDITION_MET 0x04
#define SCSISTAT_INTERMEDIATE 0x10
#define SCSISTAT_INTERMEDIATE_CONDITION_MET 0x14

// Operation codes and CDB fields.
#define SCSIOP_MODE_SELECT6 0x15
#define SCSIOP_MODE_SENSE6 0x1A
#define SCSIOP_INQUIRY 0x12
#define SCSIOP_READ_CAPACITY 0x25
#define CDB_MAX_LENGTH 12  // the controller's CDB registers 0x03-0x0E
#define CDB_LUN_SHIFT 5    // Cdb[1] bits 7-5
#define CDB_LUN_KEEP 0x1F

// Peripheral device types (the whole first INQUIRY byte).
#define DEVICE_DIRECT_ACCESS 0x00
#define DEVICE_PRINTER 0x02
#define DEVICE_PROCESSOR 0x03
#define DEVICE_WRITE_ONCE 0x04
#define DEVICE_CDROM 0x05
#define DEVICE_SCANNER 0x06
#define DEVICE_OPTICAL 0x07
#define DEVICE_COMMUNICATIONS 0x09
#define DEVICE_NOT_PRESENT 0x7F  // qualifier 3, type 0x1F: no device at this LUN

// Positions in returned data.
#define INQUIRY_TYPE_BYTE 0
#define INQUIRY_PRODUCT_ID 16
#define READ_CAPACITY_BLOCK_LOW 6  // bytes 6-7: the low 16 bits of the block length
#define READ_CAPACITY_BYTES 8
#define MODE_DESCRIPTOR_LENGTH_BYTE 3
#define MODE_DESCRIPTOR_LENGTH 8
#define MODE_BLOCK_LOW 10  // bytes 10-11: low 16 bits of the first descriptor's block length
#define MODE_BLOCK_BYTES 12

// The control request.
#define IOCTL_SIGNATURE_LENGTH 8
#define IOCTL_CODE_RESET_DEVICE 1
#define IOCTL_RETURN_ACCEPTED 0
#define IOCTL_RETURN_REFUSED 11

#endif  // CBUS_DRIVER_ENGINE_SCSI_PROTOCOL_H
