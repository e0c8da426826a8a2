#pragma once

// SCSI-2 vocabulary shared by the bus and the targets: phases, messages, status bytes,
// sense keys and operation codes.

#include <cstdint>
#include <vector>

namespace cbus::scsi {

// Information-transfer phases, numbered by the MSG, C/D and I/O lines (MSG = 4, C/D = 2, I/O = 1).
enum class Phase : std::uint8_t {
    DataOut = 0,
    DataIn = 1,
    Command = 2,
    Status = 3,
    MessageOut = 6,
    MessageIn = 7,
};

// Target to initiator (I/O asserted).
constexpr bool isInbound(Phase p) {
    return (static_cast<std::uint8_t>(p) & 1) != 0;
}
constexpr bool isDataPhase(Phase p) {
    return p == Phase::DataOut || p == Phase::DataIn;
}
const char* phaseName(Phase p);

namespace msg {
inline constexpr std::uint8_t CommandComplete = 0x00;
inline constexpr std::uint8_t Extended = 0x01;
inline constexpr std::uint8_t SaveDataPointer = 0x02;
inline constexpr std::uint8_t RestorePointers = 0x03;
inline constexpr std::uint8_t Disconnect = 0x04;
inline constexpr std::uint8_t InitiatorDetectedError = 0x05;
inline constexpr std::uint8_t Abort = 0x06;
inline constexpr std::uint8_t MessageReject = 0x07;
inline constexpr std::uint8_t NoOperation = 0x08;
inline constexpr std::uint8_t MessageParityError = 0x09;
inline constexpr std::uint8_t LinkedCommandComplete = 0x0A;
inline constexpr std::uint8_t LinkedCommandCompleteWithFlag = 0x0B;
inline constexpr std::uint8_t BusDeviceReset = 0x0C;
inline constexpr std::uint8_t InitiateRecovery = 0x0F;
inline constexpr std::uint8_t Identify = 0x80;  // | 0x40 disconnect privilege | LUN
inline constexpr std::uint8_t IdentifyDiscPriv = 0x40;
// Extended message codes (third byte of 0x01 len code ...).
inline constexpr std::uint8_t ExtModifyDataPointer = 0x00;
inline constexpr std::uint8_t ExtSdtr = 0x01;
inline constexpr std::uint8_t ExtWdtr = 0x03;
}  // namespace msg

namespace status {
inline constexpr std::uint8_t Good = 0x00;
inline constexpr std::uint8_t CheckCondition = 0x02;
inline constexpr std::uint8_t ConditionMet = 0x04;
inline constexpr std::uint8_t Busy = 0x08;
inline constexpr std::uint8_t Intermediate = 0x10;
inline constexpr std::uint8_t ReservationConflict = 0x18;
inline constexpr std::uint8_t CommandTerminated = 0x22;
inline constexpr std::uint8_t QueueFull = 0x28;
}  // namespace status

namespace sense {
inline constexpr std::uint8_t NoSense = 0x0;
inline constexpr std::uint8_t NotReady = 0x2;
inline constexpr std::uint8_t MediumError = 0x3;
inline constexpr std::uint8_t HardwareError = 0x4;
inline constexpr std::uint8_t IllegalRequest = 0x5;
inline constexpr std::uint8_t UnitAttention = 0x6;
inline constexpr std::uint8_t DataProtect = 0x7;
inline constexpr std::uint8_t BlankCheck = 0x8;
inline constexpr std::uint8_t AbortedCommand = 0xB;
}  // namespace sense

// Sense data: key with additional sense code and qualifier.
struct Sense {
    std::uint8_t key = sense::NoSense;
    std::uint8_t asc = 0;
    std::uint8_t ascq = 0;
    bool operator==(const Sense&) const = default;
};

inline constexpr Sense kInvalidOpcode{sense::IllegalRequest, 0x20, 0x00};
inline constexpr Sense kInvalidFieldInCdb{sense::IllegalRequest, 0x24, 0x00};
inline constexpr Sense kLbaOutOfRange{sense::IllegalRequest, 0x21, 0x00};
inline constexpr Sense kLunNotSupported{sense::IllegalRequest, 0x25, 0x00};
inline constexpr Sense kScsiParityError{sense::AbortedCommand, 0x47, 0x00};
inline constexpr Sense kInitiatorDetectedError{sense::AbortedCommand, 0x48, 0x00};
inline constexpr Sense kPowerOnReset{sense::UnitAttention, 0x29, 0x00};
inline constexpr Sense kWriteProtected{sense::DataProtect, 0x27, 0x00};

namespace op {
inline constexpr std::uint8_t TestUnitReady = 0x00;
inline constexpr std::uint8_t RezeroUnit = 0x01;
inline constexpr std::uint8_t RequestSense = 0x03;
inline constexpr std::uint8_t FormatUnit = 0x04;
inline constexpr std::uint8_t Read6 = 0x08;
inline constexpr std::uint8_t Write6 = 0x0A;
inline constexpr std::uint8_t Seek6 = 0x0B;
inline constexpr std::uint8_t Inquiry = 0x12;
inline constexpr std::uint8_t ModeSelect6 = 0x15;
inline constexpr std::uint8_t Reserve = 0x16;
inline constexpr std::uint8_t Release = 0x17;
inline constexpr std::uint8_t ModeSense6 = 0x1A;
inline constexpr std::uint8_t StartStopUnit = 0x1B;
inline constexpr std::uint8_t ReceiveDiagnostic = 0x1C;
inline constexpr std::uint8_t SendDiagnostic = 0x1D;
inline constexpr std::uint8_t PreventAllowRemoval = 0x1E;
inline constexpr std::uint8_t ReadCapacity = 0x25;
inline constexpr std::uint8_t Read10 = 0x28;
inline constexpr std::uint8_t Write10 = 0x2A;
inline constexpr std::uint8_t Seek10 = 0x2B;
inline constexpr std::uint8_t WriteAndVerify10 = 0x2E;
inline constexpr std::uint8_t Verify10 = 0x2F;
inline constexpr std::uint8_t SynchronizeCache = 0x35;
inline constexpr std::uint8_t ReadToc = 0x43;
inline constexpr std::uint8_t ModeSense10 = 0x5A;
inline constexpr std::uint8_t Read12 = 0xA8;
inline constexpr std::uint8_t Write12 = 0xAA;
// Stream devices (printer, processor, scanner, communications).
inline constexpr std::uint8_t Print = 0x0A;
inline constexpr std::uint8_t Send = 0x0A;
inline constexpr std::uint8_t Receive = 0x08;
inline constexpr std::uint8_t GetMessage = 0x08;
inline constexpr std::uint8_t Scan = 0x1B;
inline constexpr std::uint8_t SetWindow = 0x24;
inline constexpr std::uint8_t ReadScanner = 0x28;
}  // namespace op

// A ten-byte CDB of the READ(10)/WRITE(10) shape: operation code, block address, block count.
std::vector<std::uint8_t> cdb10(std::uint8_t opcode, std::uint32_t lba, std::uint16_t blocks);

// Length of a CDB as a target decodes it from its operation code's group.
constexpr std::size_t cdbLength(std::uint8_t opcode) {
    switch (opcode >> 5) {
        case 0:
            return 6;
        case 1:
        case 2:
            return 10;
        case 4:
            return 16;
        case 5:
            return 12;
        default:
            return 6;
    }
}

// Peripheral device types (INQUIRY byte 0, bits 4-0).
enum class DeviceType : std::uint8_t {
    DirectAccess = 0x00,
    Sequential = 0x01,
    Printer = 0x02,
    Processor = 0x03,
    WriteOnce = 0x04,
    CdRom = 0x05,
    Scanner = 0x06,
    Optical = 0x07,
    MediumChanger = 0x08,
    Communications = 0x09,
};

}  // namespace cbus::scsi
