#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/VolumeTestSupport.h"
#include "Support/WaitUntil.h"
#include "VLFoundation/BuildConfig.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace {

using namespace testing_support;
using vl::Volume;

TEST(Volume, IdentityIsTheFirstSixteenBytesOfTheDeviceWhateverItsBlockSize)
{
    DeviceImage device;
    EXPECT_EQ(Volume::readIdentity(*device.open(512)), device.identity);
    EXPECT_EQ(Volume::readIdentity(*device.open(8)), device.identity);

    // A device that ends early, and the process's own memory at address 0, whose every read fails.
    DeviceImage tooShort(10);
    for (const auto& failing :
        { tooShort.open(512), fskit::FSBlockDeviceResource::open("/proc/self/mem", 512) }) {
        try {
            Volume::readIdentity(*failing);
            ADD_FAILURE() << failing->BSDName() << " gave an identity";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), EIO);
        }
    }
}

TEST(Volume, InitRequestHasTheExactFieldsAndTheConstructionFetchesStatistics)
{
    DeviceImage device;
    FusePeer peer;
    answerHandshake(peer, initReply(), statfsReply(5000, 512, 65536));
    os::LogCapture log;
    std::shared_ptr<Volume> volume = tasks::runBlocking(Volume::make(device.open(), connectTo(peer)));

    FuseRequest init = peer.waitForRequest(0);
    EXPECT_NE(init.header().unique, 0u);
    EXPECT_EQ(init.bytes(),
        bytesOf(vl::fuse_in_header { .len = 56, .opcode = 26, .unique = init.header().unique },
            vl::fuse_init_in { 7, 19, vl::FUSE_VOLUME_MAX_READAHEAD, vl::FUSE_INIT_VOLUME_OFFER }));
    FuseRequest statfs = peer.waitForRequest(1);
    EXPECT_EQ(statfs.bytes(),
        bytesOf(vl::fuse_in_header {
            .len = 40, .opcode = vl::FUSE_STATFS, .unique = statfs.unique(), .nodeid = 1 }));

    fskit::FSStatFSResult expected { std::string(vl::BuildConfig::variantTypeName()) };
    expected.blockSize = 512;
    expected.ioSize = 65536;
    expected.totalBlocks = 5000;
    expected.freeBlocks = 2500;
    expected.availableBlocks = 1250;
    expected.totalFiles = 1000;
    expected.freeFiles = 900;
    EXPECT_EQ(volume->volumeStatistics(), expected);

    EXPECT_EQ(volume->uuid(), device.identity);
    EXPECT_EQ(volume->name().string(), "Vorlane Volume");
    std::vector<std::string> info = log.texts(os::LogLevel::info);
    EXPECT_EQ(info.at(0), "Create volume with identifier " + device.identity.uuidString());
    EXPECT_EQ(info.at(1), "Connect with file system process");
    EXPECT_EQ(info.at(2), "Update volume statisitics");
}

// The daemon's INIT reply: a version older than 7.19 is refused with that version; the flags
// lift the inhibitions of volume rename and extended access and set the case format.
TEST(Volume, InitReplyVersionsBelow719AreRefusedAndItsFlagsSetTheCapabilities)
{
    using Format = fskit::FSVolume::CaseFormat;
    constexpr std::uint32_t all
        = vl::FUSE_INIT_VOLUME_RENAME | vl::FUSE_INIT_CASE_INSENSITIVE | vl::FUSE_INIT_EXTENDED_ACCESS;
    DeviceImage device;
    for (auto [major, minor, flags, accepted, renameInhibited, accessInhibited, caseFormat] :
        { std::tuple { 7u, 18u, all, false, true, true, Format::sensitive },
            { 7u, 19u, 0u, true, true, true, Format::sensitive },
            { 7u, 19u, vl::FUSE_INIT_VOLUME_RENAME, true, false, true, Format::sensitive },
            { 8u, 0u, all, true, false, false, Format::insensitiveCasePreserving },
            { 7u, 19u, vl::FUSE_INIT_CASE_INSENSITIVE, true, true, true,
                Format::insensitiveCasePreserving } }) {
        FusePeer peer;
        answerHandshake(peer, initReply(major, minor, flags));
        try {
            std::shared_ptr<Volume> volume = tasks::runBlocking(Volume::make(device.open(), connectTo(peer)));
            ASSERT_TRUE(accepted) << major << "." << minor;
            fskit::FSVolume::SupportedCapabilities capabilities = volume->supportedVolumeCapabilities();
            EXPECT_EQ(std::tuple(volume->isVolumeRenameInhibited(), volume->isExtendedAccessInhibited(),
                          capabilities.caseFormat),
                std::tuple(renameInhibited, accessInhibited, caseFormat))
                << flags;
            EXPECT_TRUE(capabilities.supportsHardLinks && capabilities.doesNotSupportRootTimes);
            EXPECT_FALSE(capabilities.supportsJournal);
        } catch (const Volume::VError& error) {
            EXPECT_FALSE(accepted) << major << "." << minor;
            EXPECT_EQ(error.code(), Volume::VError::Code::unsupportedBinaryInterface);
            EXPECT_EQ(error.version(), (std::pair<std::uint32_t, std::uint32_t>(major, minor)));
        }
    }
}

TEST(Volume, StatisticsReadsAnswerAtOnceAndRefreshInTheBackground)
{
    EXPECT_EQ(Volume::initialStatistics().totalBlocks, 268435456u);
    EXPECT_EQ(Volume::initialStatistics().ioSize, 1048576);
    EXPECT_EQ(Volume::initialStatistics().totalFiles, std::numeric_limits<std::uint64_t>::max());

    DeviceImage device;
    // Declared before the peer: refreshes still in flight when the test ends reach its handler
    // until the peer has stopped.
    std::atomic<int> statfsCount { 0 };
    FusePeer peer;
    peer.on(vl::FUSE_INIT, [](const FuseRequest&) { return FuseAnswer::replyWith(initReply()); });
    // STATFS 1 (construction) and 4 (an explicit update) are answered, 2 fails, and the rest stay
    // unanswered, so that no refresh started by a read can change the value that read returns.
    peer.on(vl::FUSE_STATFS, [&](const FuseRequest&) {
        int count = ++statfsCount;
        if (count == 2)
            return FuseAnswer::error(EIO);
        if (count == 1 || count == 4)
            return FuseAnswer::replyWith(statfsReply(count * 100));
        return FuseAnswer::unanswered();
    });
    std::shared_ptr<Volume> volume = tasks::runBlocking(Volume::make(device.open(), connectTo(peer)));
    os::LogCapture log;
    // The read answers at once with what construction fetched; its refresh fails and says so.
    EXPECT_EQ(volume->volumeStatistics().totalBlocks, 100u);
    waitUntil([&log] { return !log.texts(os::LogLevel::error).empty(); });
    EXPECT_EQ(log.texts(os::LogLevel::error).at(0).rfind("Failed to update volume statistics: ", 0), 0u);
    // The failed refresh left the cached value alone.
    EXPECT_EQ(volume->volumeStatistics().totalBlocks, 100u);
    peer.waitForRequestCount(4);
    // An update replaces the cached value whole.
    tasks::runBlocking(volume->updateVolumeStatistics());
    EXPECT_EQ(volume->volumeStatistics().totalBlocks, 400u);
}

} // namespace
