#pragma once

// The SCSI bus between one initiator (the host adapter's controller) and its targets.
//
// The bus carries the signals as transactions: arbitration and (re)selection, the phase a
// target asks for, one byte per REQ/ACK (or a burst of handshakes where the initiator moves
// a block), ATN, bus free and RST. It also checks, for each data phase, the initiator's
// transfer setting against the target's synchronous agreement: two sides that disagree
// fail as they would on a cable.
//
// Every notification to the initiator arrives from an event on the machine's clock, never
// from inside a call the initiator made, so the initiator never sees itself re-entered.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/machine/machine.h"
#include "platform/scsi/scsi.h"

namespace cbus::scsi {

class Target;

// How the initiator transfers data: offset 0 is asynchronous; periodNs is the time per
// byte it allows (the minimum period for asynchronous transfers too).
struct TransferSetting {
    std::uint8_t offset = 0;
    std::uint32_t periodNs = 0;
};

// Bus timing in nanoseconds (SCSI-2 values; machine-file parameters).
struct BusTiming {
    std::uint64_t busFreeDelayNs = 800;
    std::uint64_t arbitrationDelayNs = 2400;
    std::uint64_t selectionResponseNs = 2000;  // target's BSY after SEL and ids
    std::uint64_t asyncByteNs = 500;           // target-paced asynchronous byte
    std::uint64_t phaseChangeNs = 1000;        // target's turnaround to a new phase
    std::uint64_t reselectionTimeoutNs = 250'000'000;
    std::uint64_t resetHoldNs = 25'000;
};

// What the bus reports to the initiator.
class BusInitiator {
  public:
    virtual ~BusInitiator() = default;
    // Arbitration asked for with arbitrate() was won: the initiator owns the bus.
    virtual void busArbitrationWon() = 0;
    // The target being selected answered with BSY: the initiator is connected to it.
    virtual void busSelected() = 0;
    // The connected target asserted REQ: phase(), and for an inbound phase data(), are valid.
    virtual void busRequest() = 0;
    // The connected target released BSY: the bus is free.
    virtual void busFree() = 0;
    // A target won arbitration and is reselecting the initiator. `idValid`: it put its own id
    // on the bus. Answer with acceptReselection(), or ignore it (the target times out).
    virtual void busReselected(std::uint8_t targetId, bool idValid) = 0;
    // RST was asserted on the bus (by anyone): every connection is gone.
    virtual void busReset() = 0;
};

// How the initiator ends a run of handshakes.
enum class Ack : std::uint8_t {
    Release,  // ACK released after the last byte: the target goes on
    Hold,     // ACK stays asserted after the last byte until negateAck()
    Stream,   // more handshakes of the same burst follow at once (the target keeps REQ)
};

// What the target will do in the current phase without a pause, as seen by an initiator
// with a given transfer setting.
struct Burst {
    std::size_t length = 0;                  // handshakes before the target pauses or changes phase
    std::optional<std::size_t> parityError;  // index (within length) of the first bad byte
    std::uint64_t nsPerByte = 0;             // the slower of the two sides' pace
};

class Bus {
  public:
    static constexpr int kIds = 8;

    Bus(Machine& machine, BusTiming timing = {});
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    Machine& machine() { return machine_; }
    const BusTiming& timing() const { return timing_; }

    // ---- wiring ----
    void attachInitiator(BusInitiator& initiator, std::uint8_t id);
    void attach(Target& target);  // at target.id(); one target per id
    Target* target(std::uint8_t id) const { return targets_.at(id); }
    std::uint8_t initiatorId() const { return initiatorId_; }

    // ---- state ----
    bool free() const { return state_ == State::Free; }
    bool connected() const { return state_ == State::Connected; }
    Target* connectedTarget() const { return connected_; }
    bool req() const { return req_; }
    Phase phase() const { return phase_; }
    std::uint8_t data() const { return data_; }  // byte on the bus (inbound phase, REQ)
    bool dataParityOk() const { return parityOk_; }
    bool atn() const { return atn_; }
    bool ackHeld() const { return ackHeld_; }

    // ---- initiator side ----
    void arbitrate();  // ask for the bus; busArbitrationWon() when won
    void cancelArbitration();
    // After winning: SEL and both ids (ATN if asked) asserted, BSY released. The target
    // answers with busSelected(), or never (absent or switched off).
    void select(std::uint8_t targetId, bool atn);
    // SEL and ids released without an answer: the bus goes free.
    void abandonSelection();
    void acceptReselection();
    void setAtn(bool on);
    // Handshakes in the current phase. `bytes.size()` must not exceed burst().length for data
    // phases (1 for other phases).
    void receive(std::span<std::uint8_t> bytes, Ack ack);
    void send(std::span<const std::uint8_t> bytes, Ack ack);
    void negateAck();
    // What the current REQ starts: see Burst. `wanted` caps the length.
    // A data phase driven with a setting the target did not agree to fails here: inbound
    // bytes arrive garbled with a parity error, outbound bytes are lost and the target gives
    // up the phase (length 0).
    Burst burst(const TransferSetting& initiator, std::size_t wanted);
    // The initiator lets go of every signal (Disconnect or Reset command). A connected target
    // sees the nexus lost and goes bus free.
    void releaseAll();
    // RST: asserted for the reset hold time, then every target and the initiator start over.
    void reset();

    // ---- target side (used by Target's sequencer) ----
    void targetArbitrate(Target& t);
    void targetReselect(Target& t, bool putOwnId);  // after winning: SEL, I/O, ids
    void targetGiveUpReselection(Target& t);
    void targetRequest(Target& t, Phase phase, std::uint8_t data, bool parityOk);
    void targetFree(Target& t);
    void targetSetPhase(Target& t, Phase phase);

  private:
    enum class State { Free, Arbitration, Selection, Reselection, Connected };
    void setFree();
    void startArbitration();
    void finishArbitration();
    void trace(const char* event, std::initializer_list<std::uint32_t> values = {});

    Machine& machine_;
    BusTiming timing_;
    BusInitiator* initiator_ = nullptr;
    std::uint8_t initiatorId_ = 7;
    std::array<Target*, kIds> targets_{};

    State state_ = State::Free;
    Target* connected_ = nullptr;
    Target* selecting_ = nullptr;
    bool req_ = false;
    Phase phase_ = Phase::DataOut;
    std::uint8_t data_ = 0;
    bool parityOk_ = true;
    bool garbled_ = false;  // inbound data phase run with a mismatched setting
    bool atn_ = false;
    bool ackHeld_ = false;
    std::uint64_t generation_ = 0;  // bumped when a connection ends: stale events ignore it

    // Arbitration: who wants the bus (initiator is id initiatorId_).
    bool initiatorWantsBus_ = false;
    std::vector<Target*> targetsWantBus_;
    EventId arbitrationEvent_;
    EventId selectionEvent_;
};

}  // namespace cbus::scsi
