#include "VLFSModule/FileSystem.h"
#include "VLFSModule/Service.h"
#include "vorlane-fskitd/FSKitHost.h"

#include "Support/Mailbox.h"
#include "Support/VolumeTestSupport.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;

TEST(FSKitHost, BringsAVolumeUpReportsItAndTakesItDownAgain)
{
    DeviceImage device;
    FusePeer peer;
    answerHandshake(peer, initReply(7, 19, vl::FUSE_INIT_CASE_INSENSITIVE), statfsReply(2048));
    peer.on(vl::FUSE_DESTROY, [](const FuseRequest&) { return FuseAnswer::reply(); });
    peer.on(vl::FUSE_GETATTR, [](const FuseRequest& request) {
        vl::fuse_attr_out out {};
        out.attr.ino = request.nodeid();
        out.attr.mode = 0040750;
        out.attr.nlink = 3;
        out.attr.uid = 501;
        out.attr.gid = 20;
        return FuseAnswer::replyWith(out);
    });
    // Shared with the handler, whose push may still be returning when the test ends.
    auto told = std::make_shared<Mailbox<xpc::XPCDictionary>>();
    TestServer daemonService(xpc::Connection::createMachServiceListener(vl::Service::daemon().machService),
        [told](const xpc::XPCDictionary& message, xpc::Connection&) { told->push(message); });
    vl::FileSystem fileSystem(connectTo(peer));
    host::FSKitHost fskit(fileSystem, device.open());

    fskit.start();
    std::string report = fskit.report();
    EXPECT_NE(report.find("probed as: Vorlane Volume\n"), std::string::npos) << report;
    EXPECT_NE(report.find("volume identifier: " + device.identity.uuidString() + "\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("case format: case-insensitive, case-preserving\n"), std::string::npos) << report;
    EXPECT_NE(report.find("blocks: 2048 total, 1024 free, 512 available\n"), std::string::npos) << report;
    EXPECT_NE(report.find("root attributes: file identifier 2, parent 1, mode 0750, links 3, owner 501:20\n"),
        std::string::npos)
        << report;

    fskit.stop();
    EXPECT_EQ(told->next().string("Operation"), "device-deactivate");
    bool destroyed = false;
    for (const FuseRequest& request : peer.requests())
        destroyed = destroyed || request.opcode() == vl::FUSE_DESTROY;
    EXPECT_TRUE(destroyed);
    daemonService.stop();
}

TEST(FSKitHost, AFailedLoadIsReportedAndNothingIsLeftToTakeDown)
{
    DeviceImage device;
    FusePeer peer;
    answerHandshake(peer, initReply(7, 12));
    vl::FileSystem fileSystem(connectTo(peer));
    host::FSKitHost fskit(fileSystem, device.open());
    EXPECT_THROW(fskit.start(), vl::Volume::VError);
    EXPECT_EQ(fskit.report(), "device: /dev/" + device.open()->BSDName() + "\nprobed as: Vorlane Volume\n");
    EXPECT_NO_THROW(fskit.stop());
}

} // namespace
