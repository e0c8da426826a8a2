// The built-in default machine and its workload: a window board (or another mode) with two disks
// and a CD-ROM, the driver loaded and the bus scanned, then a seeded mix of reads and writes whose
// every byte is checked against a reference copy of each medium.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/board/board.h"
#include "platform/port/sim_port.h"

namespace cbus::cbsim {

struct RunOptions {
    BoardKind mode = BoardKind::Window;
    std::uint64_t seed = 1;
    std::string arguments;        // the driver's argument string ("/discon", "/async", ...)
    std::uint32_t requests = 64;  // workload requests after the scan
};

// What one workload request did.
struct RequestRecord {
    std::uint8_t target = 0;
    bool write = false;
    std::uint32_t lba = 0;
    std::uint32_t blocks = 0;
    std::uint32_t bytes = 0;
    std::uint8_t srbStatus = 0;
    bool dataMatches = true;
    std::uint64_t simulatedNs = 0;
    std::uint64_t interrupts = 0;
    std::uint64_t portAccesses = 0;  // register, FIFO and window accesses by the driver
    std::uint64_t stallNs = 0;       // time the driver spent stalling
};

struct RunReport {
    bool adapterFound = false;
    std::vector<port::ScannedUnit> units;
    std::vector<RequestRecord> requests;
    std::vector<port::ErrorLogEntry> errorLog;
    std::vector<std::string> contractErrors;  // the port driver's and the hardware's checks
    int resetsDetected = 0;
    int interruptStorms = 0;
    std::uint64_t simulatedNs = 0;  // the whole run, loading and scan included

    // Every request succeeded with exact data and nothing broke a contract.
    bool clean() const;
};

// Runs the default machine. `trace`, when given, receives every trace line as it happens.
RunReport runDefault(const RunOptions& options,
                     const std::function<void(const std::string&)>& trace = {});

const char* modeName(BoardKind mode);

}  // namespace cbus::cbsim
