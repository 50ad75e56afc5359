// What the test process has open: the descriptor numbers listed in /proc/self/fd, so that a test
// can compare them before and after the code under test ran and find the ones it leaked.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <set>
#include <string>

namespace testing_support {

inline std::set<int> openDescriptors()
{
    std::set<int> descriptors;
    DIR* directory = ::opendir("/proc/self/fd");
    if (directory == nullptr)
        return descriptors;
    int own = ::dirfd(directory);
    while (dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.')
            continue;
        int descriptor = std::atoi(entry->d_name);
        if (descriptor != own)
            descriptors.insert(descriptor);
    }
    ::closedir(directory);
    return descriptors;
}

} // namespace testing_support
