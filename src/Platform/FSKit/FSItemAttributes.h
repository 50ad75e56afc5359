// The attributes of an item as FSKit exchanges them: each property with its own validity bit.
//
// Setting a property marks it valid; invalidateAllProperties marks every property invalid and
// keeps the values. Getters return the stored value whether or not it is valid. Not
// thread-safe: the owner of an attributes object guards it.
#pragma once

#include "Platform/FSKit/FSItem.h"

#include <cstdint>
#include <ctime>

namespace fskit {

class FSItemAttributes {
public:
    FSItemAttributes() = default;
    virtual ~FSItemAttributes() = default;

    // True when every bit of `attribute` names a valid property.
    bool isValid(FSItemAttribute attribute) const { return validAttributes.contains(attribute); }
    void invalidateAllProperties() { validAttributes = FSItemAttribute(); }

    std::uint32_t uid() const { return uidValue; }
    void setUid(std::uint32_t value) { uidValue = value, markValid(FSItemAttribute::uid); }
    std::uint32_t gid() const { return gidValue; }
    void setGid(std::uint32_t value) { gidValue = value, markValid(FSItemAttribute::gid); }
    std::uint32_t mode() const { return modeValue; }
    void setMode(std::uint32_t value) { modeValue = value, markValid(FSItemAttribute::mode); }
    FSItemType type() const { return typeValue; }
    void setType(FSItemType value) { typeValue = value, markValid(FSItemAttribute::type); }
    std::uint32_t linkCount() const { return linkCountValue; }
    void setLinkCount(std::uint32_t value) { linkCountValue = value, markValid(FSItemAttribute::linkCount); }
    std::uint32_t flags() const { return flagsValue; }
    void setFlags(std::uint32_t value) { flagsValue = value, markValid(FSItemAttribute::flags); }
    std::uint64_t size() const { return sizeValue; }
    void setSize(std::uint64_t value) { sizeValue = value, markValid(FSItemAttribute::size); }
    std::uint64_t allocSize() const { return allocSizeValue; }
    void setAllocSize(std::uint64_t value) { allocSizeValue = value, markValid(FSItemAttribute::allocSize); }
    FSItem::Identifier fileID() const { return fileIDValue; }
    void setFileID(FSItem::Identifier value) { fileIDValue = value, markValid(FSItemAttribute::fileID); }
    FSItem::Identifier parentID() const { return parentIDValue; }
    void setParentID(FSItem::Identifier value)
    {
        parentIDValue = value, markValid(FSItemAttribute::parentID);
    }
    bool supportsLimitedXAttrs() const { return supportsLimitedXAttrsValue; }
    void setSupportsLimitedXAttrs(bool value)
    {
        supportsLimitedXAttrsValue = value, markValid(FSItemAttribute::supportsLimitedXAttrs);
    }
    bool inhibitKernelOffloadedIO() const { return inhibitKernelOffloadedIOValue; }
    void setInhibitKernelOffloadedIO(bool value)
    {
        inhibitKernelOffloadedIOValue = value, markValid(FSItemAttribute::inhibitKernelOffloadedIO);
    }
    timespec modifyTime() const { return modifyTimeValue; }
    void setModifyTime(timespec value) { modifyTimeValue = value, markValid(FSItemAttribute::modifyTime); }
    timespec addedTime() const { return addedTimeValue; }
    void setAddedTime(timespec value) { addedTimeValue = value, markValid(FSItemAttribute::addedTime); }
    timespec changeTime() const { return changeTimeValue; }
    void setChangeTime(timespec value) { changeTimeValue = value, markValid(FSItemAttribute::changeTime); }
    timespec accessTime() const { return accessTimeValue; }
    void setAccessTime(timespec value) { accessTimeValue = value, markValid(FSItemAttribute::accessTime); }
    timespec birthTime() const { return birthTimeValue; }
    void setBirthTime(timespec value) { birthTimeValue = value, markValid(FSItemAttribute::birthTime); }
    timespec backupTime() const { return backupTimeValue; }
    void setBackupTime(timespec value) { backupTimeValue = value, markValid(FSItemAttribute::backupTime); }

private:
    void markValid(FSItemAttribute attribute) { validAttributes.insert(attribute); }

    FSItemAttribute validAttributes;
    std::uint32_t uidValue = 0;
    std::uint32_t gidValue = 0;
    std::uint32_t modeValue = 0;
    FSItemType typeValue = FSItemType::unknown;
    std::uint32_t linkCountValue = 0;
    std::uint32_t flagsValue = 0;
    std::uint64_t sizeValue = 0;
    std::uint64_t allocSizeValue = 0;
    FSItem::Identifier fileIDValue = FSItem::Identifier::invalid;
    FSItem::Identifier parentIDValue = FSItem::Identifier::invalid;
    bool supportsLimitedXAttrsValue = false;
    bool inhibitKernelOffloadedIOValue = false;
    timespec modifyTimeValue {};
    timespec addedTimeValue {};
    timespec changeTimeValue {};
    timespec accessTimeValue {};
    timespec birthTimeValue {};
    timespec backupTimeValue {};
};

} // namespace fskit
