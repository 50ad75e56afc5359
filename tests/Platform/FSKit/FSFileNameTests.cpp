#include "Platform/FSKit/FSFileName.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const fskit::FSFileName& name)
{
    return Bytes(name.data().begin(), name.data().end());
}

TEST(FSFileName, KeepsTheExactBytesItWasMadeFromAndCopiesShareThemAndCompareByContent)
{
    const Bytes raw { 'a', 0x00, 0xFF, 'b' };
    fskit::FSFileName name(raw);
    EXPECT_EQ(bytesOf(name), raw);
    EXPECT_EQ(bytesOf(fskit::FSFileName("caf\xC3\xA9")), (Bytes { 'c', 'a', 'f', 0xC3, 0xA9 }));
    EXPECT_TRUE(bytesOf(fskit::FSFileName(Bytes {})).empty());
    fskit::FSFileName copy = name;
    EXPECT_EQ(copy.sharedData(), name.sharedData());
    EXPECT_EQ(copy, fskit::FSFileName(raw));
    EXPECT_NE(copy, fskit::FSFileName(Bytes { 'a', 0x00, 0xFF, 'B' }));
}

// A name has a string only when it is valid UTF-8; its description escapes what is not.
TEST(FSFileName, HasAStringOnlyForValidUTF8AndDescribesOtherBytesAsEscapes)
{
    EXPECT_EQ(fskit::FSFileName("caf\xC3\xA9").string(), "caf\xC3\xA9");
    EXPECT_EQ(fskit::FSFileName(Bytes {}).string(), "");
    EXPECT_EQ(fskit::FSFileName("\xF0\x9F\x98\x80").string(), "\xF0\x9F\x98\x80");
    EXPECT_FALSE(fskit::FSFileName(Bytes { 'a', 0xFF }).string()); // not a lead byte
    EXPECT_FALSE(fskit::FSFileName(Bytes { 0xC3 }).string()); // truncated sequence
    EXPECT_FALSE(fskit::FSFileName(Bytes { 0xC0, 0xAF }).string()); // overlong "/"
    EXPECT_FALSE(fskit::FSFileName(Bytes { 0xED, 0xA0, 0x80 }).string()); // surrogate
    EXPECT_FALSE(fskit::FSFileName(Bytes { 0xF4, 0x90, 0x80, 0x80 }).string()); // beyond U+10FFFF
    EXPECT_EQ(fskit::FSFileName("name").description(), "name");
    EXPECT_EQ(fskit::FSFileName(Bytes { 'a', 0xFF, 0x01 }).description(), "a\\xFF\\x01");
}

} // namespace
