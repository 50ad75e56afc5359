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
    // A death test's child (the same program, started with the parent's environment) makes its
    // directory inside the parent's, which the parent removes: the child dies without cleaning up.
    void SetUp() override
    {
        const char* parent = std::getenv(parentVariable);
        std::string pattern = std::string(parent ? parent : "/tmp") + "/vorlane-xpc-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        directory = pattern;
        ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
        ASSERT_EQ(::setenv("VORLANE_RUNTIME_DIR", directory.c_str(), 1), 0);
        if (!parent) {
            ASSERT_EQ(::setenv(parentVariable, directory.c_str(), 1), 0);
        }
    }

    // Sockets of services that a test left listening go with the directory.
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }

private:
    static constexpr const char* parentVariable = "VORLANE_TEST_RUNTIME_PARENT";
    std::string directory;
};

[[maybe_unused]] testing::Environment* const environment
    = testing::AddGlobalTestEnvironment(new XPCRuntimeDirectory);

} // namespace
} // namespace testing_support
