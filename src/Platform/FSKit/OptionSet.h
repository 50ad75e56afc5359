// A set of flag bits with a fixed raw value, the C++ form of FSKit's NS_OPTIONS types.
//
// Each option set derives from OptionSet<Itself, Raw>, declares its members as static constants
// and keeps nothing but rawValue, so values are plain, copyable and comparable. The raw value is
// public because FSKit's raw values are part of its interface.
#pragma once

namespace fskit {

template <typename Derived, typename Raw> struct OptionSet {
    using RawValue = Raw;

    constexpr OptionSet() = default;
    constexpr explicit OptionSet(Raw raw)
        : rawValue(raw)
    {
    }

    constexpr bool isEmpty() const { return rawValue == 0; }
    // True when every bit of `member` is in this set.
    constexpr bool contains(Derived member) const { return (rawValue & member.rawValue) == member.rawValue; }
    constexpr void insert(Derived member) { rawValue = Raw(rawValue | member.rawValue); }
    constexpr void remove(Derived member) { rawValue = Raw(rawValue & ~member.rawValue); }

    friend constexpr Derived operator|(Derived a, Derived b) { return Derived(Raw(a.rawValue | b.rawValue)); }
    friend constexpr Derived operator&(Derived a, Derived b) { return Derived(Raw(a.rawValue & b.rawValue)); }
    friend constexpr bool operator==(Derived a, Derived b) { return a.rawValue == b.rawValue; }

    Raw rawValue = 0;
};

} // namespace fskit
