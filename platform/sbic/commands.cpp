// What each command does when the host writes it.
#include "platform/sbic/sbic.h"

namespace cbus::sbic {

namespace {
bool isLevelTwo(std::uint8_t code) {
    switch (code) {
        case cmd::Reset:
        case cmd::Abort:
        case cmd::AssertAtn:
        case cmd::NegateAck:
        case cmd::Disconnect:
        case cmd::SetIdi:
            return false;
        default:
            return true;
    }
}
}  // namespace

bool Sbic::isSelection(std::uint8_t code) {
    return code == cmd::SelectAtn || code == cmd::Select || code == cmd::SelectAtnTransfer ||
           code == cmd::SelectTransfer;
}

void Sbic::dropSelection(std::uint8_t value) {
    const std::uint8_t code = value & cmd::Mask;
    if (code == cmd::SelectAtnTransfer || code == cmd::SelectTransfer) {
        regs_.commandPhase = phase::NotSelected;
    }
    aux_.bsy = false;
    trace("select-dropped", {value});
}

void Sbic::commandWritten(std::uint8_t value) {
    const std::uint8_t code = value & cmd::Mask;
    trace("command", {value});
    if (code != cmd::Reset) {
        if (aux_.cip) {
            contract("COMMAND written while CIP", {value});
            aux_.lci = true;
            return;
        }
        if (aux_.intr) {
            // The pending interrupt wins: the command is dropped. A selection that meets a
            // reselection this way is the race every driver has to live with (it can check
            // for INT only before it starts writing the selection's registers), not a fault.
            const std::uint8_t pending = regs_.scsiStatus;
            const bool reselected =
                pending == status::Reselected || pending == status::ReselectedAdvanced ||
                pending == status::ReselectedWrongNexus || pending == status::ReselectedWrongTarget;
            if (isSelection(code) && reselected) {
                trace("late-select", {value, regs_.scsiStatus});
            } else {
                contract("COMMAND written while INT", {value, regs_.scsiStatus});
            }
            aux_.lci = true;
            return;
        }
        if (isLevelTwo(code) && aux_.bsy) {
            contract("Level II command while BSY", {value});
            aux_.lci = true;
            return;
        }
    }
    regs_.command = value;
    ++commandSerial_;
    aux_.lci = false;
    aux_.pe = false;
    aux_.cip = true;
    if (isLevelTwo(code)) {
        aux_.bsy = true;
    }
    dataValidWithoutDbr_ = false;
    const auto gen = generation_;
    machine_.scheduler().cancel(decodeEvent_);
    decodeEvent_ = machine_.scheduler().schedule(settings_.cipNs, [this, gen, value] {
        decodeEvent_ = {};
        if (gen != generation_) {
            return;
        }
        aux_.cip = false;
        execute(value);
    });
}

void Sbic::endCommand() {
    running_ = Running::None;
    wait_ = Wait::Nothing;
    aux_.bsy = false;
    machine_.scheduler().cancel(timer_);
}

void Sbic::execute(std::uint8_t value) {
    const std::uint8_t code = value & cmd::Mask;
    const bool sbt = (value & cmd::Sbt) != 0;
    if (isSelection(code) && link_.connected && (aux_.intr || link_.awaitingIdentify)) {
        // Reselected before the host could know (its interrupt still unread, or the IDENTIFY
        // still to come): the host resumes a nexus only after it has seen the reselection.
        dropSelection(value);
        return;
    }
    switch (code) {
        case cmd::Reset:
            softwareReset();
            return;
        case cmd::Abort:
            abort();
            return;
        case cmd::AssertAtn:
            if (link_.connected) {
                bus_.setAtn(true);
            }
            return;
        case cmd::NegateAck:
            if (link_.connected && bus_.ackHeld()) {
                link_.reqReported = false;
                bus_.negateAck();
            }
            return;
        case cmd::Disconnect:
            disconnectCommand();
            return;
        case cmd::SetIdi:
            regs_.control |= control::Idi;
            return;
        case cmd::SelectAtn:
        case cmd::Select:
            if (link_.connected) {
                terminate(status::InvalidCommand);
                return;
            }
            startSelect(code == cmd::SelectAtn, false);
            return;
        case cmd::SelectAtnTransfer:
        case cmd::SelectTransfer:
            selectWithAtn_ = code == cmd::SelectAtnTransfer;
            if (link_.connected) {
                resumeSelectAndTransfer();
            } else {
                startSelect(selectWithAtn_, true);
            }
            return;
        case cmd::TransferInfo:
        case cmd::TransferPad:
            if (!link_.connected) {
                terminate(status::InvalidCommand);
                return;
            }
            startTransferInfo(sbt, code == cmd::TransferPad);
            return;
        case cmd::TranslateAddress:
            translateAddress();
            return;
        case cmd::Reselect:
        case cmd::ReselectReceive:
        case cmd::ReselectSend:
            if (link_.connected) {
                terminate(status::InvalidCommand);
                return;
            }
            // Target role: there is no other initiator on this bus to answer the reselection.
            running_ = Running::TargetRole;
            if (const std::uint64_t t = selectionTimeoutNs()) {
                const auto gen = generation_;
                timer_ = machine_.scheduler().schedule(t + settings_.selectionAbortNs, [this, gen] {
                    if (gen == generation_) {
                        terminate(status::Timeout);
                    }
                });
            }
            return;
        case cmd::WaitSelectReceive:
            // No other initiator will ever select us: the command waits until Abort or Reset.
            running_ = Running::TargetRole;
            return;
        default:
            // Target-mode commands outside the target state, and undefined codes.
            terminate(status::InvalidCommand);
            return;
    }
}

std::uint64_t Sbic::selectionTimeoutNs() const {
    // value x 80 / Fclk[MHz] ms, Fclk being the raw input clock
    return std::uint64_t{regs_.timeout} * 80'000 * 1'000'000 / settings_.clockKHz;
}

void Sbic::startSelect(bool atn, bool transfer) {
    running_ = transfer ? Running::SelectAndTransfer : Running::Select;
    selectWithAtn_ = atn;
    if (transfer) {
        regs_.commandPhase = phase::NotSelected;
        xfer_ = {};
        cdbSent_ = 0;
    }
    wait_ = Wait::Arbitration;
    bus_.arbitrate();
}

void Sbic::busArbitrationWon() {
    if (wait_ != Wait::Arbitration) {
        bus_.abandonSelection();
        return;
    }
    const std::uint8_t target = regs_.destinationId & destid::IdMask;
    wait_ = Wait::SelectionBsy;
    link_.target = target;
    bus_.select(target, selectWithAtn_);
    if (const std::uint64_t t = selectionTimeoutNs()) {
        const auto gen = generation_;
        timer_ = machine_.scheduler().schedule(t, [this, gen] {
            timer_ = {};
            if (gen == generation_) {
                selectionTimedOut();
            }
        });
    }
}

void Sbic::selectionTimedOut() {
    if (wait_ != Wait::SelectionBsy) {
        return;
    }
    // Ids off the bus, SEL held for the abort window, then everything released.
    wait_ = Wait::SelectionAbort;
    const auto gen = generation_;
    timer_ = machine_.scheduler().schedule(settings_.selectionAbortNs, [this, gen] {
        timer_ = {};
        if (gen != generation_) {
            return;
        }
        bus_.abandonSelection();
        bus_.setAtn(false);
        if (running_ == Running::SelectAndTransfer) {
            regs_.commandPhase = phase::NotSelected;
        }
        endCommand();
        interrupt(status::Timeout);
    });
}

void Sbic::busSelected() {
    machine_.scheduler().cancel(timer_);
    link_.connected = true;
    link_.reqReported = false;
    if (running_ == Running::Select) {
        endCommand();
        interrupt(status::SelectDone);
        return;
    }
    regs_.commandPhase = phase::Selected;
    wait_ = Wait::Req;
}

void Sbic::abort() {
    switch (wait_) {
        case Wait::Arbitration:
            bus_.cancelArbitration();
            endCommand();
            interrupt(status::SelectAborted);
            return;
        case Wait::SelectionBsy: {
            machine_.scheduler().cancel(timer_);
            wait_ = Wait::SelectionAbort;
            const auto gen = generation_;
            timer_ = machine_.scheduler().schedule(settings_.selectionAbortNs, [this, gen] {
                if (gen != generation_) {
                    return;
                }
                bus_.abandonSelection();
                endCommand();
                interrupt(status::SelectAborted);
            });
            return;
        }
        default:
            break;
    }
    if (running_ == Running::TransferInfo || running_ == Running::TransferPad ||
        running_ == Running::SelectAndTransfer) {
        catchUp();
        machine_.scheduler().cancel(xfer_.blockEnd);
        if (xfer_.blockLength > xfer_.blockDone) {
            xfer_.blockLength = xfer_.blockDone;
        }
        xfer_.halted = true;
        aux_.dbr = false;
        endCommand();
        interrupt(status::Aborted | static_cast<std::uint8_t>(bus_.phase()));
        link_.reqReported = true;
        return;
    }
    if (running_ == Running::TargetRole) {
        endCommand();
        interrupt(status::SelectAborted);
    }
}

void Sbic::disconnectCommand() {
    machine_.scheduler().cancel(xfer_.blockEnd);
    if (wait_ == Wait::Arbitration) {
        bus_.cancelArbitration();
    }
    bus_.releaseAll();
    link_ = {};
    xfer_.halted = xfer_.started;
    aux_.dbr = false;
    endCommand();
}

void Sbic::translateAddress() {
    const std::uint32_t spt = regs_.cdb[0];
    const std::uint32_t heads = regs_.cdb[1];
    const std::uint32_t cylinders = (std::uint32_t{regs_.cdb[2]} << 8) | regs_.cdb[3];
    const std::uint32_t la = (std::uint32_t{regs_.cdb[4]} << 24) |
                             (std::uint32_t{regs_.cdb[5]} << 16) |
                             (std::uint32_t{regs_.cdb[6]} << 8) | regs_.cdb[7];
    if (spt == 0 || heads == 0 || la / (spt * heads) >= cylinders) {
        endCommand();
        interrupt(status::TranslateOverflow);
        return;
    }
    const std::uint32_t cyl = la / (spt * heads);
    regs_.cdb[8] = static_cast<std::uint8_t>(la % spt);
    regs_.cdb[9] = static_cast<std::uint8_t>((la / spt) % heads);
    regs_.cdb[10] = static_cast<std::uint8_t>(cyl >> 8);
    regs_.cdb[11] = static_cast<std::uint8_t>(cyl);
    endCommand();
    interrupt(status::TranslateDone);
}

void Sbic::startTransferInfo(bool sbt, bool pad) {
    running_ = pad ? Running::TransferPad : Running::TransferInfo;
    xfer_ = {};
    xfer_.counted = !sbt && regs_.count != 0;
    if (!xfer_.counted) {
        regs_.count = 1;
    }
    aux_.dbr = false;
    wait_ = Wait::Req;
    if (bus_.req() && !bus_.ackHeld()) {
        process([this] { onRequest(); });
    }
}

void Sbic::process(std::function<void()> fn) {
    const auto gen = generation_;
    machine_.scheduler().schedule(0, [this, gen, fn = std::move(fn)] {
        if (gen == generation_) {
            fn();
        }
    });
}

}  // namespace cbus::sbic
