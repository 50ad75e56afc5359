#include "vorlane-services/ServicesProgram.h"

#include "Common/SignalWatcher.h"
#include "Platform/Tasks/Spawn.h"
#include "vorlane-services/LaunchServices.h"
#include "vorlane-services/ProcessHostLauncher.h"
#include "vorlane-services/ServicesLog.h"

#include <csignal>
#include <iostream>

namespace services {

int runServices(const ServicesOptions& options)
{
    LaunchServices::Configuration configuration {
        .diskImageTool = foundation::URL::fileURLWithPath(options.diskImageTool),
        .imageDirectory = options.imageDirectory,
        .imageSize = options.imageSize,
        .hostLauncher
        = std::make_shared<ProcessHostLauncher>(foundation::URL::fileURLWithPath(options.hostCommand)),
        .hostPatience = options.hostPatience,
    };
    LaunchServices launchServices(std::move(configuration));
    SignalWatcher signals({ SIGINT, SIGTERM }, [&launchServices](int signal) {
        servicesLog().info("Received signal %s", signal);
        launchServices.stop();
    });
    try {
        launchServices.listen();
    } catch (const std::exception& error) {
        servicesLog().error("Cannot listen: %s", error);
        return 1;
    }
    std::cout << "ready" << std::endl;
    tasks::runBlocking(launchServices.run());
    tasks::waitForSpawnedTasks(std::chrono::seconds(5));
    return 0;
}

} // namespace services
