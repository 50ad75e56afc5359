#include "VLFoundation/XPCEntries.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/Pipe.h"

#include "Support/OpenDescriptors.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using foundation::FileHandle;
using foundation::UUID;
using testing_support::openDescriptors;
using xpc::Object;
using xpc::XPCArray;
using xpc::XPCDictionary;

// A UUID reads back as itself, an array as the array object itself.
TEST(XPCEntries, AnEntryReadsBackAsItsOwnTypeOnlyAndAnAbsentOneRemovesTheKey)
{
    XPCDictionary message;
    UUID volume;
    XPCArray options;
    options.append(Object::string("rw"));
    vl::setEntry(message, "Volume", std::optional(volume));
    vl::setEntry(message, "Options", std::optional(options));
    EXPECT_EQ(message.value("Volume")->type(), xpc::Type::uuid);
    EXPECT_EQ(vl::entry<UUID>(message, "Volume"), volume);
    std::optional<XPCArray> read = vl::entry<XPCArray>(message, "Options");
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->object().isSameObject(options.object()));
    vl::setEntry(message, "Volume", std::optional<UUID>());
    vl::setEntry(message, "Options", std::optional<XPCArray>());
    EXPECT_EQ(message.count(), 0u);
    EXPECT_EQ(vl::entry<UUID>(message, "Volume"), std::nullopt);

    // Entries of another type read as absent.
    message.setString("Volume", "00000000-0000-0000-0056-6F726C616E65");
    message.setString("FileHandle", "3");
    message.setString("Options", "ro");
    EXPECT_EQ(vl::entry<UUID>(message, "Volume"), std::nullopt);
    EXPECT_EQ(vl::entry<FileHandle>(message, "FileHandle"), nullptr);
    EXPECT_EQ(vl::entry<XPCArray>(message, "Options"), std::nullopt);
    vl::setEntry(message, "Volume", std::optional(UUID()));
    EXPECT_EQ(vl::entry<FileHandle>(message, "Volume"), nullptr);
    EXPECT_EQ(vl::entry<XPCArray>(message, "Volume"), std::nullopt);
    EXPECT_EQ(vl::entry<UUID>(message, "Missing"), std::nullopt);
    EXPECT_EQ(vl::entry<FileHandle>(message, "Missing"), nullptr);
}

TEST(XPCEntries, AFileHandleReadTwiceGivesTwoHandlesOnTwoDescriptors)
{
    auto before = openDescriptors();
    {
        XPCDictionary message;
        {
            foundation::Pipe pipe;
            vl::setEntry(message, "FileHandle", pipe.fileHandleForReading());
            pipe.fileHandleForWriting()->write(foundation::Data(std::string_view("daemon end")));
        }
        // The entry keeps its own descriptor after the pipe's handles are gone.
        std::shared_ptr<FileHandle> first = vl::entry<FileHandle>(message, "FileHandle");
        std::shared_ptr<FileHandle> second = vl::entry<FileHandle>(message, "FileHandle");
        ASSERT_TRUE(first);
        ASSERT_TRUE(second);
        EXPECT_NE(first->fileDescriptor(), second->fileDescriptor());
        int firstDescriptor = first->fileDescriptor();
        first.reset();
        EXPECT_FALSE(openDescriptors().contains(firstDescriptor));
        char text[10];
        EXPECT_EQ(::read(second->fileDescriptor(), text, sizeof text), 10);
        EXPECT_EQ(std::string(text, 10), "daemon end");

        vl::setEntry(message, "FileHandle", std::shared_ptr<FileHandle>());
        EXPECT_FALSE(message.value("FileHandle"));
        // A closed handle cannot be written.
        second->close();
        EXPECT_THROW(vl::setEntry(message, "FileHandle", second), foundation::POSIXError);
        EXPECT_FALSE(message.value("FileHandle"));
    }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
