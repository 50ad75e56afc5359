#include "VLChannel/Channel.h"

#include "ByteHelpers.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

namespace vl {
namespace {

using MessageType = Channel::MessageType;

DiscontiguousData message(
    std::int32_t error, std::uint64_t unique, std::initializer_list<std::size_t> cuts = {})
{
    fuse_out_header header { .len = 20, .error = error, .unique = unique };
    return test::splitAt(
        test::concatenated({ test::bytesOfValue(header), test::Bytes { 1, 2, 3, 4 } }), cuts);
}

TEST(MessageTypeTest, UniqueZeroMarksANotificationWhoseCodeIsTheErrorField)
{
    EXPECT_EQ(MessageType::classify(message(2, 0)),
        MessageType { MessageType::Notification { FUSE_NOTIFY_INVAL_INODE } });
    EXPECT_EQ(MessageType::classify(message(-2, 0)),
        MessageType { MessageType::Notification { static_cast<fuse_notify_code>(0xFFFF'FFFEu) } });
}

TEST(MessageTypeTest, AnyOtherUniqueIsAReplyWithThePositiveErrno)
{
    EXPECT_EQ(MessageType::classify(message(-2, 7)), (MessageType { MessageType::Reply { 7, ENOENT } }));
    EXPECT_EQ(MessageType::classify(message(0, 7)), (MessageType { MessageType::Reply { 7, 0 } }));
    EXPECT_EQ(MessageType::classify(message(-ENOTDIR, std::numeric_limits<std::uint64_t>::max())),
        (MessageType { MessageType::Reply { std::numeric_limits<std::uint64_t>::max(), ENOTDIR } }));
    EXPECT_EQ(MessageType::classify(message(std::numeric_limits<std::int32_t>::min(), 3)),
        (MessageType { MessageType::Reply { 3, ENXIO } }));
}

TEST(MessageTypeTest, HeaderSplitOverSeveralRegionsIsReadWhole)
{
    EXPECT_EQ(MessageType::classify(message(-13, 0x0102'0304'0506'0708u, { 3, 6, 11 })),
        (MessageType { MessageType::Reply { 0x0102'0304'0506'0708u, EACCES } }));
    EXPECT_EQ(MessageType::classify(message(5, 0, { 15 })),
        MessageType { MessageType::Notification { FUSE_NOTIFY_RETRIEVE } });
}

} // namespace
} // namespace vl
