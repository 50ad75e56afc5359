#include "Platform/Foundation/PropertyList.h"

#include <gtest/gtest.h>

namespace {

using foundation::Data;
using foundation::DecodingError;
using foundation::PropertyList;

constexpr std::string_view sample = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
  <key>images</key>
  <array>
    <dict>
      <key>image-path</key><string>/tmp/one.img</string>
      <key>system-entities</key>
      <array><dict><key>dev-entry</key><string>/dev/loop3</string></dict></array>
      <key>writeable</key><true/>
      <key>size</key><integer>1048576</integer>
    </dict>
  </array>
</dict>
</plist>
)";

DecodingError::Kind kindOfFailure(const std::function<void()>& body)
{
    try {
        body();
    } catch (const DecodingError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no decoding error";
    return DecodingError::Kind::dataCorrupted;
}

TEST(PropertyList, XMLDecodesIntoTypedValues)
{
    PropertyList root = PropertyList::decode(Data(sample));
    const auto& images = root.value("images").array();
    ASSERT_EQ(images.size(), 1u);
    EXPECT_EQ(images[0].value("image-path").string(), "/tmp/one.img");
    EXPECT_EQ(images[0].value("system-entities").array()[0].value("dev-entry").string(), "/dev/loop3");
    EXPECT_TRUE(images[0].value("writeable").boolean());
    EXPECT_EQ(images[0].value("size").integer(), 1048576);
}

TEST(PropertyList, MissingKeysWrongTypesAndGarbageAreDecodingErrorsNamingTheirPath)
{
    PropertyList root = PropertyList::decode(Data(sample));
    const PropertyList& image = root.value("images").array()[0];
    EXPECT_EQ(kindOfFailure([&] { image.value("dev-entry"); }), DecodingError::Kind::keyNotFound);
    EXPECT_EQ(kindOfFailure([&] { image.value("image-path").array(); }), DecodingError::Kind::typeMismatch);
    EXPECT_EQ(kindOfFailure([&] { image.value("size").string(); }), DecodingError::Kind::typeMismatch);
    EXPECT_EQ(kindOfFailure([&] { root.value("images").value("x"); }), DecodingError::Kind::typeMismatch);
    EXPECT_EQ(kindOfFailure([] { PropertyList::decode(Data(std::string_view("not a plist"))); }),
        DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(kindOfFailure([] { PropertyList::decode(Data()); }), DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(kindOfFailure([] { PropertyList::decode(Data(sample.substr(0, 200))); }),
        DecodingError::Kind::dataCorrupted);
    // The message names the path that led there.
    try {
        root.value("images").array()[0].value("system-entities").array()[0].value("name");
        FAIL();
    } catch (const DecodingError& error) {
        EXPECT_NE(std::string(error.what()).find("images.Index 0.system-entities.Index 0"), std::string::npos)
            << error.what();
    }
}

} // namespace
