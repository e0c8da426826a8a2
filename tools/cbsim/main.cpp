// cbsim: runs the driver on a simulated machine. With no machine file it assembles the built-in
// default machine (a C-Bus board, two disks and a CD-ROM), loads the driver, scans the bus and
// runs a seeded workload whose data is checked byte for byte; it prints what happened.
#include <fmt/format.h>
#include <CLI/CLI.hpp>

#include <cstdio>
#include <map>
#include <string>

#include "tools/cbsim/default_run.h"

namespace {

const char* srbStatusName(std::uint8_t s) {
    switch (s & 0x3F) {
        case SRB_STATUS_SUCCESS:
            return "SUCCESS";
        case SRB_STATUS_ERROR:
            return "ERROR";
        case SRB_STATUS_SELECTION_TIMEOUT:
            return "SELECTION_TIMEOUT";
        case SRB_STATUS_BUS_RESET:
            return "BUS_RESET";
        case SRB_STATUS_PHASE_SEQUENCE_FAILURE:
            return "PHASE_SEQUENCE_FAILURE";
        case SRB_STATUS_DATA_OVERRUN:
            return "DATA_OVERRUN";
        case SRB_STATUS_PENDING:
            return "NOT RETURNED";
        default:
            return "OTHER";
    }
}

const char* deviceTypeName(std::uint8_t type) {
    switch (type & 0x1F) {
        case 0:
            return "disk";
        case 1:
            return "tape";
        case 2:
            return "printer";
        case 3:
            return "processor";
        case 4:
            return "write-once";
        case 5:
            return "CD-ROM";
        case 6:
            return "scanner";
        case 9:
            return "communications";
        default:
            return "other";
    }
}

std::string text(const std::vector<std::uint8_t>& inquiry, std::size_t at, std::size_t n) {
    std::string s;
    for (std::size_t i = at; i < at + n && i < inquiry.size(); ++i) {
        s += inquiry[i] >= 0x20 && inquiry[i] < 0x7F ? static_cast<char>(inquiry[i]) : '.';
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"cbsim: the C-Bus SCSI miniport driver on a simulated machine"};
    cbus::cbsim::RunOptions options;
    std::map<std::string, cbus::BoardKind> modes{{"plain", cbus::BoardKind::Plain},
                                                 {"fifo", cbus::BoardKind::Fifo},
                                                 {"window", cbus::BoardKind::Window}};
    bool traceOn = false;
    bool perRequest = false;
    app.add_option("--mode", options.mode,
                   "transfer mode of the board: plain (system DMA), fifo "
                   "(FIFO port) or window (memory window)")
        ->transform(CLI::CheckedTransformer(modes, CLI::ignore_case));
    app.add_option("--seed", options.seed, "seed of the machine and the workload");
    app.add_option("--requests", options.requests, "workload requests after the bus scan")
        ->check(CLI::Range(0u, 1'000'000u));
    app.add_option("--args", options.arguments,
                   "the driver's argument string, e.g. \"/discon /async\"");
    app.add_flag("--trace", traceOn, "print every trace event as it happens");
    app.add_flag("--per-request", perRequest, "print one line per workload request");
    CLI11_PARSE(app, argc, argv);

    std::function<void(const std::string&)> trace;
    if (traceOn) {
        trace = [](const std::string& line) { std::fputs((line + "\n").c_str(), stdout); };
    }
    const cbus::cbsim::RunReport report = cbus::cbsim::runDefault(options, trace);

    fmt::print("machine: built-in default, {} mode, seed {}, driver arguments \"{}\"\n",
               cbus::cbsim::modeName(options.mode), options.seed, options.arguments);
    if (!report.adapterFound) {
        fmt::print("the driver found no adapter\n");
        return 1;
    }
    fmt::print("\nbus scan\n{:>6} {:>4}  {:<14} {}\n", "target", "lun", "type", "identification");
    for (const auto& u : report.units) {
        fmt::print("{:>6} {:>4}  {:<14} {} {} {}\n", u.target, u.lun, deviceTypeName(u.deviceType),
                   text(u.inquiry, 8, 8), text(u.inquiry, 16, 16), text(u.inquiry, 32, 4));
    }

    std::uint64_t readBytes = 0, writeBytes = 0, interrupts = 0, busyNs = 0, accesses = 0,
                  stallNs = 0;
    std::size_t failed = 0, mismatched = 0;
    if (perRequest) {
        fmt::print("\n{:>5} {:>6} {:<5} {:>8} {:>6} {:>8} {:>5} {:>8} {:>9} {:>10}  {}\n", "#",
                   "target", "op", "lba", "blocks", "bytes", "irqs", "accesses", "stall us",
                   "sim us", "status");
    }
    for (std::size_t i = 0; i < report.requests.size(); ++i) {
        const auto& r = report.requests[i];
        (r.write ? writeBytes : readBytes) += r.srbStatus == SRB_STATUS_SUCCESS ? r.bytes : 0;
        interrupts += r.interrupts;
        accesses += r.portAccesses;
        stallNs += r.stallNs;
        busyNs += r.simulatedNs;
        failed += r.srbStatus != SRB_STATUS_SUCCESS;
        mismatched += !r.dataMatches;
        if (perRequest) {
            fmt::print("{:>5} {:>6} {:<5} {:>8} {:>6} {:>8} {:>5} {:>8} {:>9.1f} {:>10.1f}  {}{}\n",
                       i, r.target, r.write ? "write" : "read", r.lba, r.blocks, r.bytes,
                       r.interrupts, r.portAccesses, static_cast<double>(r.stallNs) / 1000.0,
                       static_cast<double>(r.simulatedNs) / 1000.0, srbStatusName(r.srbStatus),
                       r.dataMatches ? "" : ", DATA MISMATCH");
        }
    }
    const double seconds = static_cast<double>(busyNs) / 1e9;
    fmt::print("\nworkload: {} requests, {} failed, {} with wrong data\n", report.requests.size(),
               failed, mismatched);
    fmt::print("  read {} bytes, wrote {} bytes in {:.3f} s simulated ({:.2f} MB/s)\n", readBytes,
               writeBytes, seconds,
               seconds > 0 ? static_cast<double>(readBytes + writeBytes) / seconds / 1e6 : 0.0);
    fmt::print("  {} interrupts, {} port and window accesses, {:.1f} us stalled\n", interrupts,
               accesses, static_cast<double>(stallNs) / 1000.0);
    fmt::print("run: {:.3f} s simulated in all, {} bus resets reported, {} interrupt storms\n",
               static_cast<double>(report.simulatedNs) / 1e9, report.resetsDetected,
               report.interruptStorms);
    fmt::print("error log: {} entries\n", report.errorLog.size());
    for (const auto& e : report.errorLog) {
        fmt::print("  target {} lun {}: error code {:#x}, unique id {}\n", e.target, e.lun,
                   e.errorCode, e.uniqueId);
    }
    for (const auto& c : report.contractErrors) {
        fmt::print("contract: {}\n", c);
    }
    fmt::print("{}\n", report.clean() ? "result: clean" : "result: FAILED");
    return report.clean() ? 0 : 1;
}
