#include "Support/XPCRuntimeDirectory.h"

namespace {

[[maybe_unused]] testing::Environment* const environment =
    testing::AddGlobalTestEnvironment(new testing_support::XPCRuntimeDirectory);

} // namespace
