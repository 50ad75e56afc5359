// A file URL: a path on the local file system, kept percent-encoded as a URL holds it.
//
// path() gives the path with the percent-encoding removed, or absent when the encoding is broken
// (a "%" not followed by two hexadecimal digits); encodedPath() gives it as stored. A value type.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class URL {
public:
    // The file URL of `path`, percent-encoding the characters a URL path cannot hold.
    static URL fileURLWithPath(std::string_view path);
    // A file URL whose path is `encodedPath` as it stands, already percent-encoded.
    static URL fileURLWithEncodedPath(std::string encodedPath);

    std::optional<std::string> path() const;
    const std::string& encodedPath() const { return storedPath; }
    std::string absoluteString() const { return "file://" + storedPath; }
    std::string description() const { return absoluteString(); }

    friend bool operator==(const URL&, const URL&) = default;

private:
    explicit URL(std::string encodedPath)
        : storedPath(std::move(encodedPath))
    {
    }

    std::string storedPath;
};

std::optional<std::string> removingPercentEncoding(std::string_view text);

} // namespace foundation
