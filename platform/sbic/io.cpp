// What the host sees: the address register, the register file with its auto-increment,
// the auxiliary status, the interrupt latch and the resets.
#include <fmt/format.h>

#include "platform/sbic/sbic.h"

namespace cbus::sbic {

Sbic::Sbic(Machine& machine, scsi::Bus& bus, SbicHost& host, SbicSettings settings)
    : machine_(machine), bus_(bus), host_(host), settings_(settings) {
    hardwareResetState();
}

void Sbic::trace(const char* event, std::initializer_list<std::uint32_t> values, std::string text) {
    machine_.trace().record("sbic", event, values, std::move(text));
}

void Sbic::contract(const char* what, std::initializer_list<std::uint32_t> values) {
    machine_.trace().record("sbic", "contract", values, what);
}

std::uint8_t Sbic::readAuxStatus() {
    if (mode_.resetHeld) {
        return 0;
    }
    catchUp();
    return static_cast<std::uint8_t>((aux_.intr ? aux::Int : 0) | (aux_.lci ? aux::Lci : 0) |
                                     (aux_.bsy ? aux::Bsy : 0) | (aux_.cip ? aux::Cip : 0) |
                                     (aux_.pe ? aux::Pe : 0) | (aux_.dbr ? aux::Dbr : 0));
}

void Sbic::writeAddress(std::uint8_t address) {
    address_ = address & 0x1F;
}

std::uint8_t Sbic::readRegister() {
    const std::uint8_t r = address_;
    const std::uint8_t v = readReg(r);
    if (r != reg::Command && r != reg::Data && r != reg::AuxStatus) {
        address_ = (address_ + 1) & 0x1F;
    }
    return v;
}

void Sbic::writeRegister(std::uint8_t value) {
    const std::uint8_t r = address_;
    writeReg(r, value);
    if (r != reg::Command && r != reg::Data && r != reg::AuxStatus) {
        address_ = (address_ + 1) & 0x1F;
    }
}

std::uint8_t Sbic::peek(std::uint8_t r) const {
    switch (r) {
        case reg::OwnId:
            return regs_.ownId;
        case reg::Control:
            return regs_.control;
        case reg::Timeout:
            return regs_.timeout;
        case reg::TargetLun:
            return regs_.targetLun;
        case reg::CommandPhase:
            return regs_.commandPhase;
        case reg::Sync:
            return regs_.sync;
        case reg::CountHigh:
            return static_cast<std::uint8_t>(regs_.count >> 16);
        case reg::CountMid:
            return static_cast<std::uint8_t>(regs_.count >> 8);
        case reg::CountLow:
            return static_cast<std::uint8_t>(regs_.count);
        case reg::DestinationId:
            return regs_.destinationId;
        case reg::SourceId:
            return regs_.sourceId;
        case reg::ScsiStatus:
            return regs_.scsiStatus;
        case reg::Command:
            return regs_.command;
        case reg::Data:
            return regs_.data;
        case reg::QueueTag:
            return hasQueueTag() ? regs_.queueTag : 0xFF;
        default:
            if (r >= reg::Cdb1 && r <= reg::Cdb12) {
                return regs_.cdb[r - reg::Cdb1];
            }
            return 0xFF;
    }
}

std::uint8_t Sbic::readReg(std::uint8_t r) {
    if (mode_.resetHeld) {
        return 0xFF;
    }
    catchUp();
    switch (r) {
        case reg::ScsiStatus: {
            const std::uint8_t v = regs_.scsiStatus;
            if (aux_.intr) {
                aux_.intr = false;
                host_.sbicIntrq(false);
                latchNext();
            }
            return v;
        }
        case reg::Data:
            if (xfer_.pio && aux_.dbr && xfer_.inbound) {
                const std::uint8_t v = regs_.data;
                hostReadData();
                return v;
            }
            if (!dataValidWithoutDbr_) {
                contract("DATA read without DBR", {regs_.data});
            }
            return regs_.data;
        case reg::AuxStatus:
            return readAuxStatus();
        default:
            return peek(r);
    }
}

void Sbic::writeReg(std::uint8_t r, std::uint8_t v) {
    if (mode_.resetHeld) {
        return;
    }
    catchUp();
    switch (r) {
        case reg::OwnId:
            regs_.ownId = v;
            break;
        case reg::Control:
            regs_.control = v;
            break;
        case reg::Timeout:
            regs_.timeout = v;
            break;
        case reg::TargetLun:
            regs_.targetLun = v;
            break;
        case reg::CommandPhase:
            regs_.commandPhase = v & 0x7F;
            break;
        case reg::Sync:
            regs_.sync = v;
            break;
        case reg::CountHigh:
            regs_.count = (regs_.count & 0x00FFFF) | (std::uint32_t{v} << 16);
            break;
        case reg::CountMid:
            regs_.count = (regs_.count & 0xFF00FF) | (std::uint32_t{v} << 8);
            break;
        case reg::CountLow:
            regs_.count = (regs_.count & 0xFFFF00) | v;
            break;
        case reg::DestinationId:
            regs_.destinationId = v;
            break;
        case reg::SourceId:
            regs_.sourceId = (regs_.sourceId & 0x0F) | (v & 0xF0);
            break;
        case reg::ScsiStatus:
            break;  // read-only
        case reg::Command:
            commandWritten(v);
            break;
        case reg::Data:
            if (xfer_.pio && aux_.dbr && !xfer_.inbound) {
                hostWriteData(v);
            } else {
                contract("DATA written without DBR", {v});
                regs_.data = v;
            }
            break;
        case reg::QueueTag:
            if (hasQueueTag()) {
                regs_.queueTag = v;
            }
            break;
        default:
            if (r >= reg::Cdb1 && r <= reg::Cdb12) {
                regs_.cdb[r - reg::Cdb1] = v;
            }
            break;  // undefined registers ignore writes
    }
}

// ---- interrupt latch ----

void Sbic::interrupt(std::uint8_t code) {
    if (aux_.intr) {
        // SCSI STATUS does not change until it is read: the event waits its turn.
        queued_.push_back(code);
        return;
    }
    regs_.scsiStatus = code;
    aux_.intr = true;
    trace("interrupt", {code, regs_.commandPhase});
    host_.sbicIntrq(true);
}

void Sbic::latchNext() {
    if (!queued_.empty()) {
        const std::uint8_t code = queued_.front();
        queued_.pop_front();
        interrupt(code);
    }
}

// ---- resets ----

void Sbic::hardwareResetState() {
    ++generation_;
    machine_.scheduler().cancel(timer_);
    machine_.scheduler().cancel(decodeEvent_);
    machine_.scheduler().cancel(xfer_.blockEnd);
    aux_ = {};
    queued_.clear();
    regs_.ownId = 0;
    regs_.sourceId &= 0x1F & ~srcid::Dsp;  // ES, ER and DSP cleared
    mode_.advanced = false;
    mode_.divisor = 2;
    mode_.busId = 0;
    xfer_ = {};
    link_ = {};
    wait_ = Wait::Nothing;
    running_ = Running::None;
    dataValidWithoutDbr_ = false;
}

void Sbic::setResetPin(bool asserted) {
    if (asserted == mode_.resetHeld) {
        return;
    }
    if (asserted) {
        trace("reset-pin", {1});
        if (link_.connected || running_ != Running::None) {
            bus_.releaseAll();
        }
        hardwareResetState();
        mode_.resetHeld = true;
        host_.sbicIntrq(false);
        return;
    }
    trace("reset-pin", {0});
    mode_.resetHeld = false;
    wait_ = Wait::ResetComplete;
    const auto gen = generation_;
    timer_ = machine_.scheduler().schedule(settings_.hardwareResetNs, [this, gen] {
        timer_ = {};
        if (gen != generation_) {
            return;
        }
        wait_ = Wait::Nothing;
        interrupt(status::Reset);
    });
}

void Sbic::softwareReset(bool takeOwnId) {
    if (link_.connected || running_ != Running::None) {
        bus_.releaseAll();
        bus_.cancelArbitration();
    }
    ++generation_;
    ++resets_;
    machine_.scheduler().cancel(timer_);
    machine_.scheduler().cancel(xfer_.blockEnd);
    queued_.clear();
    aux_ = {};
    xfer_ = {};
    link_ = {};
    running_ = Running::None;
    dataValidWithoutDbr_ = false;
    bool raf = false;
    if (takeOwnId) {
        // OWN ID takes effect now: clock divisor, host parity, advanced features.
        switch (regs_.ownId & ownid::FsMask) {
            case ownid::Fs3:
                mode_.divisor = 3;
                break;
            case ownid::Fs4:
                mode_.divisor = 4;
                break;
            default:
                mode_.divisor = 2;
                break;
        }
        mode_.advanced = settings_.variant != Variant::WD33C93 && (regs_.ownId & ownid::Eaf) != 0;
        raf = settings_.variant == Variant::WD33C93B && (regs_.ownId & ownid::Raf) != 0;
        mode_.busId = regs_.ownId & ownid::IdMask;
    }
    const std::uint8_t ownId = regs_.ownId;
    regs_ = {};
    regs_.ownId = ownId;
    if (raf) {
        regs_.cdb[0] = 0x0D;  // microcode revision of the 93B
    }
    bus_.attachInitiator(*this, mode_.busId);
    wait_ = Wait::ResetComplete;
    const auto gen = generation_;
    const std::uint8_t code = mode_.advanced ? status::ResetAdvanced : status::Reset;
    timer_ = machine_.scheduler().schedule(settings_.resetNs, [this, gen, code] {
        timer_ = {};
        if (gen != generation_) {
            return;
        }
        wait_ = Wait::Nothing;
        interrupt(code);
    });
}

std::uint32_t Sbic::tcycNs() const {
    // Tcyc = divisor / (2 x Fclk)
    return static_cast<std::uint32_t>(std::uint64_t{mode_.divisor} * 1'000'000 /
                                      (2 * settings_.clockKHz));
}

scsi::TransferSetting Sbic::transferSetting() const {
    std::uint8_t value = regs_.sync;
    if (auto v = host_.syncFor(regs_.destinationId & destid::IdMask)) {
        value = *v;
    }
    const std::uint8_t tp = (value & sync::PeriodMask) >> 4;
    const std::uint32_t cycles = tp < 2 ? 8 : tp;
    std::uint32_t tcyc = tcycNs();
    if ((value & sync::Fss) && settings_.variant == Variant::WD33C93B && mode_.divisor == 4) {
        tcyc /= 2;
    }
    return {static_cast<std::uint8_t>(value & sync::OffsetMask), cycles * tcyc};
}

}  // namespace cbus::sbic
