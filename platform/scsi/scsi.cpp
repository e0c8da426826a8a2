#include "platform/scsi/scsi.h"

namespace cbus::scsi {

const char* phaseName(Phase p) {
    switch (p) {
        case Phase::DataOut:
            return "DATA OUT";
        case Phase::DataIn:
            return "DATA IN";
        case Phase::Command:
            return "COMMAND";
        case Phase::Status:
            return "STATUS";
        case Phase::MessageOut:
            return "MESSAGE OUT";
        case Phase::MessageIn:
            return "MESSAGE IN";
    }
    return "?";
}

std::vector<std::uint8_t> cdb10(std::uint8_t opcode, std::uint32_t lba, std::uint16_t blocks) {
    return {opcode,
            0,
            static_cast<std::uint8_t>(lba >> 24),
            static_cast<std::uint8_t>(lba >> 16),
            static_cast<std::uint8_t>(lba >> 8),
            static_cast<std::uint8_t>(lba),
            0,
            static_cast<std::uint8_t>(blocks >> 8),
            static_cast<std::uint8_t>(blocks),
            0};
}

}  // namespace cbus::scsi
