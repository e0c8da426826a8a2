#pragma once

// A whole machine for end-to-end scenarios: board, bus, disks, and the simulated port driver
// running the driver. Scenarios go through runRequest and assert outcomes and the trace.

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/board/board.h"
#include "platform/machine/machine.h"
#include "platform/port/sim_port.h"
#include "platform/scsi/bus.h"
#include "platform/scsi/disk.h"

namespace cbus::port {
// Error-log entries read as words in a failed expectation.
inline void PrintTo(const ErrorLogEntry& e, std::ostream* os) {
    *os << "{target " << int{e.target} << ", lun " << int{e.lun} << ", code " << e.errorCode
        << ", id " << e.uniqueId << (e.withRequest ? ", with request}" : ", no request}");
}
}  // namespace cbus::port

namespace cbus::e2e {

inline constexpr std::uint16_t kBase = 0xCC0;
inline constexpr BoardKind kModes[] = {BoardKind::Plain, BoardKind::Fifo, BoardKind::Window};

// Bus phases as the trace numbers them.
inline constexpr std::uint32_t kPhaseDataOut = 0;
inline constexpr std::uint32_t kPhaseDataIn = 1;
inline constexpr std::uint32_t kPhaseMessageOut = 6;
inline constexpr std::uint32_t kPhaseMessageIn = 7;
inline constexpr std::uint32_t kBlock = 512;

struct Outcome {
    std::uint8_t srbStatus = 0;
    std::uint8_t scsiStatus = 0;
    std::uint32_t length = 0;
};

inline const char* modeName(BoardKind kind) {
    switch (kind) {
        case BoardKind::Plain:
            return "Plain";
        case BoardKind::Fifo:
            return "Fifo";
        case BoardKind::Window:
            return "Window";
    }
    return "?";
}

// Test names of a (board, case) table: the board, then the case's name.
struct ModeAndCaseName {
    template <typename Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& p) const {
        return std::string(modeName(std::get<0>(p.param))) + std::get<1>(p.param).name;
    }
};

inline std::vector<std::uint8_t> read10(std::uint32_t lba, std::uint16_t blocks) {
    return scsi::cdb10(scsi::op::Read10, lba, blocks);
}
inline std::vector<std::uint8_t> write10(std::uint32_t lba, std::uint16_t blocks) {
    return scsi::cdb10(scsi::op::Write10, lba, blocks);
}

class Scene {
  public:
    explicit Scene(BoardKind kind = BoardKind::Window, std::string arguments = {}) : bus(machine) {
        BoardSettings b;
        b.kind = kind;
        b.ioBase = kBase;
        board = std::make_unique<Board>(machine, bus, b);
        portSettings.registry.ioStart = kBase;
        portSettings.registry.dmaChannel = b.dmaChannel;
        portSettings.registry.interruptLevel = static_cast<std::uint32_t>(board->interruptLevel());
        portSettings.argumentString = std::move(arguments);
    }

    scsi::Disk& addDisk(std::uint8_t id, scsi::TargetSettings ts = {}, std::uint64_t blocks = 4096,
                        std::uint32_t blockSize = kBlock) {
        ts.id = id;
        auto image = std::make_shared<scsi::BlockImage>(blocks, blockSize, id);
        disks.push_back(std::make_unique<scsi::Disk>(bus, ts, image));
        bus.attach(*disks.back());
        return *disks.back();
    }

    // Loads the driver (probe and initialization) and scans the bus.
    void boot() {
        port = std::make_unique<port::SimPort>(machine, portSettings);
        ASSERT_EQ(port->load(), 0u) << "the driver found no adapter";
        port->scan();
    }

    // One request to `target`: the buffer is `data` (sent for a write, filled for a read).
    Outcome runRequest(const std::vector<std::uint8_t>& cdb, std::vector<std::uint8_t>& data,
                       std::uint32_t flags = 0) {
        port::Request r;
        r.target = target;
        r.lun = lun;
        r.cdb = cdb;
        r.length = static_cast<std::uint32_t>(data.size());
        if (flags == 0 && !data.empty()) {
            flags = isWrite(cdb) ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
        }
        r.flags = flags;
        if (flags & SRB_FLAGS_DATA_OUT) {
            r.dataOut = data;
        }
        const auto id = port->submit(std::move(r));
        EXPECT_TRUE(port->run()) << "the run ended at a bound";
        const port::Result& res = port->result(id);
        EXPECT_TRUE(res.completed);
        lastTimedOut = res.timedOut;
        if (flags & SRB_FLAGS_DATA_IN) {
            data = res.data;
        }
        return {res.srbStatus, res.scsiStatus, res.length};
    }

    // A request handed to the port driver without running it (several at once, message requests).
    port::SimPort::RequestId submit(const std::vector<std::uint8_t>& cdb, std::uint32_t length,
                                    std::uint32_t flags, std::uint8_t toTarget) {
        port::Request r;
        r.target = toTarget;
        r.lun = lun;
        r.cdb = cdb;
        r.length = length;
        r.flags = flags;
        return port->submit(std::move(r));
    }
    port::SimPort::RequestId submitFunction(std::uint8_t function, std::uint8_t toTarget,
                                            std::vector<std::uint8_t> buffer = {}) {
        port::Request r;
        r.function = function;
        r.target = toTarget;
        r.lun = lun;
        r.length = static_cast<std::uint32_t>(buffer.size());
        r.flags =
            buffer.empty() ? SRB_FLAGS_NO_DATA_TRANSFER : SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT;
        r.dataOut = std::move(buffer);
        return port->submit(std::move(r));
    }

    // The bytes that crossed the bus in `phase` since `mark`: "out" from the adapter, "in" to it.
    std::vector<std::uint8_t> busBytes(std::size_t mark, const char* direction,
                                       std::uint32_t phase) {
        std::vector<std::uint8_t> bytes;
        for (const auto& e : machine.trace().since(mark, "bus", direction)) {
            if (e.value(0) == phase) {
                bytes.push_back(static_cast<std::uint8_t>(e.value(2)));
            }
        }
        return bytes;
    }
    // SDTR exchanges target `id` took part in since `mark`.
    std::size_t sdtrExchanges(std::size_t mark, std::uint8_t id) {
        return machine.trace().since(mark, "target" + std::to_string(id), "sdtr").size();
    }

    static port::ErrorLogEntry logEntry(std::uint8_t target, std::uint8_t lun, std::uint32_t code,
                                        std::uint32_t uniqueId, bool withRequest = true) {
        return {target, lun, code, uniqueId, withRequest};
    }

    // The bytes the patterned image of disk `id` holds.
    static std::vector<std::uint8_t> image(std::uint8_t id, std::uint32_t lba, std::size_t n,
                                           std::uint32_t blockSize = kBlock) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) {
            v[i] = scsi::BlockImage::patternByte(id, std::uint64_t{lba} * blockSize + i);
        }
        return v;
    }
    std::vector<std::uint8_t> stored(std::uint8_t id, std::uint32_t lba, std::size_t n) {
        for (auto& d : disks) {
            if (d->id() == id) {
                const std::uint32_t bs = d->image().blockSize();
                std::vector<std::uint8_t> out;
                d->image().read(lba, static_cast<std::uint32_t>((n + bs - 1) / bs), out);
                out.resize(n);
                return out;
            }
        }
        return {};
    }

    // The invariants every scenario ends with.
    void expectInvariants(const std::vector<port::ErrorLogEntry>& expectedLog = {}) {
        EXPECT_TRUE(port->errors().empty()) << port->errors().front();
        EXPECT_EQ(port->interruptStorms(), 0);
        EXPECT_EQ(port->errorLog(), expectedLog);
        EXPECT_EQ(machine.trace().count("sbic", "contract"), 0u);
        EXPECT_EQ(machine.trace().count("board", "contract"), 0u);
    }

    static bool isWrite(const std::vector<std::uint8_t>& cdb) {
        return !cdb.empty() && (cdb[0] == 0x0A || cdb[0] == 0x2A || cdb[0] == 0x2E ||
                                cdb[0] == 0x15 || cdb[0] == 0xAA);
    }

    Machine machine;
    scsi::Bus bus;
    std::unique_ptr<Board> board;
    std::vector<std::unique_ptr<scsi::Disk>> disks;
    port::SimPortSettings portSettings;
    std::unique_ptr<port::SimPort> port;
    std::uint8_t target = 0;
    std::uint8_t lun = 0;
    bool lastTimedOut = false;
};

}  // namespace cbus::e2e
