// How the bus sequence advances: REQs, bus free, reselection, and Select-and-Transfer's
// walk through its command phases.
#include "platform/sbic/sbic.h"

namespace cbus::sbic {

using scsi::Ack;
using scsi::Phase;

void Sbic::busRequest() {
    onRequest();
}

void Sbic::onRequest() {
    if (!link_.connected || !bus_.req() || mode_.resetHeld) {
        return;
    }
    const Phase ph = bus_.phase();
    if (link_.awaitingIdentify) {
        link_.awaitingIdentify = false;
        if (ph == Phase::MessageIn) {
            std::uint8_t b = 0;
            bus_.receive(std::span(&b, 1), Ack::Hold);
            regs_.data = b;
            dataValidWithoutDbr_ = true;
            link_.reqReported = true;
            interrupt(status::ReselectedAdvanced);
        } else {
            // No IDENTIFY came: report the reselection as such, then the phase.
            interrupt(status::Reselected);
            link_.reqReported = true;
            interrupt(status::Request | static_cast<std::uint8_t>(ph));
        }
        return;
    }
    switch (running_) {
        case Running::SelectAndTransfer:
            if (wait_ == Wait::Req) {
                stRequest(ph);
            }
            return;
        case Running::TransferInfo:
        case Running::TransferPad:
            if (wait_ == Wait::Req) {
                transferRequest(ph);
            }
            return;
        case Running::None:
            if (!link_.reqReported) {
                link_.reqReported = true;
                interrupt(status::Request | static_cast<std::uint8_t>(ph));
            }
            return;
        default:
            return;
    }
}

void Sbic::terminate(std::uint8_t code) {
    machine_.scheduler().cancel(xfer_.blockEnd);
    if (xfer_.started && !xfer_.done) {
        xfer_.halted = true;
    }
    aux_.dbr = false;
    endCommand();
    link_.reqReported = true;  // a REQ reported with the code is not reported again
    interrupt(code);
}

std::optional<std::uint8_t> Sbic::takeChecked(Ack ack) {
    const bool ok = bus_.dataParityOk();
    std::uint8_t b = 0;
    if (!ok) {
        aux_.pe = true;
        if (regs_.control & control::Hsp) {
            bus_.receive(std::span(&b, 1), Ack::Hold);
            regs_.data = b;
            terminate(bus_.atn() ? status::ParityErrorAtn : status::ParityError);
            return std::nullopt;
        }
    }
    bus_.receive(std::span(&b, 1), ack);
    link_.reqReported = false;
    return b;
}

std::size_t Sbic::cdbLength() const {
    switch (regs_.cdb[0] >> 5) {
        case 0:
            return 6;
        case 1:
            return 10;
        case 5:
            return 12;
        default:
            if (mode_.advanced) {
                const std::size_t n = regs_.ownId & ownid::CdbSizeMask;
                return n == 0 ? 6 : std::min<std::size_t>(n, 12);
            }
            return 6;
    }
}

void Sbic::sendCdbByte() {
    const std::uint8_t b = regs_.cdb[cdbSent_];
    bus_.send(std::span(&b, 1), Ack::Release);
    link_.reqReported = false;
    ++cdbSent_;
    regs_.commandPhase = static_cast<std::uint8_t>(phase::CommandStarted + cdbSent_);
    wait_ = Wait::Req;
}

void Sbic::stRequest(Phase ph) {
    const std::uint8_t cp = regs_.commandPhase;
    const std::uint8_t cdbDone = static_cast<std::uint8_t>(phase::CommandStarted + cdbLength());
    if (link_.wrongNexus) {
        // Advanced mode: another nexus reselected; take its IDENTIFY and hand over.
        link_.wrongNexus = false;
        if (ph != Phase::MessageIn) {
            unexpectedPhase(ph);
            return;
        }
        std::uint8_t b = 0;
        bus_.receive(std::span(&b, 1), Ack::Hold);
        regs_.targetLun = b & targetlun::LunMask;
        terminate(status::ReselectedWrongNexus);
        return;
    }
    if (cp == phase::Selected && selectWithAtn_) {
        if (ph != Phase::MessageOut) {
            unexpectedPhase(ph);
            return;
        }
        const std::uint8_t identify =
            static_cast<std::uint8_t>(0x80 | ((regs_.sourceId & srcid::Er) ? 0x40 : 0) |
                                      (regs_.targetLun & targetlun::LunMask));
        bus_.setAtn(false);  // dropped for the IDENTIFY, the only message byte sent
        bus_.send(std::span(&identify, 1), Ack::Release);
        link_.reqReported = false;
        regs_.commandPhase = phase::IdentifySent;
        wait_ = Wait::Req;
        return;
    }
    if (cp == phase::Selected || cp == phase::IdentifySent) {
        if (ph != Phase::Command) {
            unexpectedPhase(ph);
            return;
        }
        cdbSent_ = 0;
        regs_.commandPhase = phase::CommandStarted;
        sendCdbByte();
        return;
    }
    if (cp >= phase::CommandStarted && cp < cdbDone) {
        if (ph != Phase::Command) {
            unexpectedPhase(ph);
            return;
        }
        cdbSent_ = cp - phase::CommandStarted;
        sendCdbByte();
        return;
    }
    if (cp == cdbDone || cp == phase::SaveDataPointer || cp == phase::IdentifyReceived ||
        cp == phase::DataDone) {
        stDataStatusOrMessage(ph);
        return;
    }
    if (cp == phase::Reselected) {
        identifyAfterReselection();
        return;
    }
    if (cp == phase::StatusReceived) {
        if (ph != Phase::MessageIn) {
            unexpectedPhase(ph);
            return;
        }
        auto b = takeChecked(Ack::Hold);
        if (!b) {
            return;
        }
        if (*b != scsi::msg::CommandComplete) {
            regs_.data = *b;
            unexpectedPhase(ph);  // terminated with the message byte in DATA, ACK held
            return;
        }
        regs_.commandPhase = phase::CommandComplete;
        bus_.negateAck();
        if (regs_.control & control::Edi) {
            wait_ = Wait::BusFree;
        } else {
            endCommand();
            link_.reqReported = false;
            interrupt(status::SelectTransferDone);
        }
        return;
    }
    unexpectedPhase(ph);
}

void Sbic::stDataStatusOrMessage(Phase ph) {
    const std::uint8_t cp = regs_.commandPhase;
    switch (ph) {
        case Phase::DataIn:
        case Phase::DataOut: {
            if (cp == phase::DataDone || (regs_.count == 0 && !xfer_.started)) {
                unexpectedPhase(ph);
                return;
            }
            const bool dpdIn = (regs_.destinationId & destid::Dpd) != 0;
            if (mode_.advanced && dpdIn != (ph == Phase::DataIn)) {
                unexpectedPhase(ph);
                return;
            }
            transferRequest(ph);
            return;
        }
        case Phase::Status: {
            if (regs_.count > 0 && cp != phase::DataDone) {
                unexpectedPhase(ph);  // status before the data count was used up
                return;
            }
            regs_.commandPhase = phase::StatusStarted;
            auto b = takeChecked(Ack::Release);
            if (!b) {
                return;
            }
            regs_.targetLun = *b;
            regs_.commandPhase = phase::StatusReceived;
            wait_ = Wait::Req;
            return;
        }
        case Phase::MessageIn: {
            auto b = takeChecked(Ack::Hold);
            if (b) {
                stMessageIn(*b);
            }
            return;
        }
        default:
            unexpectedPhase(ph);
            return;
    }
}

void Sbic::stMessageIn(std::uint8_t byte) {
    switch (byte) {
        case scsi::msg::SaveDataPointer:
            regs_.commandPhase = phase::SaveDataPointer;
            endCommand();
            link_.reqReported = true;
            interrupt(status::SaveDataPointer);  // ACK stays asserted
            return;
        case scsi::msg::Disconnect:
            regs_.commandPhase = phase::DisconnectReceived;
            bus_.negateAck();
            wait_ = Wait::BusFree;
            return;
        default:
            regs_.data = byte;
            unexpectedPhase(Phase::MessageIn);
            return;
    }
}

void Sbic::identifyAfterReselection() {
    if (bus_.phase() != Phase::MessageIn) {
        unexpectedPhase(bus_.phase());
        return;
    }
    auto b = takeChecked(Ack::Hold);
    if (!b) {
        return;
    }
    if ((*b & targetlun::LunMask) == (regs_.targetLun & targetlun::LunMask)) {
        regs_.commandPhase = phase::IdentifyReceived;
        bus_.negateAck();
        wait_ = Wait::Req;
        return;
    }
    if (mode_.advanced) {
        regs_.targetLun = *b & targetlun::LunMask;
        terminate(status::ReselectedWrongNexus);
    } else {
        regs_.data = *b;
        unexpectedPhase(Phase::MessageIn);
    }
}

void Sbic::busFree() {
    machine_.scheduler().cancel(xfer_.blockEnd);
    if (wait_ == Wait::Block) {
        wait_ = Wait::Nothing;
    }
    const bool wasConnected = link_.connected;
    link_.connected = false;
    link_.awaitingIdentify = false;
    link_.reqReported = false;
    aux_.dbr = false;
    switch (running_) {
        case Running::SelectAndTransfer:
            stBusFree();
            return;
        case Running::TransferInfo:
        case Running::TransferPad:
            terminate(status::UnexpectedDisconnect);
            return;
        case Running::None:
            if (wasConnected) {
                interrupt(status::Disconnected);
            }
            return;
        default:
            return;
    }
}

void Sbic::stBusFree() {
    const std::uint8_t cp = regs_.commandPhase;
    if (cp == phase::DisconnectReceived) {
        regs_.commandPhase = phase::Disconnected;
        if (regs_.control & control::Idi) {
            endCommand();
            interrupt(status::Disconnected);
        } else {
            wait_ = Wait::Reselection;  // the chip waits for the target itself
        }
        return;
    }
    if (cp == phase::CommandComplete) {
        endCommand();
        interrupt(status::SelectTransferDone);
        return;
    }
    terminate(status::UnexpectedDisconnect);
}

void Sbic::busReselected(std::uint8_t targetId, bool idValid) {
    if (mode_.resetHeld || (regs_.sourceId & srcid::Er) == 0) {
        trace("reselection-ignored", {targetId});
        return;
    }
    const bool arbitrating = wait_ == Wait::Arbitration && (running_ == Running::Select ||
                                                            running_ == Running::SelectAndTransfer);
    if (aux_.cip && isSelection(regs_.command & cmd::Mask)) {
        // Reselected while a selection was still being decoded: dropped as in arbitration.
        machine_.scheduler().cancel(decodeEvent_);
        decodeEvent_ = {};
        aux_.cip = false;
        dropSelection(regs_.command);
    }
    if (arbitrating) {
        // Reselected before our arbitration was won: the select is dropped.
        bus_.cancelArbitration();
        if (running_ == Running::SelectAndTransfer) {
            regs_.commandPhase = phase::NotSelected;
        }
        endCommand();
    }
    const bool waitingInCommand =
        running_ == Running::SelectAndTransfer && wait_ == Wait::Reselection;
    if (running_ != Running::None && !waitingInCommand) {
        trace("reselection-ignored", {targetId});
        return;
    }
    bus_.acceptReselection();
    link_.connected = true;
    link_.target = targetId;
    link_.reqReported = false;
    regs_.sourceId = static_cast<std::uint8_t>((regs_.sourceId & 0xF0) |
                                               (idValid ? (srcid::Siv | targetId) : 0));
    if (waitingInCommand) {
        if (targetId == (regs_.destinationId & destid::IdMask)) {
            regs_.commandPhase = phase::Reselected;
            wait_ = Wait::Req;
        } else if (mode_.advanced) {
            link_.wrongNexus = true;
            wait_ = Wait::Req;
        } else {
            terminate(status::ReselectedWrongTarget);
        }
        return;
    }
    if (mode_.advanced) {
        link_.awaitingIdentify = true;
    } else {
        link_.reqReported = false;
        interrupt(status::Reselected);
    }
}

void Sbic::busReset() {
    trace("bus-reset");
    machine_.scheduler().cancel(xfer_.blockEnd);
    if (running_ != Running::None) {
        xfer_.halted = xfer_.started;
        endCommand();
    }
    link_ = {};
    aux_.dbr = false;
    // A reset from the bus clears the chip as its Reset command does, keeping the settings in
    // effect (OWN ID may hold a CDB size by now), and is reported with the reset status, so
    // that the host learns of it. A reset the board drives while it holds the chip in hardware
    // reset needs no report.
    if (!mode_.resetHeld) {
        softwareReset(false);
    }
}

}  // namespace cbus::sbic
