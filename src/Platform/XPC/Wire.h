// The compact encoding of XPC messages on the socket; internal to the XPC layer.
//
// One message is one sequenced packet: a header (magic "VXPC", frame kind, 64-bit identifier,
// number of descriptors) and then the body dictionary, each object a one-byte tag followed by its
// payload; integers are little-endian, texts and containers carry 32-bit lengths or counts. File
// descriptors travel beside the packet (SCM_RIGHTS), and an encoded descriptor object is its
// index among them. Decoding checks every length against the bytes at hand and throws
// MalformedMessage on anything it cannot read in full.
#pragma once

#include "Platform/XPC/Descriptor.h"
#include "Platform/XPC/XPCDictionary.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace xpc::wire {

enum class FrameKind : std::uint8_t { message = 1, messageExpectingReply = 2, reply = 3 };

// The most descriptors one message may carry (the kernel's limit for one SCM_RIGHTS message).
inline constexpr std::size_t maximumDescriptors = 253;

struct EncodedFrame {
    std::vector<std::uint8_t> bytes;
    // Borrowed from the message's descriptor objects; valid while the message lives.
    std::vector<int> descriptors;
};

struct Frame {
    FrameKind kind;
    std::uint64_t identifier;
    XPCDictionary body;
};

class MalformedMessage : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws std::invalid_argument when the body holds an object that cannot travel (a connection,
// an error) or too many descriptors.
EncodedFrame encode(FrameKind kind, std::uint64_t identifier, const XPCDictionary& body);

// Takes the received descriptors; those the body does not claim are closed.
Frame decode(std::span<const std::uint8_t> bytes, std::vector<Descriptor> descriptors);

} // namespace xpc::wire
