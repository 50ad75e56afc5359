// Extended attributes against a scripted daemon: the size-then-bytes exchanges, the flags of each
// policy, removal as its own request, and the errors FSKit sees.
#include "VolumeOperationTesting.h"

#include <gtest/gtest.h>

namespace {

using namespace testing_support;
using Policy = fskit::FSVolume::SetXattrPolicy;

std::vector<std::byte> concatenated(std::vector<std::byte> first, std::string_view rest)
{
    for (std::byte byte : bytesOf(rest))
        first.push_back(byte);
    return first;
}

class VolumeXattrs : public VolumeOperationTest {
protected:
    // Answers a size request with the size of `contents`, a fetch with `fetched` (or `contents`).
    void serve(vl::fuse_opcode opcode, std::string contents, std::optional<std::string> fetched = {})
    {
        peer.on(opcode, [=](const FuseRequest& request) {
            if (request.bodyAs<vl::fuse_getxattr_in>().size == 0)
                return FuseAnswer::replyWith(vl::fuse_getxattr_out{.size = std::uint32_t(contents.size())});
            return FuseAnswer::reply(bytesOf(fetched.value_or(contents)));
        });
    }
    std::shared_ptr<vl::Item> item = itemFor(5, 0100644);
    fskit::FSFileName name{"user.k"};
};

TEST_F(VolumeXattrs, ListingAndReadingAskForTheSizeThenExactlyThatManyBytes)
{
    using Names = std::vector<std::optional<std::string>>;
    for (auto [listing, expected] : std::vector<std::pair<std::string, Names>>{
             {{"a\0bb\0", 5}, {"a", "bb"}}, {{"a\0\0b", 4}, {"a", "b"}}, {"", {}}}) {
        serve(vl::FUSE_LISTXATTR, listing);
        std::size_t first = mark();
        Names names;
        for (const fskit::FSFileName& listed : tasks::runBlocking(volume->xattrs(item)))
            names.push_back(listed.string());
        EXPECT_EQ(names, expected);
        EXPECT_EQ(bodyOf(peer.waitForRequest(first)), bytesOf(vl::fuse_getxattr_in{}));
        EXPECT_EQ(peer.waitForRequest(first).nodeid(), 5u);
        ASSERT_EQ(mark() - first, listing.empty() ? 1u : 2u);
        if (!listing.empty())
            EXPECT_EQ(bodyOf(peer.waitForRequest(first + 1)),
                      bytesOf(vl::fuse_getxattr_in{.size = std::uint32_t(listing.size())}));
    }
    for (std::string value : {"hello", ""}) {
        serve(vl::FUSE_GETXATTR, value);
        std::size_t first = mark();
        EXPECT_EQ(tasks::runBlocking(volume->xattr(name, item)), foundation::Data(value));
        EXPECT_EQ(bodyOf(peer.waitForRequest(first)), concatenated(bytesOf(vl::fuse_getxattr_in{}), {"user.k\0", 7}));
        ASSERT_EQ(mark() - first, value.empty() ? 1u : 2u);
        if (!value.empty())
            EXPECT_EQ(bodyOf(peer.waitForRequest(first + 1)),
                      concatenated(bytesOf(vl::fuse_getxattr_in{.size = 5}), {"user.k\0", 7}));
    }
}

TEST_F(VolumeXattrs, SettingSendsThePolicysFlagAndTheValueWhileRemovalSendsTheNameAlone)
{
    peer.onAnyOther([](const FuseRequest&) { return FuseAnswer::reply(); });
    struct Case {
        Policy policy;
        std::string value;
        vl::fuse_opcode opcode;
        std::vector<std::byte> body;
    };
    for (const Case& set : std::vector<Case>{
             {Policy::alwaysSet, "v", vl::FUSE_SETXATTR, concatenated(bytesOf(vl::fuse_setxattr_in{.size = 1}), {"user.k\0v", 8})},
             {Policy::mustCreate, "", vl::FUSE_SETXATTR, concatenated(bytesOf(vl::fuse_setxattr_in{.flags = 2}), {"user.k\0", 7})},
             {Policy::mustReplace, "xyz", vl::FUSE_SETXATTR,
              concatenated(bytesOf(vl::fuse_setxattr_in{.size = 3, .flags = 4}), {"user.k\0xyz", 10})},
             {Policy::deleteXattr, "ignored", vl::FUSE_REMOVEXATTR, bytesOf(std::string_view("user.k\0", 7))}}) {
        std::size_t first = mark();
        ASSERT_EQ(errnoOf(volume->setXattr(name, foundation::Data(set.value), item, set.policy)), 0);
        EXPECT_EQ(peer.waitForRequest(first).opcode(), set.opcode);
        EXPECT_EQ(peer.waitForRequest(first).nodeid(), 5u);
        EXPECT_EQ(bodyOf(peer.waitForRequest(first)), set.body);
    }
    std::size_t first = mark();
    for (Policy policy : {Policy::alwaysSet, Policy::mustCreate, Policy::mustReplace})
        EXPECT_EQ(errnoOf(volume->setXattr(name, std::nullopt, item, policy)), posix::einval);
    EXPECT_EQ(mark(), first) << "a set without a value reaches no daemon";
}

TEST_F(VolumeXattrs, ENOSYSBecomesENOTSUPOtherErrnosStayAndAShortSecondReplyIsENXIO)
{
    for (int answer : {posix::enosys, posix::enoattr, posix::erange}) {
        int expected = answer == posix::enosys ? posix::enotsup : answer;
        peer.onAnyOther([answer](const FuseRequest&) { return FuseAnswer::error(answer); });
        EXPECT_EQ(errnoOf(volume->xattrs(item)), expected);
        EXPECT_EQ(errnoOf(volume->xattr(name, item)), expected);
        for (Policy policy : {Policy::alwaysSet, Policy::deleteXattr})
            EXPECT_EQ(errnoOf(volume->setXattr(name, foundation::Data(), item, policy)), expected);
    }
    serve(vl::FUSE_LISTXATTR, "abcdef", "abc");
    serve(vl::FUSE_GETXATTR, "abcdef", "");
    EXPECT_EQ(errnoOf(volume->xattrs(item)), posix::enxio);
    EXPECT_EQ(errnoOf(volume->xattr(name, item)), posix::enxio);
}

} // namespace
