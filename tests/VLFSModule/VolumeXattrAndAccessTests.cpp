// Extended attributes, the access check, synchronisation and volume rename against a scripted
// daemon, and the refusals every item operation shares.
#include "VLFSModule/ItemFileHandle.h"
#include "VolumeOperationTesting.h"

#include <array>
#include <set>

namespace {

using namespace testing_support;
using namespace std::string_literals;
using Policy = fskit::FSVolume::SetXattrPolicy;
using VolumeOperations = VolumeOperationTest;

// Answers a size request with the size of `contents`, a fetch with `fetched` (or `contents`).
void serve(
    FusePeer& peer, vl::fuse_opcode opcode, std::string contents, std::optional<std::string> fetched = {})
{
    peer.on(opcode, [=](const FuseRequest& request) {
        return request.bodyAs<vl::fuse_getxattr_in>().size
            ? FuseAnswer::reply(bytesOf(fetched.value_or(contents)))
            : FuseAnswer::replyWith(vl::fuse_getxattr_out { std::uint32_t(contents.size()) });
    });
}

TEST_F(VolumeOperations, XattrsAreListedAndReadAsSizeThenBytesAndSetWithThePolicysFlagOrRemovedByName)
{
    std::shared_ptr<vl::Item> item = itemFor(5, 0100644);
    fskit::FSFileName name { "user.k" };
    using Names = std::vector<std::optional<std::string>>;
    for (auto [value, names] :
        { std::pair { "a\0bb\0"s, Names { "a", "bb" } }, { "a\0\0b"s, { "a", "b" } }, { ""s, {} } }) {
        serve(peer, vl::FUSE_LISTXATTR, value);
        serve(peer, vl::FUSE_GETXATTR, value);
        std::size_t first = mark();
        Names listed;
        for (const fskit::FSFileName& each : tasks::runBlocking(volume->xattrs(item)))
            listed.push_back(each.string());
        EXPECT_EQ(listed, names);
        EXPECT_EQ(tasks::runBlocking(volume->xattr(name, item)), foundation::Data(value));
        std::vector<Sent> expected;
        for (std::string_view named : { ""sv, "user.k\0"sv })
            for (std::uint32_t size : std::set { 0u, std::uint32_t(value.size()) })
                expected.emplace_back(named.empty() ? vl::FUSE_LISTXATTR : vl::FUSE_GETXATTR, 5,
                    joined(vl::fuse_getxattr_in { size }, named));
        EXPECT_EQ(sentSince(first), expected);
    }
    peer.onAnyOther([](const FuseRequest&) { return FuseAnswer::reply(); });
    for (auto [policy, value, sent] :
        { std::tuple { Policy::alwaysSet, "v"s,
              Sent { vl::FUSE_SETXATTR, 5, joined(vl::fuse_setxattr_in { 1 }, "user.k\0v"sv) } },
            { Policy::mustCreate, ""s,
                Sent { vl::FUSE_SETXATTR, 5, joined(vl::fuse_setxattr_in { 0, 2 }, "user.k\0"sv) } },
            { Policy::mustReplace, "xyz"s,
                Sent { vl::FUSE_SETXATTR, 5, joined(vl::fuse_setxattr_in { 3, 4 }, "user.k\0xyz"sv) } },
            { Policy::deleteXattr, "ignored"s, Sent { vl::FUSE_REMOVEXATTR, 5, joined("user.k\0"sv) } } }) {
        std::size_t first = mark();
        tasks::runBlocking(volume->setXattr(name, foundation::Data(value), item, policy));
        EXPECT_EQ(sentSince(first), std::vector { sent });
    }
}

TEST_F(VolumeOperations, XattrErrorsAreENOTSUPForENOSYSEINVALForAMissingValueAndENXIOForAShortReply)
{
    std::shared_ptr<vl::Item> item = itemFor(5, 0100644);
    fskit::FSFileName name { "user.k" };
    for (int error : { posix::enosys, posix::enoattr, posix::erange }) {
        peer.onAnyOther([error](const FuseRequest&) { return FuseAnswer::error(error); });
        EXPECT_EQ((std::vector { errnoOf(volume->xattrs(item)), errnoOf(volume->xattr(name, item)),
                      errnoOf(volume->setXattr(name, foundation::Data(), item, Policy::alwaysSet)),
                      errnoOf(volume->setXattr(name, foundation::Data(), item, Policy::deleteXattr)) }),
            std::vector<int>(4, error == posix::enosys ? posix::enotsup : error));
    }
    std::size_t first = mark();
    for (Policy policy : { Policy::alwaysSet, Policy::mustCreate, Policy::mustReplace })
        EXPECT_EQ(errnoOf(volume->setXattr(name, std::nullopt, item, policy)), posix::einval);
    EXPECT_EQ(mark(), first) << "a set without a value reaches no daemon";
    serve(peer, vl::FUSE_LISTXATTR, "abcdef", "abc");
    serve(peer, vl::FUSE_GETXATTR, "abcdef", "");
    EXPECT_EQ(errnoOf(volume->xattrs(item)), posix::enxio);
    EXPECT_EQ(errnoOf(volume->xattr(name, item)), posix::enxio);
}

TEST_F(VolumeOperations, TheAccessMaskCarriesExtendedBitsOnlyForADaemonThatChecksThemAndRefusalsAreANo)
{
    FusePeer extendedPeer;
    answerHandshake(extendedPeer, initReply(7, 19, 0x00800000));
    auto extended = tasks::runBlocking(vl::Volume::make(device.open(), connectTo(extendedPeer)));
    answer(vl::FUSE_ACCESS, FuseAnswer::reply());
    extendedPeer.on(vl::FUSE_ACCESS, [](const FuseRequest&) { return FuseAnswer::reply(); });
    for (auto [requested, plain, withExtended] : { std::array { 0x2u, 4u, 0x204u }, { 0xCu, 3u, 0xC03u },
             { 0x80u, 4u, 0x8004u }, { 0x1u, 0u, 0u }, { 0x6000u, 0u, 0x200000u } }) {
        for (auto [checked, daemon, mask] :
            { std::tuple { volume, &peer, plain }, { extended, &extendedPeer, withExtended } }) {
            std::size_t first = daemon->requests().size();
            EXPECT_TRUE(tasks::runBlocking(checked->checkAccess(root, fskit::FSAccessMask(requested))));
            EXPECT_EQ(sentAs(daemon->waitForRequest(first)),
                (Sent { vl::FUSE_ACCESS, 1, bytesOf(vl::fuse_access_in { mask }) }));
        }
    }
    for (auto [error, expected] : { std::pair { posix::eacces, 0 }, { posix::etxtbsy, 0 },
             { posix::erofs, 0 }, { posix::enosys, posix::enotsup }, { posix::enoent, posix::enoent } }) {
        answer(vl::FUSE_ACCESS, FuseAnswer::error(error));
        EXPECT_EQ(errnoOf(volume->checkAccess(root, fskit::FSAccessMask::readData)), expected);
        EXPECT_TRUE(
            expected || !tasks::runBlocking(volume->checkAccess(root, fskit::FSAccessMask::readData)));
    }
}

TEST_F(VolumeOperations,
    SynchronisationFsyncsOpenFilesDirectoriesAndDevicesThenRefreshesStatisticsAndFailsWithTheFirstFailure)
{
    for (auto [node, mode] : { std::pair { 5u, 0100644u }, { 6u, 0040755u }, { 7u, 0060600u },
             { 8u, 0120777u }, { 9u, 0010644u } })
        itemFor(node, mode)->fh
            = std::make_shared<vl::Item::FileHandle>(fskit::FSVolumeOpenModes::read, node * 10, 0, 0);
    itemFor(10, 0100644);
    peer.onAnyOther([](const FuseRequest&) { return FuseAnswer::reply(); });
    std::size_t first = mark();
    tasks::runBlocking(volume->synchronize(fskit::FSSyncFlags::wait));
    std::vector<Sent> sent = sentSince(first);
    EXPECT_EQ(std::get<0>(sent.back()), vl::FUSE_STATFS);
    sent.pop_back();
    std::ranges::sort(sent);
    EXPECT_EQ(sent,
        (std::vector<Sent> { { vl::FUSE_FSYNC, 5, bytesOf(vl::fuse_fsync_in { 50, 1 }) },
            { vl::FUSE_FSYNC, 7, bytesOf(vl::fuse_fsync_in { 70, 1 }) },
            { vl::FUSE_FSYNCDIR, 6, bytesOf(vl::fuse_fsync_in { 60, 1 }) } }));
    answer(vl::FUSE_FSYNCDIR, FuseAnswer::error(posix::enosys));
    first = mark();
    EXPECT_EQ(errnoOf(volume->synchronize(fskit::FSSyncFlags::wait)), posix::enotsup);
    EXPECT_EQ(std::ranges::count(opcodesSince(first), vl::FUSE_STATFS), 0)
        << "the statistics are left as they were";
}

TEST_F(VolumeOperations, VolumeRenameSendsTheNameOnNodeZeroAndTakesItOnlyOnSuccess)
{
    answer(vl::FUSE_SETVOLNAME, FuseAnswer::reply());
    std::size_t first = mark();
    EXPECT_EQ(
        tasks::runBlocking(volume->setVolumeName(fskit::FSFileName("Backup"))), fskit::FSFileName("Backup"));
    EXPECT_EQ(sentSince(first), (std::vector { Sent { vl::FUSE_SETVOLNAME, 0, joined("Backup\0"sv) } }));
    answer(vl::FUSE_SETVOLNAME, FuseAnswer::error(posix::ebusy));
    EXPECT_EQ(errnoOf(volume->setVolumeName(fskit::FSFileName("Other"))), posix::ebusy);
    EXPECT_EQ(volume->name(), fskit::FSFileName("Backup"));
}

TEST_F(VolumeOperations, EveryOperationRefusesForeignItemsAndAMissingChannelBeforeSending)
{
    fskit::FSFileName n("a");
    std::vector<std::uint8_t> buffer(1);
    auto nothing = std::make_shared<fskit::FSItemSetAttributesRequest>();
    // Every item operation with `x` in one item's place (in turn) and `r` in the others.
    auto all = [&](fskit::FSVolume::ItemPointer x, fskit::FSVolume::ItemPointer r) {
        return std::vector { errnoOf(volume->closeItem(x, {})),
            errnoOf(volume->openItem(x, fskit::FSVolumeOpenModes::read)),
            errnoOf(volume->read(x, 0, 1, buffer)), errnoOf(volume->write(vl::DiscontiguousData(), x, 0)),
            errnoOf(volume->enumerateDirectory(x, 0, nullptr, nullptr)), errnoOf(volume->readSymbolicLink(x)),
            errnoOf(volume->createItem(n, fskit::FSItemType::file, x, nullptr)),
            errnoOf(volume->createSymbolicLink(n, x, n)), errnoOf(volume->createLink(x, n, r)),
            errnoOf(volume->createLink(r, n, x)), errnoOf(volume->removeItem(x, n, r)),
            errnoOf(volume->removeItem(r, n, x)), errnoOf(volume->renameItem(x, r, n, n, r, r)),
            errnoOf(volume->renameItem(r, x, n, n, r, r)), errnoOf(volume->renameItem(r, r, n, n, x, r)),
            errnoOf(volume->renameItem(r, r, n, n, r, x)), errnoOf(volume->xattrs(x)),
            errnoOf(volume->xattr(n, x)), errnoOf(volume->setXattr(n, {}, x, Policy::deleteXattr)),
            errnoOf(volume->checkAccess(x, fskit::FSAccessMask::readData)), errnoOf(volume->lookupItem(n, x)),
            errnoOf(volume->attributes(x)), errnoOf(volume->setAttributes(nothing, x)),
            errnoOf(volume->reclaimItem(x)) };
    };
    peer.onAnyOther(
        [](const FuseRequest&) { return FuseAnswer::error(posix::enotsup); }); // fails, not hangs, if sent
    std::size_t first = mark();
    const int eio = posix::eio, enoent = posix::enoent, enxio = posix::enxio;
    EXPECT_EQ(all(std::make_shared<ForeignItem>(), root),
        (std::vector { eio, eio, eio, eio, enoent, eio, eio, eio, eio, eio, enoent, enoent, eio, eio, eio,
            eio, eio, eio, eio, eio, eio, eio, eio, eio }));
    EXPECT_EQ(mark(), first);
    disconnect();
    first = mark();
    // The root is open: its last close needs the channel, another open of it does not.
    root->fh = std::make_shared<vl::Item::FileHandle>(fskit::FSVolumeOpenModes::read, 1, 0, 0);
    EXPECT_EQ(all(root, root),
        (std::vector { enxio, 0, enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio,
            enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio, enxio }));
    EXPECT_EQ(root->state, vl::Item::State::active);
    EXPECT_EQ(errnoOf(volume->synchronize(fskit::FSSyncFlags::wait)) + errnoOf(volume->setVolumeName(n)),
        2 * enxio);
    EXPECT_EQ(mark(), first);
}

} // namespace
