#include "tools/cbsim/default_run.h"

#include <algorithm>
#include <memory>

#include "platform/machine/machine.h"
#include "platform/machine/random.h"
#include "platform/scsi/bus.h"
#include "platform/scsi/cdrom.h"
#include "platform/scsi/disk.h"

namespace cbus::cbsim {
namespace {

constexpr std::uint32_t kDiskBlocks = 8192;
constexpr std::uint32_t kDiskBlock = 512;
constexpr std::uint32_t kCdBlocks = 4096;
constexpr std::uint8_t kCdId = 4;

// One medium on the bus with the copy every transfer is checked against.
struct Medium {
    std::uint8_t id;
    std::shared_ptr<scsi::BlockImage> image;
    scsi::BlockImage reference;
    bool writable;
};

}  // namespace

bool RunReport::clean() const {
    return adapterFound && contractErrors.empty() && interruptStorms == 0 &&
           std::all_of(requests.begin(), requests.end(), [](const RequestRecord& r) {
               return r.srbStatus == SRB_STATUS_SUCCESS && r.dataMatches;
           });
}

const char* modeName(BoardKind mode) {
    switch (mode) {
        case BoardKind::Plain:
            return "plain";
        case BoardKind::Fifo:
            return "fifo";
        case BoardKind::Window:
            return "window";
    }
    return "?";
}

RunReport runDefault(const RunOptions& options,
                     const std::function<void(const std::string&)>& trace) {
    RunReport report;
    MachineSettings ms;
    ms.seed = options.seed;
    Machine machine(ms);
    // Long runs keep no trace in memory: lines go to the caller, contract breaches are counted.
    machine.trace().setRecording(false);
    machine.trace().setSink([&](const TraceEvent& e) {
        if (e.event == "contract") {
            report.contractErrors.push_back(e.source + ": " + e.format());
        }
        if (trace) {
            trace(e.format());
        }
    });

    scsi::Bus bus(machine);
    BoardSettings bs;
    bs.kind = options.mode;
    Board board(machine, bus, bs);

    std::vector<Medium> media;
    std::vector<std::unique_ptr<scsi::Target>> targets;
    for (std::uint8_t id : {std::uint8_t{0}, std::uint8_t{1}}) {
        scsi::TargetSettings ts;
        ts.id = id;
        ts.product = "VIRTUAL DISK";
        auto image = std::make_shared<scsi::BlockImage>(kDiskBlocks, kDiskBlock, id);
        media.push_back({id, image, scsi::BlockImage(kDiskBlocks, kDiskBlock, id), true});
        targets.push_back(std::make_unique<scsi::Disk>(bus, ts, image));
    }
    {
        scsi::TargetSettings ts;
        ts.id = kCdId;
        ts.product = "VIRTUAL CD-ROM";
        auto image = std::make_shared<scsi::BlockImage>(kCdBlocks, scsi::CdRom::kBlockSize, kCdId);
        media.push_back(
            {kCdId, image, scsi::BlockImage(kCdBlocks, scsi::CdRom::kBlockSize, kCdId), false});
        targets.push_back(std::make_unique<scsi::CdRom>(bus, ts, image));
    }
    for (auto& t : targets) {
        bus.attach(*t);
    }

    port::SimPortSettings ps;
    ps.registry.ioStart = bs.ioBase;
    ps.registry.dmaChannel = bs.dmaChannel;
    ps.registry.interruptLevel = static_cast<std::uint32_t>(board.interruptLevel());
    ps.argumentString = options.arguments;
    ps.scanLuns = 1;
    port::SimPort port(machine, ps);
    auto finish = [&] {
        report.errorLog = port.errorLog();
        for (const auto& e : port.errors()) {
            report.contractErrors.push_back("port: " + e);
        }
        report.resetsDetected = port.resetsDetected();
        report.interruptStorms = port.interruptStorms();
        report.simulatedNs = machine.now();
    };
    report.adapterFound = port.load() == 0 && port.adapterFound();
    if (!report.adapterFound) {
        finish();
        return report;
    }
    report.units = port.scan();

    // The workload draws from its own generator, so the machine's stream stays the machine's.
    Random pick(options.seed ^ 0x9E3779B97F4A7C15ull);
    const std::uint32_t maxBytes = std::max<std::uint32_t>(
        port.configuration().MaximumTransferLength, scsi::CdRom::kBlockSize);
    for (std::uint32_t n = 0; n < options.requests; ++n) {
        Medium& m = media[pick.below(media.size())];
        const std::uint32_t blockSize = m.image->blockSize();
        const std::uint32_t maxBlocks = std::min<std::uint32_t>(maxBytes / blockSize, 128);
        RequestRecord rec;
        rec.target = m.id;
        rec.write = m.writable && pick.chance(0.4);
        rec.blocks = 1 + static_cast<std::uint32_t>(pick.below(maxBlocks));
        rec.lba = static_cast<std::uint32_t>(pick.below(m.image->blocks() - rec.blocks + 1));
        rec.bytes = rec.blocks * blockSize;

        port::Request r;
        r.target = m.id;
        r.cdb = scsi::cdb10(rec.write ? scsi::op::Write10 : scsi::op::Read10, rec.lba,
                            static_cast<std::uint16_t>(rec.blocks));
        r.length = rec.bytes;
        r.flags = rec.write ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN;
        if (rec.write) {
            r.dataOut.resize(rec.bytes);
            for (auto& b : r.dataOut) {
                b = static_cast<std::uint8_t>(pick.below(256));
            }
        }
        const std::vector<std::uint8_t> sent = r.dataOut;
        const std::uint64_t t0 = machine.now();
        const std::uint64_t irq0 = port.interruptsServed();
        const std::uint64_t access0 = port.portAccesses();
        const std::uint64_t stall0 = port.stallNs();
        const auto id = port.submit(std::move(r));
        const bool ran = port.run();
        const port::Result& res = port.result(id);
        rec.srbStatus = ran ? res.srbStatus : SRB_STATUS_PENDING;
        rec.simulatedNs = machine.now() - t0;
        rec.interrupts = port.interruptsServed() - irq0;
        rec.portAccesses = port.portAccesses() - access0;
        rec.stallNs = port.stallNs() - stall0;

        std::vector<std::uint8_t> expected;
        if (rec.write) {
            // What landed on the medium must be what was sent; the reference follows it.
            std::vector<std::uint8_t> landed;
            m.image->read(rec.lba, rec.blocks, landed);
            if (rec.srbStatus == SRB_STATUS_SUCCESS) {
                m.reference.write(rec.lba, sent);
                rec.dataMatches = landed == sent;
            }
        } else if (rec.srbStatus == SRB_STATUS_SUCCESS) {
            m.reference.read(rec.lba, rec.blocks, expected);
            rec.dataMatches = res.data == expected && res.length == rec.bytes;
        }
        report.requests.push_back(rec);
        if (!ran) {
            break;  // a bound was reached: the machine is stuck, nothing further would run
        }
    }
    finish();
    return report;
}

}  // namespace cbus::cbsim
