#include "Platform/XPC/ObjectStorage.h"
#include "Platform/XPC/Wire.h"
#include "Platform/XPC/XPCArray.h"

#include "Support/OpenDescriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

namespace {

using testing_support::openDescriptors;
using xpc::Descriptor;
using xpc::Object;
using xpc::XPCArray;
using xpc::XPCDictionary;
namespace wire = xpc::wire;

// What the receiving side holds after the kernel passed the frame's descriptors along.
std::vector<Descriptor> duplicates(const std::vector<int>& descriptors)
{
    std::vector<Descriptor> copies;
    for (int descriptor : descriptors)
        copies.emplace_back(::fcntl(descriptor, F_DUPFD_CLOEXEC, 0));
    return copies;
}

void expectMalformed(std::span<const std::uint8_t> bytes, std::vector<Descriptor> descriptors = {})
{
    EXPECT_THROW(wire::decode(bytes, std::move(descriptors)), wire::MalformedMessage);
}

std::vector<std::uint8_t> header(wire::FrameKind kind, std::uint32_t descriptorCount)
{
    std::vector<std::uint8_t> bytes
        = { 'V', 'X', 'P', 'C', static_cast<std::uint8_t>(kind), 9, 0, 0, 0, 0, 0, 0, 0 };
    for (int index = 0; index < 4; ++index)
        bytes.push_back(static_cast<std::uint8_t>(descriptorCount >> (8 * index)));
    return bytes;
}

TEST(Wire, EveryKindOfObjectSurvivesTheRoundTrip)
{
    auto before = openDescriptors();
    {
        constexpr std::uint8_t uuid[16] = { 0xA0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0xFF };
        int pipeEnds[2];
        ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC), 0);
        XPCDictionary message;
        message.setString("Text", std::string("with\0zero", 9));
        message.setBoolean("Flag", false);
        message.setInt64("Signed", std::numeric_limits<std::int64_t>::min());
        message.setUInt64("Unsigned", 0x0102030405060708);
        message.setValue("UUID", Object::uuid(uuid));
        message.setValue("FileHandle", Object::fileDescriptor(pipeEnds[0]));
        XPCArray options;
        options.append(Object::string("ro"));
        XPCDictionary nested;
        nested.setValue("Descriptor", Object::fileDescriptor(pipeEnds[1]));
        options.append(nested.object());
        message.setValue("Options", options.object());
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);

        wire::EncodedFrame frame = wire::encode(wire::FrameKind::messageExpectingReply, 42, message);
        ASSERT_EQ(frame.descriptors.size(), 2u);
        wire::Frame decoded = wire::decode(frame.bytes, duplicates(frame.descriptors));

        EXPECT_EQ(decoded.kind, wire::FrameKind::messageExpectingReply);
        EXPECT_EQ(decoded.identifier, 42u);
        EXPECT_TRUE(decoded.body.expectsReply());
        EXPECT_EQ(decoded.body.string("Text"), std::string("with\0zero", 9));
        EXPECT_EQ(decoded.body.boolean("Flag"), false);
        EXPECT_EQ(decoded.body.int64("Signed"), std::numeric_limits<std::int64_t>::min());
        EXPECT_EQ(decoded.body.uint64("Unsigned"), 0x0102030405060708u);
        // Each value reads back only as its own type.
        EXPECT_EQ(decoded.body.int64("Unsigned"), std::nullopt);
        EXPECT_EQ(decoded.body.uint64("Signed"), std::nullopt);
        EXPECT_EQ(decoded.body.string("Flag"), std::nullopt);
        EXPECT_EQ(decoded.body.boolean("Text"), std::nullopt);
        EXPECT_EQ(std::memcmp(decoded.body.value("UUID")->uuidBytes(), uuid, 16), 0);
        auto decodedOptions = XPCArray::fromObject(*decoded.body.value("Options"));
        ASSERT_TRUE(decodedOptions);
        ASSERT_EQ(decodedOptions->count(), 2u);
        EXPECT_EQ(*decodedOptions->at(0).stringValue(), "ro");

        // The two descriptors are still the two ends of one pipe.
        int reading = decoded.body.value("FileHandle")->dupFileDescriptor();
        int writing
            = XPCDictionary::fromObject(decodedOptions->at(1))->value("Descriptor")->dupFileDescriptor();
        ASSERT_EQ(::write(writing, "ok", 2), 2);
        char text[2];
        EXPECT_EQ(::read(reading, text, 2), 2);
        EXPECT_EQ(std::string(text, 2), "ok");
        ::close(reading);
        ::close(writing);

        auto reply = XPCDictionary::createReply(decoded.body);
        ASSERT_TRUE(reply);
        EXPECT_EQ(std::get<xpc::DictionaryValue>(reply->object().underlyingStorage()->value).replyTo, 42u);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Wire, ConnectionsErrorsAndTooManyDescriptorsCannotTravel)
{
    XPCDictionary message;
    message.setValue(
        "Error", Object::error(xpc::XPCRichError(xpc::XPCRichError::Code::connectionInvalid, "x")));
    EXPECT_THROW(wire::encode(wire::FrameKind::message, 1, message), std::invalid_argument);

    XPCDictionary crowded;
    XPCArray descriptors;
    for (std::size_t index = 0; index <= wire::maximumDescriptors; ++index)
        descriptors.append(*Object::fileDescriptor(STDIN_FILENO));
    crowded.setValue("Descriptors", descriptors.object());
    EXPECT_THROW(wire::encode(wire::FrameKind::message, 1, crowded), std::invalid_argument);
}

TEST(Wire, EveryTruncationOfAValidFrameIsMalformedAndClosesItsDescriptors)
{
    auto before = openDescriptors();
    {
        XPCDictionary message;
        message.setString("Operation", "volume-advertise");
        message.setValue("FileHandle", Object::fileDescriptor(STDIN_FILENO));
        XPCArray array;
        array.append(Object::uint64(5));
        message.setValue("Options", array.object());
        wire::EncodedFrame frame = wire::encode(wire::FrameKind::message, 7, message);
        for (std::size_t length = 0; length < frame.bytes.size(); ++length)
            expectMalformed(std::span(frame.bytes).first(length), duplicates(frame.descriptors));
        std::vector<std::uint8_t> longer = frame.bytes;
        longer.push_back(0);
        expectMalformed(longer, duplicates(frame.descriptors));
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Wire, LiesAboutCountsTypesAndDescriptorsAreMalformed)
{
    auto before = openDescriptors();
    using Bytes = std::vector<std::uint8_t>;
    auto frame
        = [](Bytes body, std::uint32_t descriptorCount = 0, wire::FrameKind kind = wire::FrameKind::message) {
              Bytes bytes = header(kind, descriptorCount);
              bytes.insert(bytes.end(), body.begin(), body.end());
              return bytes;
          };
    auto descriptors = [](std::size_t count) {
        std::vector<Descriptor> result;
        for (std::size_t index = 0; index < count; ++index)
            result.emplace_back(::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0));
        return result;
    };
    {
        expectMalformed(frame({ 1, 0xFF, 0xFF, 0xFF, 0xFF })); // a dictionary of 4 billion entries
        expectMalformed(frame({ 2, 1, 0, 0, 0, 0x63 })); // an unknown tag inside an array
        expectMalformed(frame({ 1, 1, 0, 0, 0, 1, 0, 0, 0, 'k', 4, 2 })); // a boolean of value 2
        expectMalformed(frame({ 3, 0, 0, 0, 0 })); // a body that is not a dictionary
        expectMalformed(frame({ 1, 0, 0, 0, 0 }, 0, static_cast<wire::FrameKind>(9)));
        Bytes wrongMagic = frame({ 1, 0, 0, 0, 0 });
        wrongMagic[0] = 'W';
        expectMalformed(wrongMagic);
        // Two keys that are the same.
        expectMalformed(frame({ 1, 2, 0, 0, 0, 1, 0, 0, 0, 'k', 4, 1, 1, 0, 0, 0, 'k', 4, 0 }));
        // A descriptor object whose descriptor did not arrive, or arrived twice over.
        Bytes oneDescriptor = { 1, 1, 0, 0, 0, 1, 0, 0, 0, 'f', 8, 0, 0, 0, 0 };
        expectMalformed(frame(oneDescriptor, 1));
        expectMalformed(frame(oneDescriptor, 0), descriptors(0));
        expectMalformed(frame(oneDescriptor, 2), descriptors(2));
        expectMalformed(frame(oneDescriptor, 1), descriptors(2));
        expectMalformed(
            frame({ 1, 2, 0, 0, 0, 1, 0, 0, 0, 'f', 8, 0, 0, 0, 0, 1, 0, 0, 0, 'g', 8, 0, 0, 0, 0 }, 1),
            descriptors(1));
        expectMalformed(frame({ 1, 0, 0, 0, 0 }, 1), descriptors(1));
        // An endpoint whose kind byte is neither 0 nor 1.
        expectMalformed(frame({ 1, 1, 0, 0, 0, 1, 0, 0, 0, 'e', 9, 2, 1, 0, 0, 0, 'x' }));
        // Arrays nested deeper than anyone sends.
        Bytes deep = { 1, 1, 0, 0, 0, 1, 0, 0, 0, 'd' };
        for (int depth = 0; depth < 10000; ++depth)
            deep.insert(deep.end(), { 2, 1, 0, 0, 0 });
        deep.insert(deep.end(), { 4, 1 });
        expectMalformed(frame(deep));

        wire::Frame accepted
            = wire::decode(frame({ 1, 1, 0, 0, 0, 1, 0, 0, 0, 'f', 8, 0, 0, 0, 0 }, 1), descriptors(1));
        int descriptor = accepted.body.value("f")->dupFileDescriptor();
        EXPECT_GE(descriptor, 0);
        ::close(descriptor);
    }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
