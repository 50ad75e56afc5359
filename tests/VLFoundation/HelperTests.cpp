#include "VLFoundation/BitSet.h"
#include "VLFoundation/BuildConfig.h"
#include "VLFoundation/IndexRange.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>

namespace {

struct Options {
    std::uint32_t rawValue;
};

enum class Flags : std::uint8_t { none = 0, a = 1, b = 2, ab = 3 };

TEST(BitSet, AllBitsSetRequiresEveryBitOfTheMaskAndIntersectingOne)
{
    EXPECT_TRUE(vl::allBitsSet(0b1011u, 0b0011u));
    EXPECT_FALSE(vl::allBitsSet(0b1001u, 0b0011u));
    EXPECT_TRUE(vl::allBitsSet(0b1001u, 0u));
    EXPECT_TRUE(vl::notAllBitsSet(0b1001u, 0b0011u));
    EXPECT_TRUE(vl::allBitsSet(Options { 0x67800000 }, Options { 0x00800000 }));
    EXPECT_TRUE(vl::notAllBitsSet(Options { 0x67000000 }, Options { 0x00800000 }));
    EXPECT_TRUE(vl::allBitsSet(Flags::ab, Flags::b));
    EXPECT_FALSE(vl::allBitsSet(Flags::a, Flags::ab));
    // Intersecting needs one shared bit only.
    EXPECT_TRUE(vl::isIntersecting(Flags::ab, Flags::a));
    EXPECT_FALSE(vl::isIntersecting(Flags::a, Flags::b));
    EXPECT_FALSE(vl::isIntersecting(Options { 0 }, Options { 0 }));
}

TEST(IndexRange, StartAndCountMakeAHalfOpenRange)
{
    vl::IndexRange<std::uint64_t> range = vl::rangeStarting<std::uint64_t>(10, 5);
    EXPECT_TRUE(range.contains(14));
    EXPECT_FALSE(range.contains(15));
    EXPECT_TRUE(vl::rangeStarting(3, 0).isEmpty());
}

TEST(IndexRangeDeathTest, OverflowOrNegativeCountIsFatal)
{
    EXPECT_DEATH(
        vl::rangeStarting(std::numeric_limits<std::uint64_t>::max(), 1), "Range upper bound overflows");
    EXPECT_DEATH(vl::rangeStarting(5, -1), "Range count is negative");
}

TEST(BuildConfig, TypeNameIsTheLastComponentOfTheVariant)
{
    EXPECT_EQ(vl::BuildConfig::signingTeamIdentifier.size(), 10u);
    std::string_view variant = vl::BuildConfig::variantIdentifier;
    EXPECT_EQ(variant.substr(variant.size() - vl::BuildConfig::variantTypeName().size()),
        vl::BuildConfig::variantTypeName());
    EXPECT_EQ(vl::BuildConfig::variantTypeName().find('.'), std::string_view::npos);
}

} // namespace
