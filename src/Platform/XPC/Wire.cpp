#include "Platform/XPC/Wire.h"

#include "Platform/XPC/ObjectStorage.h"

#include <cstring>

namespace xpc::wire {

namespace {

constexpr std::uint32_t magic = 0x43505856; // "VXPC" read as a little-endian word
constexpr int maximumDepth = 32;

enum class Tag : std::uint8_t {
    dictionary = 1,
    array = 2,
    string = 3,
    boolean = 4,
    int64 = 5,
    uint64 = 6,
    uuid = 7,
    fileDescriptor = 8,
    endpoint = 9,
};

class Writer {
public:
    explicit Writer(EncodedFrame& frame)
        : frame(frame)
    {
    }

    void byte(std::uint8_t value) { frame.bytes.push_back(value); }

    template <typename Integer> void integer(Integer value)
    {
        auto unsignedValue = static_cast<std::make_unsigned_t<Integer>>(value);
        for (std::size_t index = 0; index < sizeof(Integer); ++index)
            byte(static_cast<std::uint8_t>(unsignedValue >> (8 * index)));
    }

    void text(std::string_view value)
    {
        integer(static_cast<std::uint32_t>(value.size()));
        frame.bytes.insert(frame.bytes.end(), value.begin(), value.end());
    }

    void object(const Object& value)
    {
        struct Visitor {
            Writer& writer;
            void operator()(const DictionaryValue& dictionary) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::dictionary));
                writer.integer(static_cast<std::uint32_t>(dictionary.entries.size()));
                for (const auto& [key, entry] : dictionary.entries) {
                    writer.text(key);
                    writer.object(entry);
                }
            }
            void operator()(const ArrayValue& array) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::array));
                writer.integer(static_cast<std::uint32_t>(array.items.size()));
                for (const Object& item : array.items)
                    writer.object(item);
            }
            void operator()(const std::string& text) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::string));
                writer.text(text);
            }
            void operator()(bool flag) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::boolean));
                writer.byte(flag ? 1 : 0);
            }
            void operator()(std::int64_t number) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::int64));
                writer.integer(number);
            }
            void operator()(std::uint64_t number) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::uint64));
                writer.integer(number);
            }
            void operator()(const std::array<std::uint8_t, 16>& uuid) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::uuid));
                writer.frame.bytes.insert(writer.frame.bytes.end(), uuid.begin(), uuid.end());
            }
            void operator()(const Descriptor& descriptor) const
            {
                if (writer.frame.descriptors.size() == maximumDescriptors)
                    throw std::invalid_argument("An XPC message carries too many file descriptors");
                writer.byte(static_cast<std::uint8_t>(Tag::fileDescriptor));
                writer.integer(static_cast<std::uint32_t>(writer.frame.descriptors.size()));
                writer.frame.descriptors.push_back(descriptor.get());
            }
            void operator()(const EndpointValue& endpoint) const
            {
                writer.byte(static_cast<std::uint8_t>(Tag::endpoint));
                writer.byte(endpoint.address.isAbstract ? 1 : 0);
                writer.text(endpoint.address.name);
            }
            void operator()(const std::shared_ptr<Connection>&) const
            {
                throw std::invalid_argument("An XPC connection cannot be sent in a message");
            }
            void operator()(const XPCRichError&) const
            {
                throw std::invalid_argument("An XPC error cannot be sent in a message");
            }
        };
        std::visit(Visitor { *this }, value.underlyingStorage()->value);
    }

    EncodedFrame& frame;
};

class Reader {
public:
    Reader(std::span<const std::uint8_t> bytes, std::vector<Descriptor>& descriptors)
        : bytes(bytes)
        , descriptors(descriptors)
    {
    }

    std::span<const std::uint8_t> take(std::size_t count)
    {
        if (count > bytes.size() - position)
            throw MalformedMessage("XPC message ends early");
        auto taken = bytes.subspan(position, count);
        position += count;
        return taken;
    }

    std::uint8_t byte() { return take(1)[0]; }

    template <typename Integer> Integer integer()
    {
        auto taken = take(sizeof(Integer));
        std::make_unsigned_t<Integer> value = 0;
        for (std::size_t index = 0; index < sizeof(Integer); ++index)
            value |= static_cast<std::make_unsigned_t<Integer>>(taken[index]) << (8 * index);
        return static_cast<Integer>(value);
    }

    std::string text()
    {
        auto length = integer<std::uint32_t>();
        auto taken = take(length);
        return std::string(taken.begin(), taken.end());
    }

    // Every object takes at least one byte, so a count larger than what is left is a lie.
    std::uint32_t count()
    {
        auto value = integer<std::uint32_t>();
        if (value > bytes.size() - position)
            throw MalformedMessage("XPC message claims more objects than it holds");
        return value;
    }

    Object object(int depth)
    {
        if (depth > maximumDepth)
            throw MalformedMessage("XPC message nests too deeply");
        switch (static_cast<Tag>(byte())) {
        case Tag::dictionary: {
            DictionaryValue dictionary;
            for (std::uint32_t remaining = count(); remaining > 0; --remaining) {
                std::string key = text();
                Object value = object(depth + 1);
                if (!dictionary.entries.emplace(std::move(key), std::move(value)).second)
                    throw MalformedMessage("XPC message repeats a dictionary key");
            }
            return Object(makeStorage(std::move(dictionary)));
        }
        case Tag::array: {
            ArrayValue array;
            for (std::uint32_t remaining = count(); remaining > 0; --remaining)
                array.items.push_back(object(depth + 1));
            return Object(makeStorage(std::move(array)));
        }
        case Tag::string:
            return Object::string(text());
        case Tag::boolean: {
            std::uint8_t flag = byte();
            if (flag > 1)
                throw MalformedMessage("XPC message holds a malformed boolean");
            return Object::boolean(flag == 1);
        }
        case Tag::int64:
            return Object::int64(integer<std::int64_t>());
        case Tag::uint64:
            return Object::uint64(integer<std::uint64_t>());
        case Tag::uuid:
            return Object::uuid(take(16).data());
        case Tag::fileDescriptor: {
            auto index = integer<std::uint32_t>();
            if (index >= descriptors.size() || !descriptors[index].isValid())
                throw MalformedMessage("XPC message refers to a descriptor it does not carry");
            ++claimedDescriptors;
            return Object(makeStorage(std::move(descriptors[index])));
        }
        case Tag::endpoint: {
            std::uint8_t isAbstract = byte();
            if (isAbstract > 1)
                throw MalformedMessage("XPC message holds a malformed endpoint");
            return Object(makeStorage(EndpointValue { SocketAddress { isAbstract == 1, text() } }));
        }
        }
        throw MalformedMessage("XPC message holds an object of unknown type");
    }

    bool atEnd() const { return position == bytes.size(); }

    std::size_t claimedDescriptors = 0;

private:
    std::span<const std::uint8_t> bytes;
    std::size_t position = 0;
    std::vector<Descriptor>& descriptors;
};

} // namespace

EncodedFrame encode(FrameKind kind, std::uint64_t identifier, const XPCDictionary& body)
{
    EncodedFrame frame;
    Writer writer(frame);
    writer.integer(magic);
    writer.byte(static_cast<std::uint8_t>(kind));
    writer.integer(identifier);
    std::size_t countPosition = frame.bytes.size();
    writer.integer(std::uint32_t { 0 });
    writer.object(body.object());
    auto descriptorCount = static_cast<std::uint32_t>(frame.descriptors.size());
    for (std::size_t index = 0; index < sizeof descriptorCount; ++index)
        frame.bytes[countPosition + index] = static_cast<std::uint8_t>(descriptorCount >> (8 * index));
    return frame;
}

Frame decode(std::span<const std::uint8_t> bytes, std::vector<Descriptor> descriptors)
{
    Reader reader(bytes, descriptors);
    if (reader.integer<std::uint32_t>() != magic)
        throw MalformedMessage("XPC message does not start with the expected magic");
    auto kind = static_cast<FrameKind>(reader.byte());
    if (kind != FrameKind::message && kind != FrameKind::messageExpectingReply && kind != FrameKind::reply)
        throw MalformedMessage("XPC message has an unknown frame kind");
    auto identifier = reader.integer<std::uint64_t>();
    if (reader.integer<std::uint32_t>() != descriptors.size())
        throw MalformedMessage("XPC message carries another number of descriptors than it announces");
    Object body = reader.object(0);
    if (!reader.atEnd())
        throw MalformedMessage("XPC message has bytes after its body");
    if (reader.claimedDescriptors != descriptors.size())
        throw MalformedMessage("XPC message carries descriptors its body does not use");
    std::optional<XPCDictionary> dictionary = XPCDictionary::fromObject(body);
    if (!dictionary)
        throw MalformedMessage("XPC message body is not a dictionary");
    if (kind == FrameKind::messageExpectingReply)
        std::get<DictionaryValue>(body.underlyingStorage()->value).awaitingReply = identifier;
    return Frame { kind, identifier, *dictionary };
}

} // namespace xpc::wire
