// A runtime directory of its own for the named XPC services of one test program: made before any
// test starts a thread, named by VORLANE_RUNTIME_DIR, and removed at the end. Others may search
// it (a test runs a peer under another user). A test program that uses named services links the
// XPCRuntimeDirectory object library, which registers one for the whole program.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testing_support {
namespace {

class XPCRuntimeDirectory : public testing::Environment {
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/vorlane-xpc-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
        ASSERT_EQ(::setenv("VORLANE_RUNTIME_DIR", directory.c_str(), 1), 0);
    }

    // Sockets of services that a test left listening go with the directory.
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

private:
    std::string directory;
};

[[maybe_unused]] testing::Environment* const environment
    = testing::AddGlobalTestEnvironment(new XPCRuntimeDirectory);

} // namespace
} // namespace testing_support
