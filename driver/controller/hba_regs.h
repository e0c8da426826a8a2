// What the hardware is: the board's ports, the bus controller's registers (WD33C93 map) and the
// board's registers above them, their bits, the controller's commands and its status codes.
// What the driver remembers lives in frame/hba.h; the two never mix.
#ifndef CBUS_DRIVER_CONTROLLER_HBA_REGS_H
#define CBUS_DRIVER_CONTROLLER_HBA_REGS_H

// Port offsets from BaseIoAddress.
#define PORT_ADDRESS 0      // write: register number; read: auxiliary status
#define PORT_DATA 2         // the addressed register
#define PORT_BOARD 4        // write: board command; read: board status
#define PORT_FIFO 6         // FIFO data port
#define BOARD_PORT_RANGE 7  // bytes the four ports span

// Auxiliary status (read from PORT_ADDRESS).
#define AUX_INT 0x80  // interrupt pending; reading REG_SCSI_STATUS clears it
#define AUX_LCI 0x40  // last command ignored
#define AUX_BSY 0x20  // a level II command is executing
#define AUX_CIP 0x10  // command in progress: no command may be written
#define AUX_PE 0x02   // parity error
#define AUX_DBR 0x01  // data buffer ready: REG_DATA takes or gives the next byte

// Board commands (written to PORT_BOARD).
#define BOARD_CMD_DMA_CONNECT 0x01  // pass the controller's DMA request to the system DMA channel
#define BOARD_CMD_ARM 0x02          // arm the FIFO or the window for the next data command
#define BOARD_CMD_CLEAR_END 0x10    // clear the end indication, disconnect the DMA request

// Board status (read from PORT_BOARD).
#define BOARD_STATUS_DMA_CHANNEL 0x03  // the board's DMA channel (jumpers)
#define BOARD_STATUS_WINDOW_ENDED 0x08
#define BOARD_STATUS_BURST_READY 0x10

// Controller registers.
#define REG_OWN_ID 0x00  // also the CDB size for Select-and-Transfer
#define REG_CONTROL 0x01
#define REG_TIMEOUT 0x02
#define REG_CDB1 0x03  // CDB bytes in 0x03..0x0E
#define REG_TARGET_LUN 0x0F
#define REG_COMMAND_PHASE 0x10
#define REG_SYNC 0x11
#define REG_COUNT_HIGH 0x12  // 0x12..0x14: 24-bit transfer count, most significant byte first
#define REG_COUNT_MIDDLE 0x13
#define REG_COUNT_LOW 0x14
#define REG_DESTINATION_ID 0x15
#define REG_SOURCE_ID 0x16
#define REG_SCSI_STATUS 0x17  // the chip status; reading it clears INT
#define REG_COMMAND 0x18
#define REG_DATA 0x19

// REG_OWN_ID fields.
#define OWN_ID_MASK 0x07
#define OWN_ID_EAF 0x08  // advanced features
#define OWN_ID_RAF 0x20
#define OWN_ID_FS_SHIFT 6  // frequency select (clock divisor), bits 7-6
#define OWN_ID_FS_MASK 0xC0

// REG_CONTROL fields.
#define CONTROL_HSP 0x01        // halt on SCSI parity error
#define CONTROL_HA 0x02         // halt on ATN
#define CONTROL_IDI 0x04        // intermediate disconnect interrupt
#define CONTROL_EDI 0x08        // ending disconnect interrupt
#define CONTROL_DMA_BURST 0x20  // DMA mode field (bits 7-5): burst
#define CONTROL_DMA_MODE 0x80   // DMA mode field: single-byte DMA
#define CONTROL_WORKING (CONTROL_HSP | CONTROL_HA | CONTROL_IDI | CONTROL_EDI)

// REG_TARGET_LUN fields.
#define TARGET_LUN_MASK 0x07

// REG_DESTINATION_ID fields.
#define DESTINATION_ID_MASK 0x07
#define DESTINATION_DPD 0x40  // data phase direction: in

// REG_SOURCE_ID fields.
#define SOURCE_ID_ER 0x80  // enable reselection
#define SOURCE_ID_MASK 0x07
#define SOURCE_ID_UPPER 0xF0  // the bits a state restore writes back

// REG_SYNC fields.
#define SYNC_FAST 0x80
#define SYNC_PERIOD_SHIFT 4
#define SYNC_PERIOD_MASK 0x70
#define SYNC_OFFSET_MASK 0x0F
#define SYNC_ASYNCHRONOUS 0x20  // period code 2, offset 0

// Controller commands.
#define CMD_RESET 0x00
#define CMD_ABORT 0x01
#define CMD_ASSERT_ATN 0x02
#define CMD_NEGATE_ACK 0x03
#define CMD_DISCONNECT 0x04
#define CMD_SELECT_ATN 0x06
#define CMD_SELECT_ATN_TRANSFER 0x08
#define CMD_SELECT_TRANSFER 0x09
#define CMD_TRANSFER_INFO 0x20
#define CMD_NO_COUNT (-1)  // HbaIssueCommand count: leave the transfer count as it is

// Command-phase values used by the driver.
#define PHASE_NONE 0x00                      // no Select-and-Transfer step reached
#define PHASE_DISCONNECTED_IN_SEQUENCE 0x43  // the target left after DISCONNECT inside the sequence
#define PHASE_RESELECTED_RESUME 0x45         // resume a reselected Select-and-Transfer
#define PHASE_RESUME_STATUS 0x46             // resume to take the status byte
#define PHASE_STATUS_RECEIVED 0x50           // the status byte is in REG_TARGET_LUN
#define PHASE_COMPLETE 0x60

// Chip status (REG_SCSI_STATUS): group in bits 7-4, bit 3 says bits 2-0 hold the bus phase.
#define STATUS_GROUP_MASK 0xF0
#define STATUS_GROUP_RESET 0x00
#define STATUS_GROUP_SUCCESS 0x10
#define STATUS_GROUP_PAUSED 0x20
#define STATUS_GROUP_TERMINATED 0x40
#define STATUS_GROUP_SERVICE 0x80
#define STATUS_PHASE_VALID 0x08
#define STATUS_PHASE_MASK 0x07
#define STATUS_RESET 0x00
#define STATUS_RESET_EAF 0x01
#define STATUS_RESET_CODE_MASK 0x07  // a Reset command completes with 0x00 or 0x01 in these bits

// Chip status codes the request engine handles one by one (the others by their group).
#define STATUS_CODE_MASK 0x07
#define STATUS_SELECT_COMPLETE 0x11          // selection completed, target connected
#define STATUS_SEQUENCE_COMPLETE 0x16        // Select-and-Transfer done, the target left the bus
#define STATUS_TRANSFER_DONE 0x18            // | bus phase: a transfer command completed
#define STATUS_MESSAGE_PAUSED 0x20           // Transfer Info paused after a message-in byte
#define STATUS_SAVE_DATA_POINTER 0x21        // SAVE DATA POINTER inside the sequence
#define STATUS_SELECT_ABORTED 0x22           // selection aborted
#define STATUS_SELECT_ABORTED_BUS_FREE 0x25  // selection aborted, bus free
#define STATUS_RESELECTED_IN_SEQUENCE 0x27   // sequence ended by a reselection, IDENTIFY in 0x0F
#define STATUS_INVALID_COMMAND 0x40
#define STATUS_UNEXPECTED_DISCONNECT 0x41
#define STATUS_SELECTION_TIMEOUT 0x42
#define STATUS_PARITY_ERROR 0x43
#define STATUS_PARITY_ERROR_ATN 0x44  // parity error, the controller has asserted ATN
#define STATUS_TERMINATED_45 0x45
#define STATUS_RESELECTED_IN_SEQUENCE_NO_ID \
    0x46  // sequence ended by a reselection, IDENTIFY to come
#define STATUS_PARITY_ERROR_SEQUENCE 0x47
#define STATUS_STOPPED_ON_PHASE 0x48     // | bus phase: stopped by a phase change
#define STATUS_RESELECTED 0x80           // reselected, IDENTIFY to come
#define STATUS_RESELECTED_IDENTIFY 0x81  // reselected, IDENTIFY in REG_DATA
#define STATUS_DISCONNECTED 0x85         // the bus is free

// Bus phases (MSG, C/D, I/O).
#define BUS_PHASE_DATA_OUT 0
#define BUS_PHASE_DATA_IN 1
#define BUS_PHASE_COMMAND 2
#define BUS_PHASE_STATUS 3
#define BUS_PHASE_MESSAGE_OUT 6
#define BUS_PHASE_MESSAGE_IN 7

// Board registers above the controller's map.
#define REG_BOARD_CONTROL 0x30
#define REG_WINDOW_SELECT 0x31
#define REG_ECHO 0x32
#define REG_BOARD_CONFIG 0x33
#define REG_FIFO_STATUS 0x37
#define REG_BURST_CONTROL 0x44
#define REG_ID_MAP 0x50       // 0x50 + logical target: its bus id
#define REG_TARGET_SYNC 0x60  // 0x60 + bus id: that target's synchronous value

// REG_BOARD_CONTROL fields.
#define BOARD_CONTROL_RESET 0x02     // controller hardware reset, held while set
#define BOARD_CONTROL_ENABLE 0x04    // board interrupt enable
#define BOARD_CONTROL_FIRMWARE 0x08  // firmware has loaded the id map and path select
#define BOARD_CONTROL_LATCH 0x40     // window latch, pulsed by the setup
#define BOARD_CONTROL_KEEP 0x0F      // bits kept by the setup's last write

// REG_WINDOW_SELECT fields.
#define WINDOW_SELECT_MASK 0x07
#define WINDOW_BASE 0xD0000u
#define WINDOW_STRIDE 0x2000u
#define WINDOW_SIZE 8192u
#define WINDOW_DATA_OFFSET 4096u
#define WINDOW_PROBE_OFFSET 4094u      // two bytes read around the latch pulse
#define WINDOW_BASE_WORD_OFFSET 4098u  // the I/O base, while no window transfer runs

// REG_ECHO: reads the complement of the value written.
#define ECHO_PATTERN 0x55
#define ECHO_ANSWER 0xAA

// REG_BOARD_CONFIG fields.
#define BOARD_CONFIG_OWN_ID 0x07
#define BOARD_CONFIG_IRQ_SHIFT 3
#define BOARD_CONFIG_IRQ_MASK 0x07

// REG_FIFO_STATUS fields.
#define FIFO_DATA_READY 0x01
#define FIFO_STOPPED 0x02
#define FIFO_PATH_FIFO 0x04      // FIFO-port path
#define FIFO_PATH_WINDOW 0x18    // both bits: window path
#define FIFO_NO_HARDWARE 0xFF    // a plain board answers 0xFF
#define FIFO_SELECT_WINDOW 0x38  // written by the setup for the window path
#define FIFO_SELECT_FIFO 0x24    // written by the setup for the FIFO-port path
#define FIFO_KEEP_ON_INIT 0x1F   // initialization clears bits 7-5
#define FIFO_KEEP_AROUND 0x3C    // kept around a FIFO-port transfer in window mode
#define FIFO_RESTORE_MASK 0x38
#define FIFO_BLOCK_BYTES 256  // bytes the FIFO holds ready at one data-ready indication

// REG_BURST_CONTROL values.
#define BURST_IDLE 0
#define BURST_READ 1
#define BURST_WRITE 3

// Firmware data that locates the board.
#define FIRMWARE_DATA_AREA 0x400u
#define FIRMWARE_DATA_LENGTH 3072u
#define FIRMWARE_BLOCK_OFFSET 0xBCu  // byte at 0x4BC: block number in 4 KB units
#define FIRMWARE_BLOCK_UNIT 4096u
#define FIRMWARE_BLOCK_LENGTH 8192u
#define FIRMWARE_PORT_OFFSET 0x1800u  // 16-bit I/O base inside the block

// The machine's I/O space: 16-bit port numbers.
#define IO_SPACE_SIZE 0x10000u

#endif  // CBUS_DRIVER_CONTROLLER_HBA_REGS_H
