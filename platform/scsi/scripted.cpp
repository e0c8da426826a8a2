#include "platform/scsi/scripted.h"

namespace cbus::scsi {

Script& Script::send(Phase phase, std::vector<std::uint8_t> bytes) {
    steps_.push_back(Step{Step::Kind::Send, phase, std::move(bytes), 0, 0});
    return *this;
}
Script& Script::messageIn(std::vector<std::uint8_t> bytes) {
    return send(Phase::MessageIn, std::move(bytes));
}
Script& Script::receive(Phase phase, std::size_t count) {
    steps_.push_back(Step{Step::Kind::Receive, phase, {}, count, 0});
    return *this;
}
Script& Script::busFree() {
    steps_.push_back(Step{Step::Kind::Free, {}, {}, 0, 0});
    return *this;
}
Script& Script::wait(std::uint64_t ns) {
    steps_.push_back(Step{Step::Kind::Wait, {}, {}, 0, ns});
    return *this;
}
Script& Script::reselect() {
    steps_.push_back(Step{Step::Kind::Reselect, {}, {}, 0, 0});
    return *this;
}

ScriptedTarget::ScriptedTarget(Bus& bus, TargetSettings settings, DeviceType type)
    : Target(bus, std::move(settings)), type_(type) {}

void ScriptedTarget::onSelected() {
    if (scripts_.empty()) {
        Target::onSelected();
        return;
    }
    const Script script = std::move(scripts_.front());
    scripts_.pop_front();
    auto done = [this] { ++stepsDone_; };
    for (const auto& s : script.steps()) {
        using Kind = Script::Step::Kind;
        switch (s.kind) {
            case Kind::Send:
                if (s.phase == Phase::MessageIn) {
                    sendMessageIn(s.bytes);
                } else {
                    sendBytes(s.phase, s.bytes);
                }
                break;
            case Kind::Receive:
                receiveBytes(s.phase, s.count,
                             [this, phase = s.phase](std::vector<std::uint8_t> bytes) {
                                 received_.push_back(Received{phase, std::move(bytes)});
                             });
                break;
            case Kind::Free:
                freeBus();
                break;
            case Kind::Wait:
                waitFor(s.ns);
                break;
            case Kind::Reselect:
                reselect();
                break;
        }
        call(done);
    }
}

void ScriptedTarget::execute(const Command&) {
    checkCondition(kInvalidOpcode);
}

}  // namespace cbus::scsi
