// A disk-image tool for tests, in a directory of its own. By default it behaves: "create" makes
// the image file, "attach" makes a device that is a symbolic link to the image in devices/ and
// prints its path, "detach" removes it (failing for a device that is not there); failing("create")
// or failing("attach") makes that command exit with status 1. answer() replaces every command's
// behaviour with fixed output and status instead. Each run's arguments are logged. Safe for
// concurrent runs: device names are taken with atomic link creation.
#pragma once

#include "Platform/Foundation/URL.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

class FakeDiskImageTool {
public:
    FakeDiskImageTool()
    {
        char pattern[] = "/tmp/vorlane-disk-image-tool-XXXXXX";
        directory = ::mkdtemp(pattern);
        std::filesystem::create_directory(directory + "/devices");
        std::filesystem::create_directory(directory + "/images");
        std::ofstream script(toolPath());
        // Arguments are logged separated by the unit separator, so that spaces inside one survive.
        script << "#!/bin/sh\n"
               << "directory='" << directory << "'\n"
               << "printf '%s\\037' \"$@\" >> \"$directory/log\"; echo >> \"$directory/log\"\n"
               << "if [ -e \"$directory/status\" ]; then\n"
               << "    cat \"$directory/output\"; exit \"$(cat \"$directory/status\")\"\n"
               << "fi\n"
               << "case \"$1\" in\n"
               << "create)\n"
               << "    [ -e \"$directory/fail-create\" ] && exit 1\n"
               << "    truncate --size=\"$3\" -- \"$6\" ;;\n"
               << "attach)\n"
               << "    [ -e \"$directory/fail-attach\" ] && exit 1\n"
               << "    number=0\n"
               << "    until ln -s -- \"$3\" \"$directory/devices/disk$number\" 2>/dev/null; do\n"
               << "        number=$((number + 1))\n"
               << "    done\n"
               << "    echo \"$directory/devices/disk$number\" ;;\n"
               << "detach)\n"
               << "    [ -L \"$directory/devices/$2\" ] || exit 1\n"
               << "    rm -- \"$directory/devices/$2\" ;;\n"
               << "*) exit 2 ;;\n"
               << "esac\n";
        script.close();
        std::filesystem::permissions(toolPath(), std::filesystem::perms(0755));
    }

    ~FakeDiskImageTool() { std::filesystem::remove_all(directory); }
    FakeDiskImageTool(const FakeDiskImageTool&) = delete;
    FakeDiskImageTool& operator=(const FakeDiskImageTool&) = delete;

    std::string toolPath() const { return directory + "/tool"; }
    foundation::URL url() const { return foundation::URL::fileURLWithPath(toolPath()); }
    std::string imageDirectory() const { return directory + "/images"; }

    void failing(const std::string& command) const { std::ofstream(directory + "/fail-" + command) << ""; }
    // From now on every command prints `output` and exits with `status`.
    void answer(const std::string& output, int status) const
    {
        std::ofstream(directory + "/output") << output;
        std::ofstream(directory + "/status") << status;
    }

    std::vector<std::string> devices() const { return entries(directory + "/devices"); }
    std::vector<std::string> images() const { return entries(imageDirectory()); }

    // Each run's arguments, joined by spaces, in the order the runs started.
    std::vector<std::string> log() const
    {
        std::vector<std::string> lines;
        for (const std::vector<std::string>& run : runs()) {
            std::string line;
            for (const std::string& argument : run)
                line += (line.empty() ? "" : " ") + argument;
            lines.push_back(line);
        }
        return lines;
    }

    // The arguments of the latest run, one element each.
    std::vector<std::string> arguments() const
    {
        std::vector<std::vector<std::string>> all = runs();
        return all.empty() ? std::vector<std::string> {} : all.back();
    }

private:
    std::vector<std::vector<std::string>> runs() const
    {
        std::ifstream file(directory + "/log");
        std::vector<std::vector<std::string>> all;
        for (std::string line; std::getline(file, line);) {
            std::vector<std::string> run;
            std::istringstream fields(line);
            for (std::string argument; std::getline(fields, argument, '\037');)
                run.push_back(argument);
            all.push_back(run);
        }
        return all;
    }

    static std::vector<std::string> entries(const std::string& path)
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path))
            names.push_back(entry.path().filename().string());
        return names;
    }

    std::string directory;
};

} // namespace testing_support
