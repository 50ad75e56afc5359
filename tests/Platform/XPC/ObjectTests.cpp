#include "Platform/XPC/Object.h"
#include "Platform/XPC/XPCArray.h"
#include "Platform/XPC/XPCDictionary.h"
#include "Platform/XPC/XPCRichError.h"

#include "Support/OpenDescriptors.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <limits>

namespace {

using testing_support::openDescriptors;
using xpc::Object;
using xpc::Type;
using xpc::XPCArray;
using xpc::XPCDictionary;

constexpr std::uint8_t uuidBytes[16] = { 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16 };

TEST(XPCDictionary, EachTypeReadsBackOnlyAsItself)
{
    XPCDictionary dictionary;
    dictionary.setString("Text", "Socket");
    dictionary.setBoolean("Flag", true);
    dictionary.setInt64("Signed", -7);
    dictionary.setUInt64("Unsigned", std::numeric_limits<std::uint64_t>::max());
    dictionary.setValue("UUID", Object::uuid(uuidBytes));

    EXPECT_EQ(dictionary.string("Text"), "Socket");
    EXPECT_EQ(dictionary.boolean("Flag"), true);
    EXPECT_EQ(dictionary.int64("Signed"), -7);
    EXPECT_EQ(dictionary.uint64("Unsigned"), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(std::memcmp(dictionary.value("UUID")->uuidBytes(), uuidBytes, 16), 0);

    EXPECT_EQ(dictionary.string("Flag"), std::nullopt);
    EXPECT_EQ(dictionary.boolean("Text"), std::nullopt);
    EXPECT_EQ(dictionary.int64("Unsigned"), std::nullopt);
    EXPECT_EQ(dictionary.uint64("Signed"), std::nullopt);
    EXPECT_EQ(dictionary.value("Text")->uuidBytes(), nullptr);
    EXPECT_EQ(dictionary.value("UUID")->dupFileDescriptor(), -1);
    EXPECT_EQ(dictionary.string("Missing"), std::nullopt);
    EXPECT_EQ(dictionary.count(), 5u);
    EXPECT_EQ(dictionary.keys(), (std::vector<std::string> { "Flag", "Signed", "Text", "UUID", "Unsigned" }));
}

TEST(XPCDictionary, SettingAnAbsentValueRemovesTheKey)
{
    XPCDictionary dictionary;
    dictionary.setString("Operation", "volume-advertise");
    dictionary.setString("Operation", std::nullopt);
    EXPECT_EQ(dictionary.value("Operation"), std::nullopt);
    EXPECT_EQ(dictionary.count(), 0u);
    dictionary.setValue("Never", std::nullopt);
    EXPECT_EQ(dictionary.count(), 0u);
}

TEST(XPCDictionary, CopiesShareOneDictionary)
{
    XPCDictionary original;
    XPCDictionary copy = original;
    copy.setBoolean("Success", true);
    EXPECT_EQ(original.boolean("Success"), true);
    EXPECT_TRUE(copy.object().isSameObject(original.object()));
    EXPECT_FALSE(XPCDictionary::fromObject(Object::string("x")));
    EXPECT_TRUE(XPCDictionary::fromObject(original.object()));
}

TEST(XPCDictionary, OnlyAReceivedRequestAwaitingAReplyHasOne)
{
    XPCDictionary request;
    EXPECT_FALSE(request.expectsReply());
    EXPECT_FALSE(XPCDictionary::createReply(request));
}

TEST(XPCArray, HoldsObjectsInOrderAndDescribesThem)
{
    XPCArray array;
    array.append(Object::string("ro"));
    array.append(Object::int64(3));
    EXPECT_EQ(array.count(), 2u);
    EXPECT_EQ(*array.at(0).stringValue(), "ro");
    EXPECT_EQ(array.at(1).int64Value(), 3);
    EXPECT_EQ(array.debugDescription(), "<array: [ <string: \"ro\">, <int64: 3> ]>");
    EXPECT_FALSE(XPCArray::fromObject(Object::boolean(false)));
    EXPECT_TRUE(XPCArray::fromObject(array.object()));
}

TEST(XPCArrayDeathTest, ReadingPastTheEndIsFatal)
{
    EXPECT_DEATH(XPCArray().at(0), "XPC array index out of range");
}

TEST(XPCObject, ADescriptorObjectHoldsItsOwnDuplicateAndHandsOutMore)
{
    auto before = openDescriptors();
    int pipeEnds[2];
    ASSERT_EQ(::pipe(pipeEnds), 0);
    {
        std::optional<Object> object = Object::fileDescriptor(pipeEnds[0]);
        ASSERT_TRUE(object);
        ::close(pipeEnds[0]);
        int first = object->dupFileDescriptor();
        int second = object->dupFileDescriptor();
        EXPECT_GE(first, 0);
        EXPECT_GE(second, 0);
        EXPECT_NE(first, second);
        ASSERT_EQ(::write(pipeEnds[1], "x", 1), 1);
        char byte = 0;
        EXPECT_EQ(::read(first, &byte, 1), 1);
        EXPECT_EQ(byte, 'x');
        ::close(first);
        ::close(second);
        ::close(pipeEnds[1]);
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_FALSE(Object::fileDescriptor(-1));
}

TEST(XPCObject, ErrorsAndScalarsKnowTheirTypes)
{
    Object error = Object::error(xpc::XPCRichError(xpc::XPCRichError::Code::connectionInterrupted, "gone"));
    EXPECT_EQ(error.type(), Type::error);
    ASSERT_NE(error.errorValue(), nullptr);
    EXPECT_TRUE(error.errorValue()->canRetry());
    EXPECT_EQ(error.debugDescription(), "<error: \"gone\">");
    EXPECT_EQ(Object::boolean(true).type(), Type::boolean);
    EXPECT_EQ(Object::uint64(1).type(), Type::uint64);
    EXPECT_EQ(Object::uuid(uuidBytes).debugDescription(), "<uuid: 01020304-0506-0708-090A-0B0C0D0E0F10>");
    EXPECT_EQ(Object::string("x").errorValue(), nullptr);
    EXPECT_EQ(Object::string("x").connectionValue(), nullptr);
}

} // namespace
