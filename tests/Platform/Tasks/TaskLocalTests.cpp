#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskLocal.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using tasks::Task;

tasks::TaskLocal<std::string> label { "default" };

TEST(TaskLocal, BindingIsSeenInsideTheScopeOnlyAndNestsAndUnwindsOnErrorInTasksAndPlainBodies)
{
    EXPECT_EQ(label.get(), "default");
    auto body = []() -> Task<std::string> {
        std::string trace = label.get();
        trace += "," + co_await label.withValue("a", []() -> Task<std::string> {
            std::string inner = label.get();
            inner += ","
                + co_await label.withValue("b", []() -> Task<std::string> { co_return label.get(); }());
            inner += "," + label.get();
            co_return inner;
        }());
        try {
            co_await label.withValue("failing", []() -> Task<void> {
                throw std::runtime_error("scope failed");
                co_return;
            }());
        } catch (const std::runtime_error&) {
        }
        // A synchronous body sees the binding only while it runs, also when it throws.
        trace += "," + label.withValue("sync", [] { return label.get(); });
        try {
            label.withValue("failing", []() -> int { throw std::runtime_error("body failed"); });
        } catch (const std::runtime_error&) {
        }
        trace += "," + label.get();
        co_return trace;
    };
    EXPECT_EQ(tasks::runBlocking(body()), "default,a,b,a,sync,default");
}

} // namespace
