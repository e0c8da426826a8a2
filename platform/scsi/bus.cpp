#include "platform/scsi/bus.h"

#include <algorithm>

#include "platform/scsi/target.h"

namespace cbus::scsi {

Bus::Bus(Machine& machine, BusTiming timing) : machine_(machine), timing_(timing) {}

void Bus::trace(const char* event, std::initializer_list<std::uint32_t> values) {
    machine_.trace().record("bus", event, values);
}

void Bus::attachInitiator(BusInitiator& initiator, std::uint8_t id) {
    initiator_ = &initiator;
    initiatorId_ = id & 7;
}

void Bus::attach(Target& target) {
    targets_.at(target.id() & 7) = &target;
}

// ---- arbitration ----

void Bus::arbitrate() {
    initiatorWantsBus_ = true;
    if (state_ == State::Free && !arbitrationEvent_) {
        startArbitration();
    }
}

void Bus::cancelArbitration() {
    initiatorWantsBus_ = false;
    if (state_ == State::Arbitration && targetsWantBus_.empty()) {
        machine_.scheduler().cancel(arbitrationEvent_);
        state_ = State::Free;
    }
}

void Bus::targetArbitrate(Target& t) {
    if (std::find(targetsWantBus_.begin(), targetsWantBus_.end(), &t) == targetsWantBus_.end()) {
        targetsWantBus_.push_back(&t);
    }
    if (state_ == State::Free && !arbitrationEvent_) {
        startArbitration();
    }
}

void Bus::startArbitration() {
    state_ = State::Arbitration;
    arbitrationEvent_ =
        machine_.scheduler().schedule(timing_.arbitrationDelayNs, [this] { finishArbitration(); });
}

void Bus::finishArbitration() {
    arbitrationEvent_ = {};
    int best = -1;
    Target* winner = nullptr;
    if (initiatorWantsBus_) {
        best = initiatorId_;
    }
    for (Target* t : targetsWantBus_) {
        if (t->id() > best) {
            best = t->id();
            winner = t;
        }
    }
    if (best < 0) {
        state_ = State::Free;
        return;
    }
    trace("arbitration-won", {static_cast<std::uint32_t>(best)});
    if (winner == nullptr) {
        initiatorWantsBus_ = false;
        state_ = State::Selection;
        initiator_->busArbitrationWon();
    } else {
        std::erase(targetsWantBus_, winner);
        state_ = State::Reselection;
        selecting_ = winner;
        winner->arbitrationWon();
    }
}

// ---- selection ----

void Bus::select(std::uint8_t targetId, bool atn) {
    state_ = State::Selection;
    atn_ = atn;
    trace("select", {targetId, atn ? 1u : 0u});
    Target* t = targets_.at(targetId & 7);
    if (t == nullptr) {
        return;  // nobody answers: the initiator's timeout ends it
    }
    std::erase(targetsWantBus_, t);  // a target being selected stops trying to reselect
    if (!t->answersSelection()) {
        return;
    }
    selecting_ = t;
    selectionEvent_ = machine_.scheduler().schedule(timing_.selectionResponseNs, [this, t] {
        selectionEvent_ = {};
        state_ = State::Connected;
        connected_ = t;
        selecting_ = nullptr;
        trace("connected", {t->id()});
        const bool withAtn = atn_;
        initiator_->busSelected();
        t->selected(withAtn);
    });
}

void Bus::abandonSelection() {
    machine_.scheduler().cancel(selectionEvent_);
    selecting_ = nullptr;
    trace("selection-abandoned");
    setFree();
}

void Bus::targetReselect(Target& t, bool putOwnId) {
    state_ = State::Reselection;
    selecting_ = &t;
    trace("reselect", {t.id(), putOwnId ? 1u : 0u});
    initiator_->busReselected(t.id(), putOwnId);
}

void Bus::acceptReselection() {
    if (state_ != State::Reselection || selecting_ == nullptr) {
        return;
    }
    state_ = State::Connected;
    connected_ = selecting_;
    selecting_ = nullptr;
    trace("connected", {connected_->id()});
    connected_->reselectionAccepted();
}

void Bus::targetGiveUpReselection(Target& t) {
    if (state_ == State::Reselection && selecting_ == &t) {
        selecting_ = nullptr;
        trace("reselection-timeout", {t.id()});
        setFree();
    }
}

// ---- connection ----

void Bus::setFree() {
    state_ = State::Free;
    connected_ = nullptr;
    garbled_ = false;
    req_ = false;
    ackHeld_ = false;
    atn_ = false;
    ++generation_;
    if (initiatorWantsBus_ || !targetsWantBus_.empty()) {
        const auto gen = generation_;
        machine_.scheduler().schedule(timing_.busFreeDelayNs, [this, gen] {
            if (gen == generation_ && state_ == State::Free && !arbitrationEvent_ &&
                (initiatorWantsBus_ || !targetsWantBus_.empty())) {
                startArbitration();
            }
        });
    }
}

void Bus::targetRequest(Target& t, Phase phase, std::uint8_t data, bool parityOk) {
    if (&t != connected_) {
        return;
    }
    if (phase != phase_) {
        garbled_ = false;
    }
    phase_ = phase;
    data_ = data;
    parityOk_ = parityOk;
    req_ = true;
    initiator_->busRequest();
}

void Bus::targetSetPhase(Target& t, Phase phase) {
    if (&t == connected_ && phase != phase_) {
        phase_ = phase;
        garbled_ = false;  // a mismatch spoils the phase it happened in, not the next one
        trace("phase", {static_cast<std::uint32_t>(phase)});
    }
}

void Bus::targetFree(Target& t) {
    if (&t != connected_) {
        return;
    }
    trace("bus-free", {t.id()});
    setFree();
    initiator_->busFree();
}

void Bus::setAtn(bool on) {
    if (atn_ != on) {
        atn_ = on;
        trace(on ? "atn-on" : "atn-off");
    }
}

Burst Bus::burst(const TransferSetting& initiator, std::size_t wanted) {
    Burst b;
    if (!connected() || !req_ || connected_ == nullptr) {
        return b;
    }
    b.length = std::min(connected_->runLength(), wanted);
    std::uint64_t targetPace = timing_.asyncByteNs;
    if (isDataPhase(phase_)) {
        const SyncAgreement a = connected_->agreement();
        if (a.offset > 0) {
            targetPace = a.periodNs();
        }
        // The initiator may run slower than agreed (a longer period), never faster, and the
        // offsets must be the same: anything else is a cable that loses or garbles bytes.
        const bool mismatch =
            a.offset != initiator.offset || (a.offset > 0 && initiator.periodNs + 4 < a.periodNs());
        if (mismatch) {
            trace("sync-mismatch", {a.offset, a.periodNs(), initiator.offset, initiator.periodNs});
            if (isInbound(phase_)) {
                b.parityError = 0;
                garbled_ = true;
            } else {
                b.length = 0;
                req_ = false;
                connected_->dataOutGarbled();
            }
            b.nsPerByte = std::max<std::uint64_t>(targetPace, initiator.periodNs);
            return b;
        }
    } else {
        b.length = std::min<std::size_t>(b.length, 1);
    }
    if (b.length > 0) {
        b.parityError = connected_->runParityError(b.length);
    }
    b.nsPerByte = std::max<std::uint64_t>(targetPace, initiator.periodNs);
    return b;
}

void Bus::receive(std::span<std::uint8_t> bytes, Ack ack) {
    if (!connected() || !req_ || !isInbound(phase_) || bytes.empty()) {
        return;
    }
    req_ = ack == Ack::Stream;
    ackHeld_ = ack == Ack::Hold;
    connected_->handshake(bytes, {}, ack);
    if (garbled_ && isDataPhase(phase_)) {
        for (auto& b : bytes) {
            b = static_cast<std::uint8_t>(b ^ 0x5A);
        }
    }
    machine_.trace().record(
        "bus", "in",
        {static_cast<std::uint32_t>(phase_), static_cast<std::uint32_t>(bytes.size()), bytes[0]});
}

void Bus::send(std::span<const std::uint8_t> bytes, Ack ack) {
    if (!connected() || !req_ || isInbound(phase_) || bytes.empty()) {
        return;
    }
    req_ = ack == Ack::Stream;
    ackHeld_ = ack == Ack::Hold;
    machine_.trace().record(
        "bus", "out",
        {static_cast<std::uint32_t>(phase_), static_cast<std::uint32_t>(bytes.size()), bytes[0]});
    connected_->handshake({}, bytes, ack);
}

void Bus::negateAck() {
    if (ackHeld_ && connected_ != nullptr) {
        ackHeld_ = false;
        connected_->ackNegated();
    }
}

void Bus::releaseAll() {
    initiatorWantsBus_ = false;
    if (state_ == State::Arbitration && targetsWantBus_.empty()) {
        machine_.scheduler().cancel(arbitrationEvent_);
        state_ = State::Free;
    }
    if (state_ == State::Connected || state_ == State::Selection) {
        machine_.scheduler().cancel(selectionEvent_);
        Target* t = connected_;
        trace("released");
        setFree();
        if (t != nullptr) {
            t->initiatorLeft();
        }
    }
    atn_ = false;
}

void Bus::reset() {
    trace("reset");
    machine_.scheduler().cancel(arbitrationEvent_);
    machine_.scheduler().cancel(selectionEvent_);
    targetsWantBus_.clear();
    initiatorWantsBus_ = false;
    selecting_ = nullptr;
    for (Target* t : targets_) {
        if (t != nullptr) {
            t->busReset();
        }
    }
    setFree();
    if (initiator_ != nullptr) {
        initiator_->busReset();
    }
}

}  // namespace cbus::scsi
