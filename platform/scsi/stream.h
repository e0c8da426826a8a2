#pragma once

#include <cstdint>
#include <vector>

#include "platform/scsi/target.h"

namespace cbus::scsi {

struct StreamSettings {
    DeviceType type = DeviceType::Processor;  // Printer, Processor, Scanner or Communications
    std::vector<std::uint8_t> source;         // the bytes the device gives, in order
    std::uint64_t accessNs = 1'000'000;       // per command that moves bytes
};

// A device that takes or gives byte streams: a printer (PRINT), a processor (SEND, RECEIVE),
// a scanner (SET WINDOW, SCAN, READ) or a communications device (SEND MESSAGE, GET MESSAGE).
// What it takes is kept in order; what it gives comes from the configured source, each
// command going on where the last one stopped. A source that runs dry gives what is left.
class StreamDevice : public Target {
  public:
    StreamDevice(Bus& bus, TargetSettings settings, StreamSettings stream);

    const std::vector<std::uint8_t>& taken() const { return taken_; }
    std::size_t given() const { return given_; }  // source bytes handed out so far
    // Bytes of the last SET WINDOW parameter list (scanner).
    const std::vector<std::uint8_t>& window() const { return window_; }
    bool scanning() const { return scanning_; }

  protected:
    void execute(const Command& cmd) override;
    DeviceType deviceType() const override { return stream_.type; }

  private:
    void take(std::size_t count);
    void give(std::size_t count);

    StreamSettings stream_;
    std::vector<std::uint8_t> taken_;
    std::vector<std::uint8_t> window_;
    std::size_t given_ = 0;
    bool scanning_ = false;
};

}  // namespace cbus::scsi
