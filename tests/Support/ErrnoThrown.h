// The errno that an operation fails with, for tests that compare errors by their code alone.
#pragma once

#include "Platform/Foundation/POSIXError.h"

namespace testing_support {

// Runs `operation`: the errno of the `Error` (a POSIXError) it throws, 0 when it throws none. Any
// other exception passes through and fails the test.
template <typename Error = foundation::POSIXError, typename Operation>
int errnoThrownBy(Operation&& operation)
{
    try {
        operation();
    } catch (const Error& error) {
        return error.errnoCode();
    }
    return 0;
}

} // namespace testing_support
