#include "Platform/Foundation/URL.h"

#include <gtest/gtest.h>

namespace {

using foundation::URL;

TEST(URL, FilePathsRoundTripThroughPercentEncoding)
{
    URL url = URL::fileURLWithPath("/tmp/disk image%1.img");
    EXPECT_EQ(url.encodedPath(), "/tmp/disk%20image%251.img");
    EXPECT_EQ(url.absoluteString(), "file:///tmp/disk%20image%251.img");
    EXPECT_EQ(url.path(), "/tmp/disk image%1.img");
    EXPECT_EQ(URL::fileURLWithPath("/dev/loop7").path(), "/dev/loop7");
}

TEST(URL, BrokenPercentEncodingHasNoDecodedPath)
{
    EXPECT_FALSE(URL::fileURLWithEncodedPath("/tmp/a%2").path());
    EXPECT_FALSE(URL::fileURLWithEncodedPath("/tmp/a%zz").path());
    EXPECT_FALSE(foundation::removingPercentEncoding("%"));
    EXPECT_EQ(foundation::removingPercentEncoding("%41%62"), "Ab");
}

} // namespace
