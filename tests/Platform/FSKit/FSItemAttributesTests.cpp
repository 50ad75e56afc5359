#include "Platform/FSKit/FSItemAttributeRequests.h"
#include "Platform/FSKit/FSItemAttributes.h"
#include "Platform/FSKit/FSOptions.h"

#include <gtest/gtest.h>

namespace {

using fskit::FSItemAttribute;

TEST(FSItemAttributes, RequestsReportWhatIsSetOrWantedAndRecordWhatWasConsumed)
{
    fskit::FSItemSetAttributesRequest request;
    request.setUid(501);
    request.setModifyTime({ 1, 2 });
    EXPECT_TRUE(request.isValid(FSItemAttribute::uid));
    EXPECT_FALSE(request.isValid(FSItemAttribute::gid));
    EXPECT_TRUE(request.consumedAttributes.isEmpty());
    request.consumedAttributes.insert(FSItemAttribute::modifyTime);
    EXPECT_TRUE(request.wasAttributeConsumed(FSItemAttribute::modifyTime));
    EXPECT_FALSE(request.wasAttributeConsumed(FSItemAttribute::uid));
    EXPECT_EQ(request.consumedAttributes.rawValue, 0x800u);

    fskit::FSItemGetAttributesRequest nothing;
    EXPECT_TRUE(nothing.wantedAttributes.isEmpty());
    fskit::FSItemGetAttributesRequest some(FSItemAttribute::size | FSItemAttribute::type);
    EXPECT_TRUE(some.isAttributeWanted(FSItemAttribute::size));
    EXPECT_FALSE(some.isAttributeWanted(FSItemAttribute::mode));
}

TEST(FSOptions, OptionSetInsertRemoveAndContainsWorkOnBits)
{
    fskit::FSVolumeOpenModes modes;
    EXPECT_TRUE(modes.isEmpty());
    modes.insert(fskit::FSVolumeOpenModes::write);
    EXPECT_TRUE(modes.contains(fskit::FSVolumeOpenModes::write));
    EXPECT_FALSE(modes.contains(fskit::FSVolumeOpenModes::read | fskit::FSVolumeOpenModes::write));
    modes.remove(fskit::FSVolumeOpenModes::write);
    EXPECT_EQ(modes, fskit::FSVolumeOpenModes());
}

} // namespace
