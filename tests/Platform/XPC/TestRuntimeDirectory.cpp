// Every XPC test program serves its named services from a runtime directory of its own, made
// before any test starts a thread and removed at the end; others may search it (a test runs a
// peer under another user).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

class TestRuntimeDirectory : public testing::Environment {
public:
    void SetUp() override
    {
        char pattern[] = "/tmp/vorlane-xpc-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
        ASSERT_EQ(::setenv("VORLANE_RUNTIME_DIR", directory.c_str(), 1), 0);
    }

    void TearDown() override { ::rmdir(directory.c_str()); }

private:
    std::string directory;
};

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new TestRuntimeDirectory);

} // namespace
