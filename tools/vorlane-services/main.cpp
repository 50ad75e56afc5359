// vorlane-services: the broker and the daemon service of the containing application, for Linux.
#include "vorlane-services/ServicesCommandLine.h"
#include "vorlane-services/ServicesProgram.h"

#include <algorithm>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (std::find(arguments.begin(), arguments.end(), "--help") != arguments.end()) {
        std::cout << services::servicesUsage;
        return 0;
    }
    const char* host = std::getenv("VORLANE_FSKIT_HOST");
    try {
        services::ServicesOptions options = services::parseServicesArguments(
            arguments, host ? std::optional<std::string>(host) : std::nullopt);
        return services::runServices(options);
    } catch (const services::UsageError& error) {
        std::cerr << "vorlane-services: " << error.what() << "\n" << services::servicesUsage;
        return 2;
    }
}
