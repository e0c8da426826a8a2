// The port driver's checks of the driver's side of the contract: they must reach the tests.
#include <gtest/gtest.h>

#include "tests/e2e/scene.h"

namespace cbus::e2e {
namespace {

TEST(PortContract, CompletionOfARequestNeverHandedOverIsAnError) {
    Scene scene(BoardKind::Window);
    scene.addDisk(0);
    scene.boot();
    ASSERT_TRUE(scene.port->errors().empty());
    SCSI_REQUEST_BLOCK stranger{};
    ScsiPortNotification(RequestComplete, nullptr, &stranger);
    ASSERT_EQ(scene.port->errors().size(), 1u);
}

TEST(PortContract, SecondCompletionOfARequestIsAnError) {
    Scene scene(BoardKind::Window);
    scene.addDisk(0);
    scene.boot();
    port::Request r;
    r.cdb = read10(1, 1);
    r.flags = SRB_FLAGS_DATA_IN;
    r.length = kBlock;
    const auto id = scene.port->submit(r);
    ASSERT_TRUE(scene.port->run());
    ASSERT_EQ(scene.port->result(id).srbStatus, SRB_STATUS_SUCCESS);
    // A driver that kept a pointer to the finished request and completes it again.
    PSCSI_REQUEST_BLOCK done = scene.port->srbOf(id);
    ScsiPortNotification(RequestComplete, nullptr, done);
    ASSERT_EQ(scene.port->errors().size(), 1u);
    EXPECT_NE(scene.port->errors().front().find("twice"), std::string::npos);
}

TEST(PortContract, LongerThanTheMaximumTransferIsRefusedAtSubmission) {
    Scene scene(BoardKind::Window);
    scene.addDisk(0);
    scene.boot();
    port::Request r;
    r.cdb = read10(0, 129);
    r.flags = SRB_FLAGS_DATA_IN;
    r.length = scene.port->configuration().MaximumTransferLength + 512;
    EXPECT_THROW(scene.port->submit(r), std::invalid_argument);
}

TEST(PortContract, AccessToAPortNoMappingGaveIsAnError) {
    Scene scene(BoardKind::Window);
    scene.addDisk(0);
    scene.boot();
    (void)ScsiPortReadPortUchar(reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(0x3F0)));
    ASSERT_EQ(scene.port->errors().size(), 1u);
}

}  // namespace
}  // namespace cbus::e2e
