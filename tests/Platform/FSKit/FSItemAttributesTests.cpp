#include "Platform/FSKit/FSItemAttributeRequests.h"
#include "Platform/FSKit/FSItemAttributes.h"
#include "Platform/FSKit/FSOptions.h"

#include <gtest/gtest.h>

namespace {

using fskit::FSItemAttribute;

TEST(FSItemAttributes, AttributeBitsHaveFSKitsRawValues)
{
    EXPECT_EQ(FSItemAttribute::type.rawValue, 0x1u);
    EXPECT_EQ(FSItemAttribute::mode.rawValue, 0x2u);
    EXPECT_EQ(FSItemAttribute::uid.rawValue, 0x8u);
    EXPECT_EQ(FSItemAttribute::gid.rawValue, 0x10u);
    EXPECT_EQ(FSItemAttribute::flags.rawValue, 0x20u);
    EXPECT_EQ(FSItemAttribute::size.rawValue, 0x40u);
    EXPECT_EQ(FSItemAttribute::fileID.rawValue, 0x100u);
    EXPECT_EQ(FSItemAttribute::parentID.rawValue, 0x200u);
    EXPECT_EQ(FSItemAttribute::accessTime.rawValue, 0x400u);
    EXPECT_EQ(FSItemAttribute::modifyTime.rawValue, 0x800u);
    EXPECT_EQ(FSItemAttribute::changeTime.rawValue, 0x1000u);
    EXPECT_EQ(FSItemAttribute::birthTime.rawValue, 0x2000u);
    EXPECT_EQ(FSItemAttribute::backupTime.rawValue, 0x4000u);
    EXPECT_EQ(FSItemAttribute::addedTime.rawValue, 0x8000u);
    EXPECT_EQ(FSItemAttribute::inhibitKernelOffloadedIO.rawValue, 0x20000u);
}

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

TEST(FSOptions, OptionSetsAndCodesHaveFSKitsRawValues)
{
    EXPECT_EQ(fskit::FSVolumeOpenModes::read.rawValue, 1u);
    EXPECT_EQ(fskit::FSVolumeOpenModes::write.rawValue, 2u);
    EXPECT_EQ((fskit::FSVolumeOpenModes::read | fskit::FSVolumeOpenModes::write).rawValue, 3u);
    const fskit::FSAccessMask readBits = fskit::FSAccessMask::readData | fskit::FSAccessMask::readAttributes
        | fskit::FSAccessMask::readXattr | fskit::FSAccessMask::readSecurity;
    EXPECT_EQ(readBits.rawValue, 0xA82u);
    EXPECT_EQ(fskit::FSAccessMask::execute.rawValue, 0x8u);
    EXPECT_EQ(fskit::FSAccessMask::takeOwnership.rawValue, 0x2000u);
    EXPECT_EQ(static_cast<int>(fskit::FSSetXattrPolicy::mustCreate), 1);
    EXPECT_EQ(static_cast<int>(fskit::FSSetXattrPolicy::mustReplace), 2);
    EXPECT_EQ(static_cast<int>(fskit::FSSetXattrPolicy::deleteXattr), 3);
    EXPECT_EQ(static_cast<std::uint64_t>(fskit::FSItem::Identifier::rootDirectory), 2u);
    EXPECT_EQ(static_cast<int>(fskit::FSItemType::socket), 7);
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
