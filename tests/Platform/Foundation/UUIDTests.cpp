#include "Platform/Foundation/UUID.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace {

using foundation::UUID;

TEST(UUID, ParsingAcceptsEitherCaseAndRefusesAnythingElse)
{
    std::optional<UUID> parsed = UUID::parse("00000000-0000-0000-0056-6f726c616e65");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->uuidString(), "00000000-0000-0000-0056-6F726C616E65");
    EXPECT_EQ(parsed->bytes()[15], 0x65);
    EXPECT_FALSE(UUID::parse(""));
    EXPECT_FALSE(UUID::parse("00000000-0000-0000-0056-6F726C616E6"));
    EXPECT_FALSE(UUID::parse("00000000-0000-0000-0056-6F726C616E655"));
    EXPECT_FALSE(UUID::parse("00000000-0000-0000-0056+6F726C616E65"));
    EXPECT_FALSE(UUID::parse("0000000G-0000-0000-0056-6F726C616E65"));
    EXPECT_FALSE(UUID::parse("000000000-000-0000-0056-6F726C616E65"));
}

TEST(UUID, FreshIdentifiersAreRandomVersionFourAndDistinct)
{
    std::unordered_set<UUID> seen;
    for (int index = 0; index < 64; ++index) {
        UUID uuid;
        EXPECT_EQ(uuid.bytes()[6] >> 4, 4);
        EXPECT_EQ(uuid.bytes()[8] & 0xC0, 0x80);
        EXPECT_EQ(UUID::parse(uuid.uuidString()), uuid);
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 64u);
}

} // namespace
