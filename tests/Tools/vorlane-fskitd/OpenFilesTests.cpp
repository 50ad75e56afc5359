#include "vorlane-fskitd/OpenFiles.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using host::OpenFiles;
using Modes = fskit::FSVolumeOpenModes;

struct TestItem : fskit::FSItem { };

TEST(OpenFiles, AClosePassesTheUnionOfTheModesOfTheItemsOtherHandlesAndNothingAtTheLast)
{
    OpenFiles files;
    auto item = std::make_shared<TestItem>();
    auto other = std::make_shared<TestItem>();
    auto open = [&](const std::shared_ptr<TestItem>& of, std::uint32_t modes) {
        OpenFiles::Handle* handle = nullptr;
        files.whenIdle(of, [&](OpenFiles::Done done) { handle = files.opened(of, 7, Modes(modes)), done(); });
        return handle;
    };
    auto close = [&](OpenFiles::Handle* handle) {
        Modes kept;
        files.whenIdle(handle->item, [&](OpenFiles::Done done) { kept = files.closing(handle), done(); });
        return kept.rawValue;
    };
    OpenFiles::Handle* reader = open(item, 1);
    OpenFiles::Handle* secondReader = open(item, 1);
    OpenFiles::Handle* writer = open(item, 2);
    OpenFiles::Handle* both = open(item, 3);
    OpenFiles::Handle* elsewhere = open(other, 3);
    EXPECT_EQ(files.handles(item), 4u);

    // Each close keeps what the others still hold; another item's handles never count.
    EXPECT_EQ(close(both), 3u);
    EXPECT_EQ(close(reader), 3u);
    EXPECT_EQ(close(writer), 1u);
    EXPECT_EQ(close(secondReader), 0u);
    EXPECT_EQ(files.handles(item), 0u);
    EXPECT_EQ(files.handles(other), 1u);
    EXPECT_EQ(close(elsewhere), 0u);
}

TEST(OpenFiles, StepsOfOneItemRunOneAtATimeInOrderWhileOtherItemsGoOn)
{
    OpenFiles files;
    auto item = std::make_shared<TestItem>();
    auto other = std::make_shared<TestItem>();
    std::vector<std::string> ran;
    std::vector<OpenFiles::Done> inFlight;
    auto step = [&](std::string name) {
        return
            [&ran, &inFlight, name](OpenFiles::Done done) { ran.push_back(name), inFlight.push_back(done); };
    };
    files.whenIdle(item, step("first"));
    files.whenIdle(item, step("second"));
    files.whenIdle(other, step("other"));
    files.whenIdle(item, step("third"));
    EXPECT_EQ(ran, (std::vector<std::string> { "first", "other" }));

    // Ending a step starts the next one of its item on the ending thread.
    inFlight[0]();
    EXPECT_EQ(ran, (std::vector<std::string> { "first", "other", "second" }));
    inFlight[2]();
    EXPECT_EQ(ran.back(), "third");
    inFlight[3]();
    inFlight[1]();
    // Idle again: a new step runs at once.
    files.whenIdle(item, step("later"));
    EXPECT_EQ(ran.back(), "later");
    inFlight.back()();
}

} // namespace
