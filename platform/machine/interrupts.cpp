#include "platform/machine/interrupts.h"

#include "platform/trace/trace.h"

namespace cbus {

void InterruptLines::drive(int level, int source, bool asserted) {
    if (level < 0 || level >= kLines) {
        return;  // a device configured for "no interrupt" drives nothing
    }
    const bool before = drivers_[level] != 0;
    const std::uint32_t bit = 1u << (source & 31);
    drivers_[level] = asserted ? (drivers_[level] | bit) : (drivers_[level] & ~bit);
    const bool after = drivers_[level] != 0;
    if (before != after) {
        trace_.record("machine", after ? "irq-raise" : "irq-lower",
                      {static_cast<std::uint32_t>(level)});
    }
}

bool InterruptLines::asserted(int level) const {
    return level >= 0 && level < kLines && drivers_[level] != 0;
}

int InterruptLines::highestPriorityPending() const {
    for (int i = 0; i < kLines; ++i) {
        if (drivers_[i] != 0) {
            return i;
        }
    }
    return -1;
}

}  // namespace cbus
