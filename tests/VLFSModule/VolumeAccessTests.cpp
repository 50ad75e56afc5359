// The access check, synchronisation and volume rename against a scripted daemon.
#include "Platform/OS/Logger.h"
#include "VLFSModule/ItemFileHandle.h"
#include "VolumeOperationTesting.h"

#include <gtest/gtest.h>

#include <array>
#include <map>

namespace {

using namespace testing_support;
using vl::Item;

class VolumeAccessSyncAndName : public VolumeOperationTest {};

TEST_F(VolumeAccessSyncAndName, TheAccessMaskCarriesExtendedBitsOnlyForADaemonThatChecksThem)
{
    os::LogCapture log;
    FusePeer extendedPeer;
    answerHandshake(extendedPeer, initReply(7, 19, 0x00800000));
    std::shared_ptr<vl::Volume> extended = tasks::runBlocking(vl::Volume::make(device.open(), connectTo(extendedPeer)));
    for (FusePeer* daemon : {&peer, &extendedPeer})
        daemon->on(vl::FUSE_ACCESS, [](const FuseRequest&) { return FuseAnswer::reply(); });
    struct Case {
        std::uint32_t requested, plain, withExtended;
    };
    for (Case access : {Case{0x2, 4, 0x204}, Case{0x4 | 0x8, 3, 0xC03}, Case{0x80, 4, 0x8004}, Case{0x1, 0, 0},
                        Case{0x6000, 0, 0x200000}}) {
        for (auto [checked, daemon, mask] : {std::tuple{volume, &peer, access.plain},
                                             std::tuple{extended, &extendedPeer, access.withExtended}}) {
            std::size_t first = daemon->requests().size();
            EXPECT_TRUE(tasks::runBlocking(checked->checkAccess(root, fskit::FSAccessMask(access.requested))));
            EXPECT_EQ(daemon->waitForRequest(first).nodeid(), 1u);
            EXPECT_EQ(bodyOf(daemon->waitForRequest(first)), bytesOf(vl::fuse_access_in{.mask = mask}))
                << std::hex << access.requested;
        }
    }
    EXPECT_TRUE(log.contains(os::LogLevel::info, "checkAccess() has been called"));
}

TEST_F(VolumeAccessSyncAndName, RefusalsAreFalseENOSYSIsENOTSUPAndOtherErrorsFail)
{
    for (auto [answer, expected] : std::vector<std::pair<int, int>>{
             {posix::eacces, 0}, {posix::etxtbsy, 0}, {posix::erofs, 0}, {posix::enosys, posix::enotsup}, {posix::enoent, posix::enoent}}) {
        peer.on(vl::FUSE_ACCESS, [code = answer](const FuseRequest&) { return FuseAnswer::error(code); });
        EXPECT_EQ(errnoOf(volume->checkAccess(root, fskit::FSAccessMask::readData)), expected) << answer;
        if (expected == 0)
            EXPECT_FALSE(tasks::runBlocking(volume->checkAccess(root, fskit::FSAccessMask::readData)));
    }
}

TEST_F(VolumeAccessSyncAndName, SynchronisationFsyncsEveryOpenFileDirectoryAndDeviceThenRefreshesStatistics)
{
    std::size_t first = mark();
    tasks::runBlocking(volume->synchronize(fskit::FSSyncFlags::wait));
    EXPECT_EQ(opcodesSince(first), std::vector{vl::FUSE_STATFS});

    std::map<std::uint64_t, std::pair<vl::fuse_opcode, std::uint64_t>> expected{
        {5, {vl::FUSE_FSYNC, 50}}, {6, {vl::FUSE_FSYNCDIR, 60}}, {7, {vl::FUSE_FSYNC, 70}}};
    for (auto [node, mode] : std::vector<std::pair<std::uint64_t, std::uint32_t>>{
             {5, 0100644}, {6, 0040755}, {7, 0060600}, {8, 0120777}, {9, 0010644}})
        itemFor(node, mode)->fh = std::make_shared<Item::FileHandle>(fskit::FSVolumeOpenModes::read, node * 10, 0, 0);
    itemFor(10, 0100644);
    peer.onAnyOther([](const FuseRequest&) { return FuseAnswer::reply(); });
    first = mark();
    tasks::runBlocking(volume->synchronize(fskit::FSSyncFlags::wait));
    std::map<std::uint64_t, std::pair<vl::fuse_opcode, std::uint64_t>> synced;
    for (std::size_t index = first; index + 1 < mark(); ++index) {
        FuseRequest request = peer.waitForRequest(index);
        EXPECT_EQ(request.bodyAs<vl::fuse_fsync_in>().fsync_flags, 1u);
        synced[request.nodeid()] = {request.opcode(), request.bodyAs<vl::fuse_fsync_in>().fh};
    }
    EXPECT_EQ(synced, expected);
    EXPECT_EQ(opcodesSince(first).back(), vl::FUSE_STATFS);

    // The first failure fails the call, and the statistics are left as they were.
    peer.on(vl::FUSE_FSYNCDIR, [](const FuseRequest&) { return FuseAnswer::error(posix::enosys); });
    first = mark();
    EXPECT_EQ(errnoOf(volume->synchronize(fskit::FSSyncFlags::wait)), posix::enotsup);
    for (vl::fuse_opcode opcode : opcodesSince(first))
        EXPECT_NE(opcode, vl::FUSE_STATFS);
}

TEST_F(VolumeAccessSyncAndName, VolumeRenameSendsTheNameOnNodeZeroAndTakesItOnlyOnSuccess)
{
    peer.on(vl::FUSE_SETVOLNAME, [](const FuseRequest&) { return FuseAnswer::reply(); });
    std::size_t first = mark();
    EXPECT_EQ(tasks::runBlocking(volume->setVolumeName(fskit::FSFileName("Backup"))), fskit::FSFileName("Backup"));
    EXPECT_EQ(peer.waitForRequest(first).opcode(), vl::FUSE_SETVOLNAME);
    EXPECT_EQ(peer.waitForRequest(first).nodeid(), 0u);
    EXPECT_EQ(bodyOf(peer.waitForRequest(first)), bytesOf(std::string_view("Backup\0", 7)));
    EXPECT_EQ(volume->name(), fskit::FSFileName("Backup"));
    peer.on(vl::FUSE_SETVOLNAME, [](const FuseRequest&) { return FuseAnswer::error(posix::ebusy); });
    EXPECT_EQ(errnoOf(volume->setVolumeName(fskit::FSFileName("Other"))), posix::ebusy);
    EXPECT_EQ(volume->name(), fskit::FSFileName("Backup"));
}

TEST_F(VolumeAccessSyncAndName, EveryOperationRefusesForeignItemsAndAMissingChannelBeforeSending)
{
    using Pointer = fskit::FSVolume::ItemPointer;
    Pointer ours = root, foreign = std::make_shared<ForeignItem>();
    fskit::FSFileName name("a");
    std::size_t first = mark();
    EXPECT_EQ(errnoOf(volume->removeItem(foreign, name, ours)), posix::enoent);
    EXPECT_EQ(errnoOf(volume->removeItem(ours, name, foreign)), posix::enoent);
    for (auto [moved, from, to, over] : std::vector<std::array<Pointer, 4>>{
             {foreign, ours, ours, ours}, {ours, foreign, ours, ours}, {ours, ours, foreign, ours}, {ours, ours, ours, foreign}})
        EXPECT_EQ(errnoOf(volume->renameItem(moved, from, name, name, to, over)), posix::eio);
    EXPECT_EQ(errnoOf(volume->xattr(name, foreign)), posix::eio);
    EXPECT_EQ(errnoOf(volume->checkAccess(foreign, fskit::FSAccessMask::readData)), posix::eio);
    EXPECT_EQ(mark(), first);
    disconnect();
    first = mark();
    for (int refusal : {errnoOf(volume->removeItem(ours, name, ours)),
                        errnoOf(volume->renameItem(ours, ours, name, name, ours, nullptr)), errnoOf(volume->xattrs(ours)),
                        errnoOf(volume->setXattr(name, std::nullopt, ours, fskit::FSSetXattrPolicy::deleteXattr)),
                        errnoOf(volume->checkAccess(ours, fskit::FSAccessMask::readData)),
                        errnoOf(volume->synchronize(fskit::FSSyncFlags::wait)), errnoOf(volume->setVolumeName(name))})
        EXPECT_EQ(refusal, posix::enxio);
    EXPECT_EQ(mark(), first);
}

} // namespace
