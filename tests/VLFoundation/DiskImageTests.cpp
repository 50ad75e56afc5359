#include "VLFoundation/DiskImage.h"
#include "VLFoundation/ProcessRun.h"

#include "Platform/Foundation/Process.h"
#include "Platform/Tasks/Spawn.h"

#include "Support/ErrnoThrown.h"
#include "Support/FakeDiskImageTool.h"
#include "Support/LoopDevices.h"
#include "Support/Mailbox.h"
#include "Support/OpenDescriptors.h"
#include "Support/ScopeExit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace DiskImage = vl::DiskImage;
using foundation::URL;
using testing_support::FakeDiskImageTool;
using testing_support::openDescriptors;
using testing_support::ScopeExit;

template <typename Operation> DiskImage::Error failure(Operation operation)
{
    try {
        tasks::runBlocking(operation());
    } catch (const DiskImage::Error& error) {
        return error;
    }
    ADD_FAILURE() << "the operation succeeded";
    return DiskImage::Error::attachDeviceLookupFailed();
}

constexpr std::string_view twoImages = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>images</key><array>
<dict><key>image-path</key><string>/images/first.img</string>
  <key>system-entities</key><array><dict><key>dev-entry</key><string>/dev/disk4</string></dict></array></dict>
<dict><key>image-path</key><string>/images/second.img</string>
  <key>system-entities</key><array><dict><key>dev-entry</key><string>/dev/disk6s1</string></dict>
  <dict><key>dev-entry</key><string>/dev/disk5</string></dict></array></dict>
</array></dict></plist>
)";

// The size goes as a bare decimal number and paths decoded (a broken percent-encoding is passed
// on as it stands); the device attached is the path the tool printed, without white space around.
TEST(DiskImage, EachOperationPassesItsArgumentsAndMapsAFailingStatusToItsError)
{
    auto before = openDescriptors();
    FakeDiskImageTool tool;
    auto create = [&] { return DiskImage::create(URL::fileURLWithPath("/tmp/b.img"), 512, tool.url()); };
    auto attach = [&] { return DiskImage::attach(URL::fileURLWithPath("/tmp/a.img"), tool.url()); };
    auto detach = [&] { return DiskImage::detach("disk4", tool.url()); };
    tool.answer("", 0);
    tasks::runBlocking(DiskImage::create(URL::fileURLWithPath("/tmp/a disk.img"), 1048576, tool.url()));
    EXPECT_EQ(tool.arguments(),
        (std::vector<std::string> { "create", "-size", "1048576", "-layout", "NONE", "/tmp/a disk.img" }));
    tasks::runBlocking(DiskImage::create(URL::fileURLWithEncodedPath("/tmp/c%zz.img"), 0, tool.url()));
    EXPECT_EQ(tool.arguments().back(), "/tmp/c%zz.img");
    tasks::runBlocking(detach());
    EXPECT_EQ(tool.arguments(), (std::vector<std::string> { "detach", "disk4" }));
    EXPECT_EQ(failure(attach), DiskImage::Error::attachDeviceLookupFailed());
    tool.answer("/dev/disk4\t\t\n", 0);
    EXPECT_EQ(tasks::runBlocking(attach()).path(), "/dev/disk4");
    EXPECT_EQ(tool.arguments(), (std::vector<std::string> { "attach", "-nomount", "/tmp/a.img" }));

    tool.answer("created", 1);
    EXPECT_EQ(failure(create), DiskImage::Error::createFailed(1));
    EXPECT_EQ(failure(detach), DiskImage::Error::detachFailed(1));
    tool.answer("/dev/disk4\n", 2);
    DiskImage::Error error = failure(attach);
    EXPECT_EQ(error, DiskImage::Error::attachFailed(2));
    EXPECT_STREQ(error.what(), "DiskImage.Error.attachFailed(status: 2)");
    EXPECT_EQ(openDescriptors(), before);
}

// A failing status or an empty output reads as no image; errors of decoding and launching are
// passed on. No run leaves a descriptor behind.
TEST(DiskImage, LookUpFindsTheImageWhoseEntityIsTheDeviceAndPassesOnDecodingAndLaunchErrors)
{
    auto before = openDescriptors();
    {
        FakeDiskImageTool tool;
        tool.answer(std::string(twoImages), 0);
        EXPECT_EQ(tasks::runBlocking(DiskImage::url("disk5", tool.url())),
            URL::fileURLWithPath("/images/second.img"));
        EXPECT_EQ(tool.arguments(), (std::vector<std::string> { "info", "-plist" }));
        EXPECT_EQ(tasks::runBlocking(DiskImage::url("disk4", tool.url())),
            URL::fileURLWithPath("/images/first.img"));
        EXPECT_EQ(tasks::runBlocking(DiskImage::url("disk6", tool.url())), std::nullopt);
        EXPECT_EQ(tasks::runBlocking(DiskImage::url("/dev/disk5", tool.url())), std::nullopt);

        tool.answer(std::string(twoImages), 1);
        EXPECT_EQ(tasks::runBlocking(DiskImage::url("disk5", tool.url())), std::nullopt);
        tool.answer("", 0);
        EXPECT_EQ(tasks::runBlocking(DiskImage::url("disk5", tool.url())), std::nullopt);
        tool.answer("not a property list", 0);
        EXPECT_THROW(tasks::runBlocking(DiskImage::url("disk5", tool.url())), foundation::DecodingError);
        tool.answer(R"(<plist version="1.0"><dict><key>images</key><array><dict>
        <key>image-path</key><string>/images/x.img</string></dict></array></dict></plist>)",
            0);
        try {
            tasks::runBlocking(DiskImage::url("disk5", tool.url()));
            FAIL() << "an image without system entities was decoded";
        } catch (const foundation::DecodingError& error) {
            EXPECT_EQ(error.kind(), foundation::DecodingError::Kind::keyNotFound);
        }
    }
    URL missing = URL::fileURLWithPath("/nonexistent/hdiutil");
    EXPECT_THROW(tasks::runBlocking(DiskImage::detach("disk4", missing)), foundation::LaunchError);
    EXPECT_THROW(tasks::runBlocking(DiskImage::url("disk4", missing)), foundation::LaunchError);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(ProcessRun, ALaunchFailureIsThrownAsTheLaunchErrorAndTheTerminationHandlerIsDropped)
{
    auto process = std::make_shared<foundation::Process>();
    process->executableURL = foundation::URL::fileURLWithPath("/nonexistent/tool");
    EXPECT_EQ(testing_support::errnoThrownBy<foundation::LaunchError>(
                  [&] { (void)tasks::runBlocking(vl::run(process)); }),
        ENOENT);
    EXPECT_FALSE(process->terminationHandler);
}

// An output far beyond a pipe's buffer is read while the tool runs; read after it ends, it would
// leave the tool blocked in its write for good.
TEST(DiskImage, AnOutputLongerThanAPipeHoldsIsReadWhileTheToolRuns)
{
    FakeDiskImageTool tool;
    std::string many = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                       "version=\"1.0\"><dict><key>images</key><array>\n";
    for (int index = 0; index < 4000; ++index)
        many += "<dict><key>image-path</key><string>/images/" + std::to_string(index)
            + ".img</string><key>system-entities</key><array><dict><key>dev-entry</key><string>/dev/loop"
            + std::to_string(index) + "</string></dict></array></dict>\n";
    many += "</array></dict></plist>\n";
    ASSERT_GT(many.size(), 4u * 65536);
    tool.answer(many, 0);
    auto found = std::make_shared<Mailbox<std::optional<URL>>>();
    auto lookUp = [](URL tool, std::shared_ptr<Mailbox<std::optional<URL>>> found) -> tasks::Task<void> {
        found->push(co_await DiskImage::url("loop3999", tool));
    };
    tasks::spawnDetached(lookUp(tool.url(), found));
    std::optional<URL> image = found->next();
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->path(), "/images/3999.img");
}

TEST(DiskImage, TheLinuxToolMakesAttachesFindsAndDetachesALoopDevice)
{
    if (std::optional<std::string> reason = testing_support::loopDevicesUnavailable())
        GTEST_SKIP() << "skipped: " << *reason;
    auto before = openDescriptors();
    char pattern[] = "/tmp/vorlane-loop-test-XXXXXX";
    std::string directory = ::mkdtemp(pattern);
    ScopeExit removeDirectory([&] { std::filesystem::remove_all(directory); });
    URL image = URL::fileURLWithPath(directory + "/volume image.img");
    tasks::runBlocking(DiskImage::create(image, 1048576));
    EXPECT_EQ(std::filesystem::file_size(directory + "/volume image.img"), 1048576u);
    EXPECT_EQ(failure([&] { return DiskImage::create(image, 1048576); }), DiskImage::Error::createFailed(1));

    std::string devicePath = *tasks::runBlocking(DiskImage::attach(image)).path();
    std::string bsdName = devicePath.substr(std::min<std::size_t>(5, devicePath.size()));
    bool detached = false;
    // A failing assertion below must not leave the device attached.
    ScopeExit detach([&] {
        if (!detached)
            (void)tasks::runBlocking(tasks::catching(DiskImage::detach(bsdName)));
    });
    ASSERT_TRUE(devicePath.starts_with("/dev/loop")) << devicePath;
    EXPECT_EQ(tasks::runBlocking(DiskImage::url(bsdName)), image);

    tasks::runBlocking(DiskImage::detach(bsdName));
    detached = true;
    EXPECT_EQ(tasks::runBlocking(DiskImage::url(bsdName)), std::nullopt);
    EXPECT_EQ(failure([&] { return DiskImage::detach(bsdName); }), DiskImage::Error::detachFailed(1));
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
