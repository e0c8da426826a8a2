// Disconnection and reselection with "/discon": a disk that leaves the bus after the command or in
// the middle of the data, with or without SAVE DATA POINTER, that moves the data pointer back by
// RESTORE POINTERS or MODIFY DATA POINTER, two disks served while one is away, and the abort of a
// request whose disk has disconnected. Every read and write is checked against the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

constexpr std::uint8_t kDisk = 0;
constexpr std::uint8_t kOther = 1;
constexpr std::uint32_t kLba = 120;
constexpr std::uint16_t kBlocks = 8;
constexpr std::uint32_t kBytes = kBlocks * kBlock;

// Chip statuses and command-phase values the trace shows.
constexpr std::uint32_t kStatusDisconnected = 0x85;
constexpr std::uint32_t kPhaseDisconnectedInSequence = 0x43;
constexpr std::uint32_t kPhaseIdentifyReceived = 0x45;

scsi::FaultSpec once() {
    scsi::FaultSpec s;
    s.times = 1;
    return s;
}

// A disk that only disconnects when a switch tells it to.
scsi::TargetSettings onlyWhenTold() {
    scsi::TargetSettings ts;
    ts.disconnects = false;
    return ts;
}

std::vector<std::uint8_t> pattern(std::size_t n, std::uint8_t seed) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 9));
    }
    return v;
}

struct DisconnectCase {
    const char* name;
    scsi::Fault fault;
    bool write;
    std::uint32_t byte;        // where in the data the switch acts
    std::int32_t argument;     // MODIFY DATA POINTER
    std::size_t reselections;  // times the disk comes back
    bool rejected;             // the adapter answers MESSAGE REJECT
    bool resumedInSequence;    // reselection taken up by the controller's own sequence
};

// A read's data moves by Transfer Info once the sequence has stopped at DATA IN, so a disconnect
// in it is served phase by phase; a write's data moves inside the sequence.

const DisconnectCase kDisconnects[] = {
    {"AfterCommandRead", scsi::Fault::DisconnectAfterCommand, false, 0, 0, 1, false, true},
    {"AfterCommandWrite", scsi::Fault::DisconnectAfterCommand, true, 0, 0, 1, false, true},
    {"MidDataWithSaveRead", scsi::Fault::DisconnectMidData, false, 1500, 0, 1, false, false},
    {"MidDataWithSaveWrite", scsi::Fault::DisconnectMidData, true, 1500, 0, 1, false, true},
    {"MidDataWithoutSaveRead", scsi::Fault::DisconnectMidDataNoSdp, false, 1500, 0, 1, false,
     false},
    {"MidDataWithoutSaveWrite", scsi::Fault::DisconnectMidDataNoSdp, true, 1500, 0, 1, false, true},
    {"RestorePointers", scsi::Fault::RestorePointers, false, 1000, 0, 0, false, false},
    {"ModifyDataPointerBack", scsi::Fault::ModifyDataPointer, false, 1000, -300, 0, false, false},
    {"ModifyDataPointerBeforeStart", scsi::Fault::ModifyDataPointer, false, 1000, -1001, 0, true,
     false},
    {"ModifyDataPointerPastEnd", scsi::Fault::ModifyDataPointer, false, 1000,
     static_cast<std::int32_t>(kBytes), 0, true, false},
};

class Disconnection : public ::testing::TestWithParam<std::tuple<BoardKind, DisconnectCase>> {};

TEST_P(Disconnection, DataIsExactAndTheDiskIsServedAfter) {
    const auto [mode, c] = GetParam();
    Scene scene(mode, "/discon");
    auto& disk = scene.addDisk(kDisk, onlyWhenTold());
    scene.boot();
    // The first request settles the synchronous negotiation phase by phase; the ones after it
    // run in the controller's own Select-and-Transfer sequence.
    std::vector<std::uint8_t> data(kBytes);
    ASSERT_EQ(scene.runRequest(read10(kLba + 80, kBlocks), data).srbStatus, SRB_STATUS_SUCCESS);
    scsi::FaultSpec s = once();
    s.phase = c.write ? scsi::Phase::DataOut : scsi::Phase::DataIn;
    s.byte = c.byte;
    s.argument = c.argument;
    disk.fail(c.fault, s);

    const std::size_t mark = scene.machine.trace().mark();
    const std::vector<std::uint8_t> written = pattern(kBytes, 0x5A);
    data = c.write ? written : std::vector<std::uint8_t>(kBytes, 0);
    const Outcome out =
        scene.runRequest(c.write ? write10(kLba, kBlocks) : read10(kLba, kBlocks), data);
    EXPECT_EQ(out.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(out.scsiStatus, scsi::status::Good);
    EXPECT_EQ(out.length, kBytes);
    if (c.write) {
        EXPECT_EQ(scene.stored(kDisk, kLba, kBytes), written);
    } else {
        EXPECT_EQ(data, Scene::image(kDisk, kLba, kBytes));
    }

    auto& trace = scene.machine.trace();
    EXPECT_EQ(trace.since(mark, "bus", "reselect").size(), c.reselections);
    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    EXPECT_EQ(std::count(sent.begin(), sent.end(), scsi::msg::MessageReject), c.rejected ? 1 : 0);
    // A disconnect inside the controller's own sequence is reported at command phase 0x43, and
    // the reselection resumes that sequence at 0x45 (IDENTIFY received).
    const auto interrupts = trace.since(mark, "sbic", "interrupt");
    const bool disconnectedInSequence =
        std::any_of(interrupts.begin(), interrupts.end(), [](const auto& e) {
            return e.value(0) == kStatusDisconnected && e.value(1) == kPhaseDisconnectedInSequence;
        });
    const auto resumes = trace.since(mark, "sbic", "resume");
    const bool resumedAtIdentify = std::any_of(resumes.begin(), resumes.end(), [](const auto& e) {
        return e.value(0) == kPhaseIdentifyReceived;
    });
    EXPECT_EQ(disconnectedInSequence, c.resumedInSequence);
    EXPECT_EQ(resumedAtIdentify, c.resumedInSequence);

    data.assign(kBytes, 0);
    EXPECT_EQ(scene.runRequest(read10(kLba + 40, kBlocks), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, kLba + 40, kBytes));
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Cases, Disconnection,
                         ::testing::Combine(::testing::ValuesIn(kModes),
                                            ::testing::ValuesIn(kDisconnects)),
                         ModeAndCaseName());

class TwoDisks : public ::testing::TestWithParam<BoardKind> {};

// Requests to two disks handed over together: the first disconnects, the second is selected and
// served while it is away, then the first comes back. Both end exact.
TEST_P(TwoDisks, OneIsServedWhileTheOtherIsDisconnected) {
    Scene scene(GetParam(), "/discon");
    scsi::TargetSettings slow = onlyWhenTold();
    slow.reselectDelayNs = 20'000'000;  // away long enough for the other disk's whole request
    auto& away = scene.addDisk(kDisk, slow);
    scene.addDisk(kOther, onlyWhenTold());
    scene.boot();
    away.fail(scsi::Fault::DisconnectAfterCommand, once());

    const std::size_t mark = scene.machine.trace().mark();
    const auto first = scene.submit(read10(kLba, kBlocks), kBytes, SRB_FLAGS_DATA_IN, kDisk);
    const auto second = scene.submit(read10(kLba, kBlocks), kBytes, SRB_FLAGS_DATA_IN, kOther);
    ASSERT_TRUE(scene.port->run());
    for (const auto& [id, disk] : {std::pair{first, kDisk}, std::pair{second, kOther}}) {
        const port::Result& r = scene.port->result(id);
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << "disk " << int{disk};
        EXPECT_EQ(r.length, kBytes);
        EXPECT_EQ(r.data, Scene::image(disk, kLba, kBytes)) << "disk " << int{disk};
    }

    // The order on the bus: the first disk leaves, the second is selected and completes, then
    // the first reselects and completes.
    auto& trace = scene.machine.trace();
    const auto events = trace.since(mark, "port", "complete");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].value(0), second);
    EXPECT_EQ(events[1].value(0), first);
    const auto reselections = trace.since(mark, "bus", "reselect");
    ASSERT_EQ(reselections.size(), 1u);
    EXPECT_GT(reselections[0].time, events[0].time);
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, TwoDisks, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return modeName(p.param); });

class AbortOfDisconnected : public ::testing::TestWithParam<BoardKind> {};

// A read whose disk has disconnected is aborted: the adapter selects the disk with IDENTIFY and
// ABORT, the disk drops the command, the read comes back once as aborted, the abort as done, and
// the disk serves the next read.
TEST_P(AbortOfDisconnected, BothRequestsComeBackAndTheDiskIsServedAfter) {
    Scene scene(GetParam(), "/discon");
    scsi::TargetSettings slow = onlyWhenTold();
    slow.reselectDelayNs = 20'000'000;
    auto& disk = scene.addDisk(kDisk, slow);
    scene.boot();
    disk.fail(scsi::Fault::DisconnectAfterCommand, once());

    const std::size_t mark = scene.machine.trace().mark();
    const auto read = scene.submit(read10(kLba, kBlocks), kBytes, SRB_FLAGS_DATA_IN, kDisk);
    port::Request abort;
    abort.function = SRB_FUNCTION_ABORT_COMMAND;
    abort.target = kDisk;
    abort.abortOf = read;
    const auto aborter = scene.port->submit(abort);
    ASSERT_TRUE(scene.port->run());
    EXPECT_EQ(scene.port->result(read).srbStatus, SRB_STATUS_ABORTED);
    EXPECT_EQ(scene.port->result(aborter).srbStatus, SRB_STATUS_SUCCESS);

    auto& trace = scene.machine.trace();
    EXPECT_EQ(trace.since(mark, "target0", "abort").size(), 1u);
    const auto sent = scene.busBytes(mark, "out", kPhaseMessageOut);
    const std::vector<std::uint8_t> identifyAbort{0xC0, scsi::msg::Abort};
    EXPECT_NE(std::search(sent.begin(), sent.end(), identifyAbort.begin(), identifyAbort.end()),
              sent.end())
        << "no IDENTIFY and ABORT went out";
    // The aborted read first, then the abort; the disk never came back for the read.
    const auto completions = trace.since(mark, "port", "complete");
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_EQ(completions[0].value(0), read);
    EXPECT_EQ(completions[1].value(0), aborter);
    EXPECT_TRUE(trace.since(mark, "bus", "reselect").empty());

    std::vector<std::uint8_t> data(kBytes);
    EXPECT_EQ(scene.runRequest(read10(kLba + 8, kBlocks), data).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data, Scene::image(kDisk, kLba + 8, kBytes));
    EXPECT_TRUE(trace.since(mark, "bus", "reselect").empty())
        << "the aborted read's disk came back for it";
    scene.expectInvariants();
}

INSTANTIATE_TEST_SUITE_P(Modes, AbortOfDisconnected, ::testing::ValuesIn(kModes),
                         [](const auto& p) { return modeName(p.param); });

}  // namespace
}  // namespace cbus::e2e
