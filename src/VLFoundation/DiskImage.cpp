#include "VLFoundation/DiskImage.h"

#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/Pipe.h"
#include "Platform/Foundation/Process.h"
#include "Platform/Tasks/Result.h"
#include "VLFoundation/ProcessRun.h"

#include <future>
#include <memory>

namespace vl::DiskImage {

namespace {

std::string caseName(Error::Case which)
{
    switch (which) {
    case Error::Case::createFailed:
        return "createFailed";
    case Error::Case::attachFailed:
        return "attachFailed";
    case Error::Case::detachFailed:
        return "detachFailed";
    case Error::Case::attachDeviceLookupFailed:
        return "attachDeviceLookupFailed";
    }
    return "unknown";
}

std::string imagePath(const foundation::URL& image)
{
    return image.path().value_or(image.encodedPath());
}

std::shared_ptr<foundation::Process> makeProcess(const foundation::URL& tool,
    std::vector<std::string> arguments, foundation::Process::StandardOutput output)
{
    auto process = std::make_shared<foundation::Process>();
    process->executableURL = tool;
    process->arguments = std::move(arguments);
    process->standardOutput = std::move(output);
    return process;
}

foundation::Process::StandardOutput nullDevice()
{
    return foundation::FileHandle::forWritingAtPath("/dev/null");
}

bool isWhiteSpaceOrLineEnd(char character)
{
    return character == ' ' || character == '\t' || character == '\n' || character == '\r'
        || character == '\v' || character == '\f';
}

std::string trimmed(const std::string& text)
{
    std::size_t first = 0;
    std::size_t last = text.size();
    while (first < last && isWhiteSpaceOrLineEnd(text[first]))
        ++first;
    while (last > first && isWhiteSpaceOrLineEnd(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// The tool's exit status and what it printed on its standard output.
struct ToolOutput {
    std::int32_t status;
    std::optional<foundation::Data> output;
};

// Runs the tool and reads its output on a thread of its own while it runs: an output larger than
// the pipe's buffer (many attached images) would otherwise stall the tool, and its caller with it.
tasks::Task<ToolOutput> runReadingOutput(const foundation::URL& tool, std::vector<std::string> arguments)
{
    auto pipe = std::make_shared<foundation::Pipe>();
    auto process = makeProcess(tool, std::move(arguments), pipe);
    std::future<std::optional<foundation::Data>> output = std::async(
        std::launch::async, [reading = pipe->fileHandleForReading()] { return reading->readToEnd(); });
    tasks::Result<std::int32_t> status = co_await tasks::catching(run(process));
    if (!status.isSuccess()) {
        // Never launched: the writing end is still ours, and closing it ends the reading.
        try {
            pipe->fileHandleForWriting()->close();
        } catch (const foundation::POSIXError&) {
        }
        output.wait();
        std::rethrow_exception(status.error());
    }
    // The tool has ended: the reading ends at once, unless something it started keeps the pipe.
    co_return ToolOutput { status.get(), output.get() };
}

} // namespace

Error::Error(Case which, std::optional<std::int32_t> status)
    : which(which)
    , exitStatus(status)
{
    text = "DiskImage.Error." + caseName(which);
    if (status)
        text += "(status: " + std::to_string(*status) + ")";
}

Info Info::decode(const foundation::PropertyList& propertyList)
{
    Info info;
    for (const foundation::PropertyList& imageList : propertyList.value("images").array()) {
        Image image;
        image.imagePath = imageList.value("image-path").string();
        for (const foundation::PropertyList& entity : imageList.value("system-entities").array())
            image.systemEntities.push_back(SystemEntity { entity.value("dev-entry").string() });
        info.images.push_back(std::move(image));
    }
    return info;
}

foundation::URL defaultToolURL()
{
    return foundation::URL::fileURLWithPath(VL_DISK_IMAGE_TOOL);
}

tasks::Task<void> create(foundation::URL image, std::int64_t size, foundation::URL tool)
{
    auto process = makeProcess(
        tool, { "create", "-size", std::to_string(size), "-layout", "NONE", imagePath(image) }, nullDevice());
    std::int32_t status = co_await run(process);
    if (status != 0)
        throw Error::createFailed(status);
}

tasks::Task<foundation::URL> attach(foundation::URL image, foundation::URL tool)
{
    // Named first (g++ 12, see Task.h).
    std::vector<std::string> arguments { "attach", "-nomount", imagePath(image) };
    ToolOutput printed = co_await runReadingOutput(tool, std::move(arguments));
    if (printed.status != 0)
        throw Error::attachFailed(printed.status);
    if (!printed.output)
        throw Error::attachDeviceLookupFailed();
    co_return foundation::URL::fileURLWithPath(trimmed(printed.output->decodedAsUTF8()));
}

tasks::Task<void> detach(std::string bsdName, foundation::URL tool)
{
    auto process = makeProcess(tool, { "detach", bsdName }, nullDevice());
    std::int32_t status = co_await run(process);
    if (status != 0)
        throw Error::detachFailed(status);
}

tasks::Task<std::optional<Info>> info(foundation::URL tool)
{
    // Named first (g++ 12, see Task.h).
    std::vector<std::string> arguments { "info", "-plist" };
    ToolOutput printed = co_await runReadingOutput(tool, std::move(arguments));
    if (printed.status != 0 || !printed.output)
        co_return std::nullopt;
    co_return Info::decode(foundation::PropertyList::decode(*printed.output));
}

tasks::Task<std::optional<foundation::URL>> url(std::string bsdName, foundation::URL tool)
{
    std::optional<Info> attached = co_await info(std::move(tool));
    if (!attached)
        co_return std::nullopt;
    std::string device = "/dev/" + bsdName;
    for (const Image& image : attached->images)
        for (const SystemEntity& entity : image.systemEntities)
            if (entity.devEntry == device)
                co_return foundation::URL::fileURLWithPath(image.imagePath);
    co_return std::nullopt;
}

} // namespace vl::DiskImage
