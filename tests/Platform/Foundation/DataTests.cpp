#include "Platform/Foundation/Data.h"

#include <gtest/gtest.h>

namespace {

using foundation::Data;

TEST(Data, AnAbsentOrEmptyBufferGivesEmptyData)
{
    EXPECT_TRUE(Data(nullptr, 12).empty());
    const char bytes[] = "abc";
    EXPECT_TRUE(Data(bytes, 0).empty());
    Data copy(bytes, 3);
    EXPECT_EQ(copy, Data(std::string_view("abc")));
    EXPECT_NE(static_cast<const void*>(copy.data()), static_cast<const void*>(bytes));
}

TEST(Data, DecodingAsUTF8ReplacesEachInvalidByte)
{
    EXPECT_EQ(Data(std::string_view("/dev/loop0\t\n")).decodedAsUTF8(), "/dev/loop0\t\n");
    EXPECT_EQ(Data(std::string_view("gr\xC3\xBC\xC3")).decodedAsUTF8(), "gr\xC3\xBC\xEF\xBF\xBD");
    EXPECT_EQ(Data(std::string_view("a\xFF"
                                    "b\xC0\xAF"))
                  .decodedAsUTF8(),
        "a\xEF\xBF\xBD"
        "b\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Data(std::string_view("\xED\xA0\x80")).decodedAsUTF8(), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(Data(std::string_view("\xF0\x9F\x98\x80")).decodedAsUTF8(), "\xF0\x9F\x98\x80");
}

} // namespace
