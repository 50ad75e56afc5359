// The two attribute requests FSKit sends: which attributes it wants, and which ones to set.
//
// In a set request, the valid properties are those FSKit asks to change; the file system ORs
// into consumedAttributes the ones it has taken over, and FSKit treats the rest as not set.
#pragma once

#include "Platform/FSKit/FSItemAttributes.h"

namespace fskit {

class FSItemGetAttributesRequest {
public:
    explicit FSItemGetAttributesRequest(FSItemAttribute wanted = FSItemAttribute())
        : wantedAttributes(wanted)
    {
    }

    bool isAttributeWanted(FSItemAttribute attribute) const { return wantedAttributes.contains(attribute); }

    FSItemAttribute wantedAttributes;
};

class FSItemSetAttributesRequest : public FSItemAttributes {
public:
    bool wasAttributeConsumed(FSItemAttribute attribute) const
    {
        return consumedAttributes.contains(attribute);
    }

    FSItemAttribute consumedAttributes;
};

} // namespace fskit
