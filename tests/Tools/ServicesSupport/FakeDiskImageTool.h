// A disk-image tool for tests, in a directory of its own: "create" makes the image file,
// "attach" makes a device that is a symbolic link to the image in devices/ and prints its path,
// "detach" removes it (failing for a device that is not there). Each run appends its command
// line to a log. A file "fail-create" or "fail-attach" in the directory makes that command fail
// with status 1. Safe for concurrent runs: device names are taken with atomic link creation.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace testing_support {

class FakeDiskImageTool {
public:
    FakeDiskImageTool()
    {
        char pattern[] = "/tmp/vorlane-services-test-XXXXXX";
        directory = ::mkdtemp(pattern);
        std::filesystem::create_directory(directory + "/devices");
        std::filesystem::create_directory(directory + "/images");
        std::ofstream script(toolPath());
        script << "#!/bin/sh\n"
               << "directory='" << directory << "'\n"
               << "echo \"$*\" >> \"$directory/log\"\n"
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
        ::chmod(toolPath().c_str(), 0755);
    }

    ~FakeDiskImageTool() { std::filesystem::remove_all(directory); }
    FakeDiskImageTool(const FakeDiskImageTool&) = delete;
    FakeDiskImageTool& operator=(const FakeDiskImageTool&) = delete;

    std::string toolPath() const { return directory + "/tool"; }
    std::string imageDirectory() const { return directory + "/images"; }

    void failing(const std::string& command) const { std::ofstream(directory + "/fail-" + command) << ""; }

    std::vector<std::string> devices() const { return entries(directory + "/devices"); }
    std::vector<std::string> images() const { return entries(imageDirectory()); }

    std::vector<std::string> log() const
    {
        std::ifstream file(directory + "/log");
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        return lines;
    }

private:
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
