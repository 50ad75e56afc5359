#include "vorlane-fskitd/FSKitHost.h"

#include "LoadedVolume.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace testing_support;

TEST(FSKitHost, BringsAVolumeUpReportsItAndTakesItDownAgain)
{
    LoadedVolume loaded(initReply(7, 19, vl::FUSE_INIT_CASE_INSENSITIVE), statfsReply(2048));
    std::string report = loaded.fskit.report();
    for (const std::string& line : { std::string("probed as: Vorlane Volume"),
             "volume identifier: " + loaded.device.identity.uuidString(),
             std::string("case format: case-insensitive, case-preserving"),
             std::string("blocks: 2048 total, 1024 free, 512 available"),
             std::string("root attributes: file identifier 2, parent 1, mode 0755, links 3, owner 501:20") })
        EXPECT_NE(report.find(line + "\n"), std::string::npos) << report;

    loaded.fskit.stop();
    EXPECT_EQ(loaded.told->next().string("Operation"), "device-deactivate");
    std::vector<FuseRequest> requests = loaded.peer.requests();
    EXPECT_TRUE(std::any_of(requests.begin(), requests.end(),
        [](const FuseRequest& request) { return request.opcode() == vl::FUSE_DESTROY; }));
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
