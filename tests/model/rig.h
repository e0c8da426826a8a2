#pragma once

// A machine with one board and disks, driven through the board's ports as a logic analyzer
// would: no driver anywhere.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "platform/board/board.h"
#include "platform/machine/machine.h"
#include "platform/sbic/registers.h"
#include "platform/scsi/bus.h"
#include "platform/scsi/disk.h"
#include "platform/scsi/target.h"

namespace cbus::test {

namespace r = sbic::reg;
namespace st = sbic::status;

inline constexpr std::uint16_t kBase = 0xCC0;

inline scsi::FaultSpec once() {
    scsi::FaultSpec s;
    s.times = 1;
    return s;
}
inline scsi::FaultSpec atByte(scsi::Phase phase, std::uint32_t byte) {
    scsi::FaultSpec s;
    s.phase = phase;
    s.byte = byte;
    s.times = 1;
    return s;
}
inline constexpr std::uint8_t kOwnId = 7;

struct Rig {
    explicit Rig(BoardSettings settings = {}) : bus(machine) {
        settings.ioBase = kBase;
        board = std::make_unique<Board>(machine, bus, settings);
    }

    // Disks here disconnect only when a fault switch tells them to.
    scsi::Disk& addDisk(std::uint8_t id, std::uint32_t blockSize = 512, std::uint64_t blocks = 4096,
                        scsi::TargetSettings ts = {}) {
        ts.id = id;
        ts.disconnects = false;
        auto image = std::make_shared<scsi::BlockImage>(blocks, blockSize, id);
        disks.push_back(std::make_unique<scsi::Disk>(bus, ts, image));
        bus.attach(*disks.back());
        return *disks.back();
    }

    // Any other target kind, built on this rig's bus and attached at settings.id.
    template <class T, class... Args>
    T& addTarget(scsi::TargetSettings ts, Args&&... args) {
        auto t = std::make_unique<T>(bus, std::move(ts), std::forward<Args>(args)...);
        T& ref = *t;
        bus.attach(ref);
        targets.push_back(std::move(t));
        return ref;
    }

    // ---- ports ----
    std::uint8_t aux() { return machine.io().read(kBase); }
    void write(std::uint8_t reg, std::uint8_t v) {
        machine.io().write(kBase, reg);
        machine.io().write(kBase + 2, v);
    }
    std::uint8_t read(std::uint8_t reg) {
        machine.io().write(kBase, reg);
        return machine.io().read(kBase + 2);
    }
    void writeCount(std::uint32_t n) {
        machine.io().write(kBase, r::CountHigh);
        machine.io().write(kBase + 2, static_cast<std::uint8_t>(n >> 16));
        machine.io().write(kBase + 2, static_cast<std::uint8_t>(n >> 8));
        machine.io().write(kBase + 2, static_cast<std::uint8_t>(n));
    }
    std::uint32_t readCount() {
        machine.io().write(kBase, r::CountHigh);
        std::uint32_t v = machine.io().read(kBase + 2) << 16;
        v |= machine.io().read(kBase + 2) << 8;
        return v | machine.io().read(kBase + 2);
    }
    void boardCommand(std::uint8_t v) { machine.io().write(kBase + 4, v); }
    std::uint8_t boardStatus() { return machine.io().read(kBase + 4); }

    // Polls ASR for INT (bounded by simulated time) and reads SCSI STATUS; 0xFF when none came.
    std::uint8_t waitInterrupt(std::uint64_t limitNs = 2'000'000'000) {
        const std::uint64_t end = machine.now() + limitNs;
        while (machine.now() < end) {
            if (aux() & sbic::aux::Int) {
                return read(r::ScsiStatus);
            }
            // Sleep to the next event instead of polling every port cycle.
            const std::uint64_t next = machine.scheduler().nextTime();
            if (next > machine.now() + 1000 && next != UINT64_MAX) {
                machine.scheduler().advanceTo(std::min(next, end));
            }
        }
        return 0xFF;
    }

    // Reset with the given OWN ID bits and the usual set-up: CONTROL, TIMEOUT, SOURCE ID.
    std::uint8_t init(std::uint8_t ownIdBits = sbic::ownid::Eaf | sbic::ownid::Fs4,
                      std::uint8_t controlValue = sbic::control::DmaBurst | sbic::control::Edi |
                                                  sbic::control::Idi | sbic::control::Hsp) {
        write(r::OwnId, static_cast<std::uint8_t>(kOwnId | ownIdBits));
        write(r::Command, sbic::cmd::Reset);
        const std::uint8_t s = waitInterrupt();
        write(r::Control, controlValue);
        write(r::Timeout, 63);
        write(r::SourceId, sbic::srcid::Er);
        write(r::Sync, 0x20);
        return s;
    }

    // Loads a CDB, target, LUN, count and issues a Select-and-Transfer.
    void selectAndTransfer(std::uint8_t target, std::vector<std::uint8_t> cdb, std::uint32_t count,
                           bool dataIn, std::uint8_t command = sbic::cmd::SelectAtnTransfer,
                           std::uint8_t lun = 0) {
        write(r::OwnId, static_cast<std::uint8_t>(cdb.size()));
        for (std::size_t i = 0; i < cdb.size(); ++i) {
            write(static_cast<std::uint8_t>(r::Cdb1 + i), cdb[i]);
        }
        write(r::DestinationId,
              static_cast<std::uint8_t>(target | (dataIn ? sbic::destid::Dpd : 0)));
        write(r::TargetLun, lun);
        writeCount(count);
        write(r::CommandPhase, 0);
        write(r::Command, command);
    }

    // Programmed-I/O Transfer Info: moves `bytes` out, or reads `n` in. Returns what came in.
    std::vector<std::uint8_t> transferInfoIn(std::size_t n, bool sbt = false) {
        if (!sbt) {
            writeCount(static_cast<std::uint32_t>(n));
        }
        write(r::Command, sbt ? sbic::cmd::TransferInfo | sbic::cmd::Sbt : sbic::cmd::TransferInfo);
        std::vector<std::uint8_t> in;
        while (in.size() < n) {
            const std::uint8_t a = aux();
            if (a & sbic::aux::Dbr) {
                in.push_back(read(r::Data));
            } else if (a & sbic::aux::Int) {
                break;
            }
        }
        return in;
    }
    void transferInfoOut(const std::vector<std::uint8_t>& bytes) {
        writeCount(static_cast<std::uint32_t>(bytes.size()));
        write(r::Command, sbic::cmd::TransferInfo);
        std::size_t i = 0;
        const std::uint64_t end = machine.now() + 100'000'000;
        while (i < bytes.size() && machine.now() < end) {
            const std::uint8_t a = aux();
            if (a & sbic::aux::Dbr) {
                write(r::Data, bytes[i++]);
            } else if (a & sbic::aux::Int) {
                break;
            }
        }
    }

    static std::vector<std::uint8_t> read10(std::uint32_t lba, std::uint16_t blocks) {
        return scsi::cdb10(scsi::op::Read10, lba, blocks);
    }
    static std::vector<std::uint8_t> write10(std::uint32_t lba, std::uint16_t blocks) {
        return scsi::cdb10(scsi::op::Write10, lba, blocks);
    }

    // The bytes a patterned disk holds.
    static std::vector<std::uint8_t> expected(const scsi::Disk& d, std::uint32_t lba, std::size_t n,
                                              std::uint32_t blockSize = 512) {
        std::vector<std::uint8_t> v(n);
        for (std::size_t i = 0; i < n; ++i) {
            v[i] = scsi::BlockImage::patternByte(d.id(), std::uint64_t{lba} * blockSize + i);
        }
        return v;
    }

    std::size_t contracts() { return machine.trace().count("sbic", "contract"); }

    Machine machine;
    scsi::Bus bus;
    std::unique_ptr<Board> board;
    std::vector<std::unique_ptr<scsi::Disk>> disks;
    std::vector<std::unique_ptr<scsi::Target>> targets;
};

}  // namespace cbus::test
