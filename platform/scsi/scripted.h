#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "platform/scsi/target.h"

namespace cbus::scsi {

// A bus sequence written by a test: phases, bytes, bus free, waits and reselection, played
// out one REQ per byte from the next selection on.
class Script {
  public:
    struct Step {
        enum class Kind { Send, Receive, Free, Wait, Reselect };
        Kind kind = Kind::Send;
        Phase phase = Phase::MessageIn;
        std::vector<std::uint8_t> bytes;  // Send
        std::size_t count = 0;            // Receive
        std::uint64_t ns = 0;             // Wait
    };

    Script& send(Phase phase, std::vector<std::uint8_t> bytes);
    Script& messageIn(std::vector<std::uint8_t> bytes);  // one message, rejectable with ATN
    Script& status(std::uint8_t statusByte) { return send(Phase::Status, {statusByte}); }
    Script& receive(Phase phase, std::size_t count);
    Script& busFree();
    Script& wait(std::uint64_t ns);
    Script& reselect();

    const std::vector<Step>& steps() const { return steps_; }

  private:
    std::vector<Step> steps_;
};

// What a scripted target took in one Receive step.
struct Received {
    Phase phase = Phase::MessageOut;
    std::vector<std::uint8_t> bytes;
    bool operator==(const Received&) const = default;
};

// A target that plays scripts instead of interpreting commands: each selection plays the
// next queued script. With none queued it behaves as a plain device of `type` that answers
// only TEST UNIT READY, INQUIRY and REQUEST SENSE.
class ScriptedTarget : public Target {
  public:
    ScriptedTarget(Bus& bus, TargetSettings settings, DeviceType type = DeviceType::Processor);

    void play(Script script) { scripts_.push_back(std::move(script)); }
    std::size_t scriptsLeft() const { return scripts_.size(); }
    const std::vector<Received>& received() const { return received_; }
    // Steps of the scripts played so far that have finished.
    std::size_t stepsDone() const { return stepsDone_; }

  protected:
    void onSelected() override;
    void execute(const Command& cmd) override;
    DeviceType deviceType() const override { return type_; }

  private:
    DeviceType type_;
    std::deque<Script> scripts_;
    std::vector<Received> received_;
    std::size_t stepsDone_ = 0;
};

}  // namespace cbus::scsi
