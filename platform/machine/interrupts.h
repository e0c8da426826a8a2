#pragma once

#include <array>
#include <cstdint>

namespace cbus {

class Trace;

// Level-sensitive interrupt lines of the machine (IRQ 0-15). A device drives its line; the
// processor (the port driver) looks at the level. Several devices may share a level: the
// line is asserted while any of them drives it.
class InterruptLines {
  public:
    static constexpr int kLines = 16;
    explicit InterruptLines(Trace& trace) : trace_(trace) {}

    // `source` tells the drivers of one line apart (a small number chosen by the device).
    void drive(int level, int source, bool asserted);
    bool asserted(int level) const;
    // Lowest asserted level, or -1.
    int highestPriorityPending() const;

  private:
    Trace& trace_;
    std::array<std::uint32_t, kLines> drivers_{};  // bit per source
};

}  // namespace cbus
