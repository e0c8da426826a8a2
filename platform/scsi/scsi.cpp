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

}  // namespace cbus::scsi
