#pragma once

// Scenes with the other target kinds (CD-ROMs, write-once, stream devices) next to the disks, and a
// logic analyzer on the board's I/O ports for scenarios that look at how the data moved.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/scsi/cdrom.h"
#include "platform/scsi/disk.h"
#include "platform/scsi/stream.h"
#include "tests/e2e/scene.h"

namespace cbus::e2e {

inline std::vector<std::uint8_t> cdb6(std::uint8_t opcode, std::uint32_t length24) {
    return {opcode,
            0,
            static_cast<std::uint8_t>(length24 >> 16),
            static_cast<std::uint8_t>(length24 >> 8),
            static_cast<std::uint8_t>(length24),
            0};
}
// A 10-byte CDB with the transfer length in bytes 6-8 (scanner READ, SET WINDOW).
inline std::vector<std::uint8_t> cdb10Length24(std::uint8_t opcode, std::uint32_t length24) {
    return {opcode,
            0,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(length24 >> 16),
            static_cast<std::uint8_t>(length24 >> 8),
            static_cast<std::uint8_t>(length24),
            0};
}
inline std::vector<std::uint8_t> inquiry(std::uint8_t length = 36) {
    return {0x12, 0, 0, 0, length, 0};
}
inline std::vector<std::uint8_t> readCapacity() {
    return {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
}

// Numbered bytes that repeat only every 251, so a byte moved to the wrong place shows.
inline std::vector<std::uint8_t> numbered(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>((i % 251) * 3 + seed);
    }
    return v;
}

inline scsi::TargetSettings targetAt(std::uint8_t id) {
    scsi::TargetSettings ts;
    ts.id = id;
    return ts;
}

// A logic analyzer between the processor and the board's four ports: every access reaches the
// board unchanged and, while recording, is kept in order.
class PortProbe : public IoDevice {
  public:
    struct Access {
        std::uint16_t offset = 0;
        bool write = false;
        std::uint8_t value = 0;
        // For a data-port access right after an address write: that register; else 0xFF.
        std::uint8_t reg = 0xFF;
    };

    PortProbe(Machine& machine, Board& board) : board_(board) {
        machine.io().unmapAll();
        machine.io().map(kBase, 8, *this, machine.costs().ioPortNs);
    }

    std::uint8_t ioRead(std::uint16_t offset) override {
        const std::uint8_t v = board_.ioRead(offset);
        keep(offset, false, v);
        return v;
    }
    void ioWrite(std::uint16_t offset, std::uint8_t value) override {
        keep(offset, true, value);
        board_.ioWrite(offset, value);
    }

    bool recording = false;
    std::vector<Access> accesses;

    // Bytes moved through the FIFO data port between two FIFO-status reads, one entry per run.
    std::vector<std::size_t> fifoRuns() const {
        std::vector<std::size_t> runs;
        std::size_t run = 0;
        for (const auto& a : accesses) {
            if (a.offset == board::PortFifo) {
                ++run;
            } else if (a.offset == board::PortData && !a.write && a.reg == board::RegFifoStatus &&
                       run > 0) {
                runs.push_back(run);
                run = 0;
            }
        }
        if (run > 0) {
            runs.push_back(run);
        }
        return runs;
    }
    // FIFO data-port accesses not preceded by a FIFO-status read that showed data ready.
    std::size_t fifoAccessesWithoutReady() const {
        std::size_t n = 0;
        bool ready = false;
        for (const auto& a : accesses) {
            if (a.offset == board::PortData && !a.write && a.reg == board::RegFifoStatus) {
                ready = (a.value & board::FifoReady) != 0;
            } else if (a.offset == board::PortFifo) {
                n += ready ? 0 : 1;
                ready = false;
            }
        }
        return n;
    }
    std::size_t fifoAccesses() const {
        std::size_t n = 0;
        for (const auto& a : accesses) {
            n += a.offset == board::PortFifo ? 1 : 0;
        }
        return n;
    }
    // Values written to a board or chip register through the address/data pair.
    std::vector<std::uint8_t> writesTo(std::uint8_t reg) const {
        std::vector<std::uint8_t> v;
        for (const auto& a : accesses) {
            if (a.offset == board::PortData && a.write && a.reg == reg) {
                v.push_back(a.value);
            }
        }
        return v;
    }
    // Board-status reads that showed a window burst ready: the window engine moves one burst per.
    std::size_t burstsReady() const {
        std::size_t n = 0;
        for (const auto& a : accesses) {
            n += a.offset == board::PortControl && !a.write &&
                         (a.value & (board::StatusBurstReady | board::StatusEnded)) ==
                             board::StatusBurstReady
                     ? 1
                     : 0;
        }
        return n;
    }

  private:
    void keep(std::uint16_t offset, bool write, std::uint8_t value) {
        Access a{offset, write, value, 0xFF};
        if (offset == board::PortAddress && write) {
            address_ = value;
        } else if (offset == board::PortData) {
            a.reg = address_;
            address_ = 0xFF;
        }
        if (recording) {
            accesses.push_back(a);
        }
    }

    Board& board_;
    std::uint8_t address_ = 0xFF;
};

// A scene that also owns CD-ROMs, write-once devices and stream devices.
class DeviceScene : public Scene {
  public:
    using Scene::Scene;

    template <typename T, typename... Args>
    T& add(std::uint8_t id, Args&&... args) {
        return addWith<T>(targetAt(id), std::forward<Args>(args)...);
    }
    template <typename T, typename... Args>
    T& addWith(scsi::TargetSettings ts, Args&&... args) {
        auto t = std::make_unique<T>(bus, std::move(ts), std::forward<Args>(args)...);
        T& ref = *t;
        bus.attach(ref);
        others.push_back(std::move(t));
        return ref;
    }
    scsi::StreamDevice& addStream(std::uint8_t id, scsi::DeviceType type,
                                  std::vector<std::uint8_t> source) {
        scsi::StreamSettings ss;
        ss.type = type;
        ss.source = std::move(source);
        return add<scsi::StreamDevice>(id, std::move(ss));
    }
    static std::shared_ptr<scsi::BlockImage> disc(std::uint64_t blocks, std::uint32_t seed) {
        return std::make_shared<scsi::BlockImage>(blocks, scsi::CdRom::kBlockSize, seed);
    }

    const port::ScannedUnit* unitAt(std::uint8_t t, std::uint8_t l) const {
        for (const auto& u : port->units()) {
            if (u.target == t && u.lun == l) {
                return &u;
            }
        }
        return nullptr;
    }

    std::vector<std::unique_ptr<scsi::Target>> others;
};

}  // namespace cbus::e2e
