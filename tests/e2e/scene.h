#pragma once

// A whole machine for end-to-end scenarios: board, bus, disks, and the simulated port driver
// running the driver. Scenarios go through runRequest and assert outcomes and the trace.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/board/board.h"
#include "platform/machine/machine.h"
#include "platform/port/sim_port.h"
#include "platform/scsi/bus.h"
#include "platform/scsi/disk.h"

namespace cbus::e2e {

inline constexpr std::uint16_t kBase = 0xCC0;
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

inline std::vector<std::uint8_t> read10(std::uint32_t lba, std::uint16_t blocks) {
    return {0x28,
            0,
            static_cast<std::uint8_t>(lba >> 24),
            static_cast<std::uint8_t>(lba >> 16),
            static_cast<std::uint8_t>(lba >> 8),
            static_cast<std::uint8_t>(lba),
            0,
            static_cast<std::uint8_t>(blocks >> 8),
            static_cast<std::uint8_t>(blocks),
            0};
}
inline std::vector<std::uint8_t> write10(std::uint32_t lba, std::uint16_t blocks) {
    auto c = read10(lba, blocks);
    c[0] = 0x2A;
    return c;
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
