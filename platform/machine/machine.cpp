#include "platform/machine/machine.h"

namespace cbus {

Machine::Machine(const MachineSettings& settings)
    : settings_(settings),
      io_(*this),
      memory_(*this, settings.memorySize),
      interrupts_(trace_),
      dma_(*this),
      random_(settings.seed) {
    trace_.setClock([this] { return scheduler_.now(); });
}

}  // namespace cbus
