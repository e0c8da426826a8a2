#include "platform/scsi/target.h"

#include <algorithm>

#include <fmt/format.h>

namespace cbus::scsi {

const char* faultName(Fault f) {
    switch (f) {
        case Fault::RejectSdtr:
            return "reject-sdtr";
        case Fault::CounterOfferSdtr:
            return "counter-offer-sdtr";
        case Fault::SdtrOutOfLimits:
            return "sdtr-out-of-limits";
        case Fault::InitiateSdtr:
            return "initiate-sdtr";
        case Fault::InitiateWdtr:
            return "initiate-wdtr";
        case Fault::DisconnectAfterCommand:
            return "disconnect-after-command";
        case Fault::DisconnectMidData:
            return "disconnect-mid-data";
        case Fault::DisconnectMidDataNoSdp:
            return "disconnect-mid-data-no-sdp";
        case Fault::DisconnectNoSdp:
            return "disconnect-no-sdp";
        case Fault::RestorePointers:
            return "restore-pointers";
        case Fault::ModifyDataPointer:
            return "modify-data-pointer";
        case Fault::ParityError:
            return "parity-error";
        case Fault::BusFree:
            return "bus-free";
        case Fault::ReselectWithoutIdentify:
            return "reselect-without-identify";
        case Fault::ReselectWrongLun:
            return "reselect-wrong-lun";
        case Fault::Stall:
            return "stall";
        case Fault::NoSelectionResponse:
            return "no-selection-response";
        case Fault::Busy:
            return "busy";
        case Fault::CheckCondition:
            return "check-condition";
        case Fault::ExtendedMessage:
            return "extended-message";
        case Fault::SurplusMessageBytes:
            return "surplus-message-bytes";
        case Fault::UnknownMessage:
            return "unknown-message";
        case Fault::InitiateRecovery:
            return "initiate-recovery";
        case Fault::LinkedCommandComplete:
            return "linked-command-complete";
        case Fault::ResetBus:
            return "reset-bus";
        case Fault::LoseAgreement:
            return "lose-agreement";
    }
    return "?";
}

Target::Target(Bus& bus, TargetSettings settings)
    : bus_(bus), machine_(bus.machine()), settings_(std::move(settings)) {}

void Target::trace(const char* event, std::initializer_list<std::uint32_t> values,
                   std::string text) {
    machine_.trace().record(fmt::format("target{}", settings_.id), event, values, std::move(text));
}

const Sense& Target::pendingSense(std::uint8_t lun) const {
    static const Sense none{};
    auto it = sense_.find(lun);
    return it == sense_.end() ? none : it->second;
}

// ---------------------------------------------------------------- faults

void Target::fail(Fault fault, FaultSpec trigger) {
    faults_[fault] = Armed{std::move(trigger), 0, 0};
}
void Target::clearFault(Fault fault) {
    faults_.erase(fault);
}
void Target::clearFaults() {
    faults_.clear();
}

bool Target::fires(Fault f) {
    auto it = faults_.find(f);
    if (it == faults_.end()) {
        return false;
    }
    Armed& a = it->second;
    if (a.trigger.opcode && !command_.cdb.empty() && *a.trigger.opcode != command_.opcode()) {
        return false;
    }
    if (a.fired >= a.trigger.times) {
        return false;
    }
    if (++a.eligibleSeen <= a.trigger.skip) {
        return false;
    }
    if (a.trigger.probability < 1.0 && !machine_.random().chance(a.trigger.probability)) {
        return false;
    }
    ++a.fired;
    trace("fault", {static_cast<std::uint32_t>(f)}, faultName(f));
    return true;
}

void Target::armFaultsForCommand() {
    static constexpr Fault kPerCommand[] = {
        Fault::DisconnectAfterCommand,
        Fault::DisconnectMidData,
        Fault::DisconnectMidDataNoSdp,
        Fault::DisconnectNoSdp,
        Fault::RestorePointers,
        Fault::ModifyDataPointer,
        Fault::ParityError,
        Fault::BusFree,
        Fault::ReselectWithoutIdentify,
        Fault::ReselectWrongLun,
        Fault::Stall,
        Fault::Busy,
        Fault::CheckCondition,
        Fault::ExtendedMessage,
        Fault::SurplusMessageBytes,
        Fault::UnknownMessage,
        Fault::InitiateRecovery,
        Fault::LinkedCommandComplete,
        Fault::ResetBus,
        Fault::LoseAgreement,
    };
    firing_.clear();
    for (Fault f : kPerCommand) {
        // A stall inside MESSAGE OUT fires where it stops, not with the command.
        const bool elsewhere = f == Fault::Stall && faults_.count(f) != 0 &&
                               faults_.at(f).trigger.phase == Phase::MessageOut;
        if (!elsewhere && fires(f)) {
            firing_[f] = faults_.at(f).trigger;
        }
    }
}

const FaultSpec* Target::active(Fault f) const {
    auto it = firing_.find(f);
    return it == firing_.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------- action queue

void Target::pushFront(std::vector<Action> actions) {
    for (auto it = actions.rbegin(); it != actions.rend(); ++it) {
        queue_.push_front(std::move(*it));
    }
}

void Target::sendBytes(Phase phase, std::vector<std::uint8_t> bytes) {
    Action a;
    a.kind = Action::Kind::Send;
    a.phase = phase;
    a.count = bytes.size();
    a.bytes = std::move(bytes);
    push(std::move(a));
}

void Target::sendMessageIn(std::vector<std::uint8_t> bytes, bool disconnectTail) {
    Action a;
    a.kind = Action::Kind::Send;
    a.phase = Phase::MessageIn;
    a.count = bytes.size();
    a.bytes = std::move(bytes);
    a.isMessage = true;
    a.disconnectTail = disconnectTail;
    if (const FaultSpec* s = active(Fault::ParityError);
        s && s->phase == Phase::MessageIn && s->byte < a.count) {
        a.badParity = s->byte;
        spendParityError();
    }
    push(std::move(a));
}

// A parity error hits one byte of the command: a message or status sent again after the
// initiator's complaint goes out clean.
void Target::spendParityError() {
    firing_.erase(Fault::ParityError);
}

void Target::freeBus(bool disconnectTail) {
    Action a;
    a.kind = Action::Kind::Free;
    a.disconnectTail = disconnectTail;
    push(std::move(a));
}

void Target::waitFor(std::uint64_t ns, bool disconnectTail) {
    Action a;
    a.kind = Action::Kind::Wait;
    a.ns = ns;
    a.disconnectTail = disconnectTail;
    push(std::move(a));
}

void Target::receiveBytes(Phase phase, std::size_t count,
                          std::function<void(std::vector<std::uint8_t>)> done) {
    Action a;
    a.kind = Action::Kind::Receive;
    a.phase = phase;
    a.count = count;
    a.received = std::move(done);
    push(std::move(a));
}

void Target::reselect(bool disconnectTail) {
    Action r;
    r.kind = Action::Kind::Reselect;
    r.disconnectTail = disconnectTail;
    push(std::move(r));
}

void Target::call(std::function<void()> fn) {
    Action a;
    a.kind = Action::Kind::Call;
    a.call = std::move(fn);
    push(std::move(a));
}

void Target::kick() {
    if (kicked_) {
        return;
    }
    kicked_ = true;
    const auto gen = generation_;
    machine_.scheduler().schedule(0, [this, gen] {
        if (gen != generation_) {
            return;
        }
        kicked_ = false;
        run();
    });
}

void Target::run() {
    if (waiting_ != Wait::Nothing) {
        return;
    }
    while (!queue_.empty()) {
        Action& a = queue_.front();
        const bool busAction = a.kind == Action::Kind::Send || a.kind == Action::Kind::Receive ||
                               a.kind == Action::Kind::ReceiveCommand ||
                               a.kind == Action::Kind::ReceiveMessage ||
                               a.kind == Action::Kind::Free;
        if (busAction && !connected_) {
            abandonNexus("not connected");
            return;
        }
        // ATN: go to Message Out at a phase boundary, or at once inside a message. A script
        // that takes Message Out bytes itself is already going there.
        const bool takesMessageOut =
            a.kind == Action::Kind::ReceiveMessage ||
            (a.kind == Action::Kind::Receive && a.phase == Phase::MessageOut);
        if (busAction && bus_.atn() && !takesMessageOut &&
            (a.pos == 0 || (a.isMessage && a.pos < a.count))) {
            if (a.pos != 0) {
                // The rest of an interrupted message is dropped; a MESSAGE REJECT now refers
                // to it, not to the message before.
                noteMessageSent(a);
                queue_.pop_front();
            }
            Action m;
            m.kind = Action::Kind::ReceiveMessage;
            m.phase = Phase::MessageOut;
            m.count = 1;
            queue_.push_front(std::move(m));
            continue;
        }
        switch (a.kind) {
            case Action::Kind::Send:
            case Action::Kind::Receive:
            case Action::Kind::ReceiveCommand:
            case Action::Kind::ReceiveMessage: {
                if (a.pos >= a.count) {
                    completeAction();
                    continue;
                }
                const bool newPhase = a.pos == 0 && (bus_.phase() != a.phase || a.isMessage);
                bus_.targetSetPhase(*this, a.phase);
                waiting_ = Wait::Req;
                const auto gen = generation_;
                timer_ = machine_.scheduler().schedule(
                    newPhase ? bus_.timing().phaseChangeNs : bus_.timing().asyncByteNs,
                    [this, gen] {
                        timer_ = {};
                        if (gen != generation_ || queue_.empty()) {
                            return;
                        }
                        Action& f = queue_.front();
                        const std::uint8_t byte =
                            f.kind == Action::Kind::Send ? f.bytes[f.pos] : std::uint8_t{0};
                        const bool parityOk = !(f.badParity && *f.badParity == f.pos);
                        bus_.targetRequest(*this, f.phase, byte, parityOk);
                    });
                return;
            }
            case Action::Kind::Free: {
                queue_.pop_front();
                connected_ = false;
                bus_.targetFree(*this);
                continue;
            }
            case Action::Kind::Wait: {
                waiting_ = Wait::Timer;
                const auto gen = generation_;
                timer_ = machine_.scheduler().schedule(a.ns, [this, gen] {
                    timer_ = {};
                    if (gen != generation_) {
                        return;
                    }
                    waiting_ = Wait::Nothing;
                    queue_.pop_front();
                    run();
                });
                return;
            }
            case Action::Kind::Reselect: {
                waiting_ = Wait::Bus;
                bus_.targetArbitrate(*this);
                return;
            }
            case Action::Kind::Call: {
                auto fn = std::move(a.call);
                queue_.pop_front();
                fn();
                continue;
            }
        }
    }
}

// What this target said last belongs to one connection: a MESSAGE REJECT or an SDTR in the
// next one answers nothing from before.
void Target::forgetMessages() {
    lastMessageSent_ = kNoMessage;
    lastMessageBytes_.clear();
}

void Target::noteMessageSent(const Action& a) {
    if (!a.isMessage || a.bytes.empty()) {
        return;
    }
    lastMessageSent_ = a.bytes[0];
    if (a.bytes[0] == msg::Extended && a.bytes.size() > 2) {
        lastMessageSent_ = a.bytes[2] == msg::ExtSdtr   ? kSdtrSent
                           : a.bytes[2] == msg::ExtWdtr ? kWdtrSent
                                                        : a.bytes[0];
    }
    lastMessageBytes_ = a.bytes;
}

void Target::completeAction() {
    Action a = std::move(queue_.front());
    queue_.pop_front();
    switch (a.kind) {
        case Action::Kind::Send:
            noteMessageSent(a);
            break;
        case Action::Kind::Receive:
            if (a.received) {
                a.received(std::move(a.bytes));
            }
            break;
        case Action::Kind::ReceiveCommand:
            commandReceived(std::move(a.bytes));
            break;
        case Action::Kind::ReceiveMessage:
            trace("message-out",
                  {static_cast<std::uint32_t>(a.bytes.size()), a.bytes.empty() ? 0u : a.bytes[0]});
            messageOutReceived(a.bytes);
            break;
        default:
            break;
    }
}

void Target::handshake(std::span<std::uint8_t> in, std::span<const std::uint8_t> out, Ack ack) {
    if (queue_.empty() || waiting_ != Wait::Req) {
        return;
    }
    Action& a = queue_.front();
    if (a.kind == Action::Kind::Send) {
        const std::size_t n = std::min(in.size(), a.count - a.pos);
        std::copy_n(a.bytes.begin() + static_cast<std::ptrdiff_t>(a.pos), n, in.begin());
        a.pos += n;
    } else {
        a.bytes.insert(a.bytes.end(), out.begin(), out.end());
        a.pos += out.size();
        if (a.kind == Action::Kind::ReceiveCommand && a.pos >= 1 && a.count == 1) {
            a.count = cdbLength(a.bytes[0]);
        }
    }
    if (ack == Ack::Stream) {
        return;  // REQ stays: the initiator goes on with the same burst
    }
    if (ack == Ack::Hold) {
        waiting_ = Wait::AckNegate;
        return;
    }
    ackNegated();
}

void Target::ackNegated() {
    if (queue_.empty()) {
        waiting_ = Wait::Nothing;
        return;
    }
    Action& a = queue_.front();
    if (a.kind == Action::Kind::ReceiveMessage) {
        // Message Out lasts while the initiator keeps ATN asserted.
        a.count = bus_.atn() ? a.pos + 1 : a.pos;
        if (a.pos < a.count && stallsInMessageOut(a.pos)) {
            // Inside the phase: the next REQ comes only after the stall.
            waiting_ = Wait::Timer;
            const auto gen = generation_;
            timer_ = machine_.scheduler().schedule(faults_.at(Fault::Stall).trigger.durationNs,
                                                   [this, gen] {
                                                       timer_ = {};
                                                       if (gen == generation_) {
                                                           waiting_ = Wait::Nothing;
                                                           run();
                                                       }
                                                   });
            return;
        }
    }
    waiting_ = Wait::Nothing;
    kick();
}

bool Target::stallsInMessageOut(std::size_t bytesTaken) {
    auto it = faults_.find(Fault::Stall);
    return it != faults_.end() && it->second.trigger.phase == Phase::MessageOut &&
           it->second.trigger.byte == bytesTaken && fires(Fault::Stall);
}

std::size_t Target::runLength() const {
    if (waiting_ != Wait::Req || queue_.empty() || !connected_) {
        return 0;
    }
    const Action& a = queue_.front();
    return a.count - a.pos;
}

std::optional<std::size_t> Target::runParityError(std::size_t length) const {
    if (queue_.empty()) {
        return std::nullopt;
    }
    const Action& a = queue_.front();
    if (a.badParity && *a.badParity >= a.pos && *a.badParity < a.pos + length) {
        return *a.badParity - a.pos;
    }
    return std::nullopt;
}

void Target::dataOutGarbled() {
    if (queue_.empty() || queue_.front().phase != Phase::DataOut) {
        return;
    }
    trace("garbled-data-out");
    // The bytes arrive with the wrong timing: the target gives up the phase and reports it.
    queue_.clear();
    machine_.scheduler().cancel(timer_);
    waiting_ = Wait::Nothing;
    checkCondition(kScsiParityError);
    kick();
}

// ---------------------------------------------------------------- connection

bool Target::answersSelection() {
    return !fires(Fault::NoSelectionResponse);
}

void Target::selected(bool atn) {
    (void)atn;  // ATN is seen on the bus at the first phase boundary
    connected_ = true;
    identified_ = false;
    disconnectAllowed_ = false;
    forgetMessages();
    initiatorId_ = bus_.initiatorId();
    trace("selected", {atn ? 1u : 0u});
    if (!queue_.empty()) {
        // A nexus is still waiting to reselect: this target takes one command at a time and
        // answers the new one with BUSY once it has it.
        machine_.scheduler().cancel(timer_);
        waiting_ = Wait::Nothing;
        suspended_ = std::move(queue_);
        suspendedCommand_ = command_;
        queue_.clear();
    }
    onSelected();
    kick();
}

void Target::onSelected() {
    Action a;
    a.kind = Action::Kind::ReceiveCommand;
    a.phase = Phase::Command;
    a.count = 1;
    push(std::move(a));
}

void Target::arbitrationWon() {
    const auto gen = generation_;
    reselectTimeout_ =
        machine_.scheduler().schedule(bus_.timing().reselectionTimeoutNs, [this, gen] {
            reselectTimeout_ = {};
            if (gen == generation_) {
                reselectTimedOut();
            }
        });
    bus_.targetReselect(*this, true);
}

void Target::reselectionAccepted() {
    machine_.scheduler().cancel(reselectTimeout_);
    connected_ = true;
    waiting_ = Wait::Nothing;
    if (!queue_.empty() && queue_.front().kind == Action::Kind::Reselect) {
        queue_.pop_front();
    }
    forgetMessages();
    trace("reselected");
    kick();
}

void Target::reselectTimedOut() {
    bus_.targetGiveUpReselection(*this);
    // Try again a little later, as a target does after a reselection time-out.
    waiting_ = Wait::Nothing;
    const auto gen = generation_;
    timer_ = machine_.scheduler().schedule(1'000'000, [this, gen] {
        if (gen == generation_) {
            run();
        }
    });
}

void Target::initiatorLeft() {
    trace("initiator-left");
    abandonNexus("initiator released the bus");
}

void Target::abandonNexus(const char* why) {
    trace("nexus-abandoned", {}, why);
    ++generation_;
    kicked_ = false;
    machine_.scheduler().cancel(timer_);
    machine_.scheduler().cancel(reselectTimeout_);
    queue_.clear();
    waiting_ = Wait::Nothing;
    connected_ = false;
    restoreSuspended();
}

void Target::restoreSuspended() {
    if (queue_.empty() && !suspended_.empty() && !connected_) {
        queue_ = std::move(suspended_);
        suspended_.clear();
        command_ = suspendedCommand_;
        // A suspended wait starts over; a reselection is tried again.
        kick();
    }
}

void Target::busReset() {
    trace("bus-reset");
    forgetMessages();
    suspended_.clear();
    abandonNexus("bus reset");
    agreement_ = {};
}

void Target::powerCycle() {
    trace("power-cycle");
    agreement_ = {};
}

// ---------------------------------------------------------------- messages

bool Target::offersSdtr(const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i + 2 < bytes.size(); ++i) {
        if (bytes[i] == msg::Extended && bytes[i + 1] == 3 && bytes[i + 2] == msg::ExtSdtr) {
            return true;
        }
    }
    return false;
}

void Target::messageOutReceived(const std::vector<std::uint8_t>& bytes) {
    std::vector<Action> replies;
    auto reply = [&](std::vector<std::uint8_t> m) {
        Action a;
        a.kind = Action::Kind::Send;
        a.phase = Phase::MessageIn;
        a.count = m.size();
        a.bytes = std::move(m);
        a.isMessage = true;
        replies.push_back(std::move(a));
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t b = bytes[i];
        if (b & msg::Identify) {
            command_.lun = b & 7;
            disconnectAllowed_ = (b & msg::IdentifyDiscPriv) != 0;
            identified_ = true;
            ++i;
            // A target starts its own SDTR only when the initiator has not just offered one:
            // the initiator's, in the same MESSAGE OUT, is answered instead.
            if (!offersSdtr(bytes) && fires(Fault::InitiateSdtr)) {
                const FaultSpec& s = faults_.at(Fault::InitiateSdtr).trigger;
                reply({msg::Extended, 3, msg::ExtSdtr, s.sdtrPeriod, s.sdtrOffset});
                agreement_ = {s.sdtrOffset, s.sdtrPeriod};
            }
            if (fires(Fault::InitiateWdtr)) {
                reply({msg::Extended, 2, msg::ExtWdtr, 1});
            }
            continue;
        }
        if (b == msg::Extended) {
            if (i + 1 >= bytes.size() || i + 2 + bytes[i + 1] > bytes.size() || bytes[i + 1] == 0) {
                reply({msg::MessageReject});
                break;
            }
            const std::uint8_t len = bytes[i + 1];
            const std::uint8_t code = bytes[i + 2];
            if (code == msg::ExtSdtr && len == 3) {
                const std::uint8_t period = bytes[i + 3];
                const std::uint8_t offset = bytes[i + 4];
                if (lastMessageSent_ == kSdtrSent && !pendingSdtrAnswered_) {
                    // The initiator's answer to our own SDTR.
                    agreement_ = {offset, period};
                    pendingSdtrAnswered_ = true;
                } else if (fires(Fault::RejectSdtr) || settings_.maxSyncOffset == 0) {
                    reply({msg::MessageReject});
                    agreement_ = {};
                } else {
                    std::uint8_t p = std::max(period, settings_.minSyncPeriodFactor);
                    std::uint8_t o = std::min(offset, settings_.maxSyncOffset);
                    if (offset == 0) {
                        p = period;
                    }
                    if (fires(Fault::CounterOfferSdtr)) {
                        p = static_cast<std::uint8_t>(std::min(255, p + 25));
                        o = static_cast<std::uint8_t>(o > 1 ? o / 2 : o);
                    } else if (fires(Fault::SdtrOutOfLimits)) {
                        p = static_cast<std::uint8_t>(period > 12 ? period - 12 : 1);
                        o = static_cast<std::uint8_t>(offset + 4);
                    }
                    agreement_ = {o, p};
                    reply({msg::Extended, 3, msg::ExtSdtr, p, o});
                }
                trace("sdtr", {period, offset, agreement_.periodFactor, agreement_.offset});
            } else if (code == msg::ExtWdtr && len == 2) {
                // Narrow device: answer 8-bit; a width exchange leaves the transfer async. The
                // initiator's answer to our own WDTR closes the exchange and is not answered.
                agreement_ = {};
                if (lastMessageSent_ == kWdtrSent) {
                    lastMessageSent_ = msg::Extended;
                } else {
                    reply({msg::Extended, 2, msg::ExtWdtr, 0});
                }
            } else {
                reply({msg::MessageReject});
            }
            i += 2u + len;
            continue;
        }
        ++i;
        switch (b) {
            case msg::Abort:
                trace("abort");
                queue_.clear();
                // The disconnected command of the same nexus is aborted too, not resumed later.
                if (!suspended_.empty() && suspendedCommand_.lun == command_.lun) {
                    suspended_.clear();
                }
                freeBus();
                return;
            case msg::BusDeviceReset:
                trace("bus-device-reset");
                queue_.clear();
                suspended_.clear();
                agreement_ = {};
                freeBus();
                return;
            case msg::MessageReject:
                messageRejected();
                break;
            case msg::NoOperation:
                break;
            case msg::InitiatorDetectedError:
                // The initiator saw a bad byte: give up the command and say why.
                queue_.clear();
                checkCondition(kInitiatorDetectedError);
                return;
            case msg::MessageParityError:
                if (!lastMessageBytes_.empty()) {
                    reply(lastMessageBytes_);
                }
                break;
            default:
                reply({msg::MessageReject});
                break;
        }
    }
    pushFront(std::move(replies));
}

void Target::messageRejected() {
    trace("rejected", {lastMessageSent_});
    if (lastMessageSent_ == kSdtrSent) {
        agreement_ = {};  // a refused SDTR means asynchronous
    } else if (lastMessageSent_ == msg::Disconnect) {
        // Not allowed to disconnect: drop the disconnect and carry on connected.
        while (!queue_.empty() && queue_.front().disconnectTail) {
            queue_.pop_front();
        }
    }
}

// ---------------------------------------------------------------- commands

void Target::commandReceived(std::vector<std::uint8_t> cdb) {
    command_.cdb = std::move(cdb);
    if (!identified_) {
        command_.lun = command_.cdb.size() > 1 ? command_.cdb[1] >> 5 : 0;
        disconnectAllowed_ = false;  // no IDENTIFY, no disconnection
    }
    pendingSdtrAnswered_ = false;
    ++commandsSeen_;
    trace("command",
          {command_.opcode(), command_.lun, static_cast<std::uint32_t>(command_.cdb.size())});
    armFaultsForCommand();
    if (!suspended_.empty()) {
        complete(status::Busy);
        return;
    }
    if (active(Fault::ResetBus)) {
        call([this] { bus_.reset(); });
        return;
    }
    if (active(Fault::LoseAgreement)) {
        powerCycle();
    }
    waitFor(settings_.commandOverheadNs);
    if (const FaultSpec* s = active(Fault::UnknownMessage)) {
        sendMessageIn(s->message.empty() ? std::vector<std::uint8_t>{0x7E} : s->message);
    }
    if (const FaultSpec* s = active(Fault::ExtendedMessage)) {
        sendMessageIn(s->message.empty() ? std::vector<std::uint8_t>{msg::Extended, 0}
                                         : s->message);
    }
    if (active(Fault::InitiateRecovery)) {
        sendMessageIn({msg::InitiateRecovery});
    }
    if (active(Fault::DisconnectAfterCommand)) {
        disconnectHere(true, 0);
    } else if (active(Fault::DisconnectNoSdp)) {
        disconnectHere(false, 0);
    }
    if (active(Fault::Busy)) {
        complete(status::Busy);
        return;
    }
    if (const FaultSpec* s = active(Fault::CheckCondition)) {
        checkCondition(s->sense);
        return;
    }
    if (!lunExists(command_.lun)) {
        if (command_.opcode() == op::Inquiry) {
            std::vector<std::uint8_t> data(36, 0);
            data[0] = 0x7F;  // peripheral qualifier 3: no unit here
            data[4] = 31;
            data.resize(std::min<std::size_t>(data.size(), command_.cdb[4]));
            if (!data.empty()) {
                dataIn(std::move(data));
            }
            good();
        } else if (command_.opcode() == op::RequestSense) {
            // The one way a host learns why: sense data, not another CHECK CONDITION.
            sense_[command_.lun] = kLunNotSupported;
            executeCommon(command_);
        } else {
            checkCondition(kLunNotSupported);
        }
        return;
    }
    if (!executeCommon(command_)) {
        execute(command_);
    }
}

void Target::disconnectHere(bool saveDataPointer, std::uint64_t workNs) {
    if (!disconnectAllowed_) {
        if (workNs > 0) {
            waitFor(workNs);
        }
        return;
    }
    if (saveDataPointer) {
        sendMessageIn({msg::SaveDataPointer});
    }
    sendMessageIn({msg::Disconnect}, true);
    freeBus(true);
    waitFor(std::max(workNs, settings_.reselectDelayNs), true);
    reselect(true);
    if (active(Fault::ReselectWithoutIdentify)) {
        return;
    }
    std::uint8_t lun = command_.lun;
    if (const FaultSpec* s = active(Fault::ReselectWrongLun)) {
        lun = s->lun & 7;
    }
    sendMessageIn({static_cast<std::uint8_t>(msg::Identify | lun)}, true);
}

void Target::work(std::uint64_t ns) {
    if (settings_.disconnects && disconnectAllowed_ && ns >= settings_.disconnectThresholdNs) {
        disconnectHere(dataMoved_, ns);
    } else if (ns > 0) {
        waitFor(ns);
    }
}

namespace {
std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& v, std::size_t from,
                                std::size_t to) {
    from = std::min(from, v.size());
    to = std::min(std::max(to, from), v.size());
    return {v.begin() + static_cast<std::ptrdiff_t>(from),
            v.begin() + static_cast<std::ptrdiff_t>(to)};
}
}  // namespace

void Target::dataIn(std::vector<std::uint8_t> bytes) {
    const std::size_t n = bytes.size();
    if (const FaultSpec* s = active(Fault::Stall); s && s->phase == Phase::DataIn) {
        waitFor(s->durationNs);
    }
    auto piece = [&](std::size_t from, std::size_t to) {
        if (to > from) {
            sendBytes(Phase::DataIn, slice(bytes, from, to));
        }
    };
    const std::size_t k = std::min<std::size_t>(n, [&] {
        for (Fault f : {Fault::DisconnectMidData, Fault::DisconnectMidDataNoSdp, Fault::BusFree,
                        Fault::RestorePointers, Fault::ModifyDataPointer}) {
            if (const FaultSpec* s = active(f)) {
                return s->byte;
            }
        }
        return static_cast<std::uint32_t>(n);
    }());
    if (active(Fault::DisconnectMidData) || active(Fault::DisconnectMidDataNoSdp)) {
        const bool save = active(Fault::DisconnectMidData) != nullptr;
        piece(0, k);
        dataMoved_ = dataMoved_ || k > 0;
        disconnectHere(save, 0);
        // The reselection implies RESTORE POINTERS: without a save, the data starts over.
        piece(save ? k : 0, n);
    } else if (const FaultSpec* s = active(Fault::BusFree); s && s->phase == Phase::DataIn) {
        piece(0, k);
        call([this] {
            queue_.clear();
            freeBus();
        });
        return;
    } else if (active(Fault::RestorePointers)) {
        piece(0, k);
        sendMessageIn({msg::RestorePointers});
        piece(0, n);  // back to the saved pointer: the start of this transfer
    } else if (const FaultSpec* m = active(Fault::ModifyDataPointer)) {
        piece(0, k);
        const auto d = static_cast<std::uint32_t>(m->argument);
        sendMessageIn({msg::Extended, 5, msg::ExtModifyDataPointer,
                       static_cast<std::uint8_t>(d >> 24), static_cast<std::uint8_t>(d >> 16),
                       static_cast<std::uint8_t>(d >> 8), static_cast<std::uint8_t>(d)});
        const std::int64_t next = static_cast<std::int64_t>(k) + m->argument;
        piece(
            next >= 0 && next <= static_cast<std::int64_t>(n) ? static_cast<std::size_t>(next) : k,
            n);
    } else {
        piece(0, n);
    }
    if (const FaultSpec* s = active(Fault::ParityError); s && s->phase == Phase::DataIn) {
        // Mark the chosen byte in whichever data action carries it.
        std::size_t base = 0;
        for (auto& a : queue_) {
            if (a.kind == Action::Kind::Send && a.phase == Phase::DataIn) {
                if (s->byte >= base && s->byte < base + a.count) {
                    a.badParity = s->byte - base;
                    spendParityError();
                    break;
                }
                base += a.count;
            }
        }
    }
    dataMoved_ = true;
}

void Target::dataOut(std::size_t count, std::function<void(std::vector<std::uint8_t>)> done) {
    if (const FaultSpec* s = active(Fault::Stall); s && s->phase == Phase::DataOut) {
        waitFor(s->durationNs);
    }
    auto collected = std::make_shared<std::vector<std::uint8_t>>();
    auto receivePart = [&](std::size_t n, bool last) {
        Action a;
        a.kind = Action::Kind::Receive;
        a.phase = Phase::DataOut;
        a.count = n;
        a.received = [collected, last, done](std::vector<std::uint8_t> bytes) {
            collected->insert(collected->end(), bytes.begin(), bytes.end());
            if (last) {
                done(std::move(*collected));
            }
        };
        push(std::move(a));
    };
    std::size_t k = count;
    if (const FaultSpec* s = active(Fault::DisconnectMidData)) {
        k = std::min<std::size_t>(s->byte, count);
    } else if (const FaultSpec* s2 = active(Fault::DisconnectMidDataNoSdp)) {
        k = std::min<std::size_t>(s2->byte, count);
    }
    if (const FaultSpec* s = active(Fault::BusFree); s && s->phase == Phase::DataOut) {
        if (s->byte > 0) {
            receivePart(std::min<std::size_t>(s->byte, count), false);
        }
        call([this] {
            queue_.clear();
            freeBus();
        });
        return;
    }
    if (k < count && k > 0) {
        const bool save = active(Fault::DisconnectMidData) != nullptr;
        if (save) {
            receivePart(k, false);
        } else {
            // The reselection implies RESTORE POINTERS: the bytes taken so far are taken again.
            receiveBytes(Phase::DataOut, k, [](std::vector<std::uint8_t>) {});
        }
        disconnectHere(save, 0);
        receivePart(save ? count - k : count, true);
    } else {
        receivePart(count, true);
    }
    dataMoved_ = true;
}

void Target::complete(std::uint8_t statusByte) {
    if (const FaultSpec* s = active(Fault::Stall); s && s->phase == Phase::Status) {
        waitFor(s->durationNs);
    }
    if (const FaultSpec* s = active(Fault::BusFree); s && s->phase == Phase::Status) {
        call([this] {
            queue_.clear();
            freeBus();
        });
        return;
    }
    sendBytes(Phase::Status, {statusByte});
    if (const FaultSpec* s = active(Fault::ParityError); s && s->phase == Phase::Status) {
        queue_.back().badParity = 0;
        spendParityError();
    }
    const std::uint8_t lun = command_.lun;
    call([this, statusByte, lun] {
        ++commandsDone_;
        trace("status", {statusByte, lun});
    });
    if (const FaultSpec* s = active(Fault::Stall); s && s->phase == Phase::MessageIn) {
        waitFor(s->durationNs);
    }
    if (const FaultSpec* s = active(Fault::BusFree); s && s->phase == Phase::MessageIn) {
        call([this] {
            queue_.clear();
            freeBus();
        });
        return;
    }
    sendMessageIn(
        {active(Fault::LinkedCommandComplete) ? msg::LinkedCommandComplete : msg::CommandComplete});
    if (const FaultSpec* s = active(Fault::SurplusMessageBytes)) {
        sendMessageIn(s->message.empty() ? std::vector<std::uint8_t>{msg::NoOperation}
                                         : s->message);
    }
    freeBus();
    call([this] {
        dataMoved_ = false;
        restoreSuspended();
    });
}

void Target::checkCondition(Sense s) {
    sense_[command_.lun] = s;
    complete(status::CheckCondition);
}

std::vector<std::uint8_t> Target::inquiryData(std::uint8_t) {
    std::vector<std::uint8_t> d(36, ' ');
    d[0] = static_cast<std::uint8_t>(deviceType());
    d[1] = removable() ? 0x80 : 0x00;
    d[2] = 0x02;  // SCSI-2
    d[3] = 0x02;  // response data format
    d[4] = 31;
    d[5] = 0;
    d[6] = 0;
    d[7] = settings_.maxSyncOffset > 0 ? 0x10 : 0x00;  // Sync
    auto put = [&](std::size_t at, std::size_t len, const std::string& s) {
        for (std::size_t i = 0; i < len; ++i) {
            d[at + i] = i < s.size() ? static_cast<std::uint8_t>(s[i]) : ' ';
        }
    };
    put(8, 8, settings_.vendor);
    put(16, 16, settings_.product);
    put(32, 4, settings_.revision);
    return d;
}

bool Target::lunExists(std::uint8_t lun) const {
    return std::find(settings_.luns.begin(), settings_.luns.end(), lun) != settings_.luns.end();
}

bool Target::executeCommon(const Command& cmd) {
    switch (cmd.opcode()) {
        case op::TestUnitReady:
            good();
            return true;
        case op::Inquiry: {
            auto data = inquiryData(cmd.lun);
            data.resize(std::min<std::size_t>(data.size(), cmd.cdb[4]));
            if (!data.empty()) {
                dataIn(std::move(data));
            }
            good();
            return true;
        }
        case op::RequestSense: {
            const Sense s = pendingSense(cmd.lun);
            std::vector<std::uint8_t> data(18, 0);
            data[0] = 0x70;
            data[2] = s.key;
            data[7] = 10;
            data[12] = s.asc;
            data[13] = s.ascq;
            data.resize(std::min<std::size_t>(data.size(), cmd.cdb[4]));
            sense_.erase(cmd.lun);
            if (!data.empty()) {
                dataIn(std::move(data));
            }
            good();
            return true;
        }
        default:
            return false;
    }
}

}  // namespace cbus::scsi
