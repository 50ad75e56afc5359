#include "Platform/FSKit/FSError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <exception>

namespace {

TEST(FSError, CarriesTheErrnoAndIsAPOSIXDomainSystemError)
{
    try {
        throw fskit::fs_errorForPOSIXError(ENXIO);
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENXIO);
        EXPECT_EQ(error.code().category(), std::generic_category());
        EXPECT_EQ(error.code(), std::errc::no_such_device_or_address);
    }
}

TEST(FSError, IsCaughtAsThePOSIXErrorOfTheFoundationLayer)
{
    try {
        throw fskit::fs_errorForPOSIXError(ENOTSUP);
    } catch (const foundation::POSIXError& error) {
        EXPECT_EQ(error.errnoCode(), ENOTSUP);
    }
}

TEST(FSError, KeepsItsTypeAndCodeThroughAnExceptionPointer)
{
    std::exception_ptr error = std::make_exception_ptr(fskit::fs_errorForPOSIXError(EBADF));
    try {
        std::rethrow_exception(error);
    } catch (const fskit::FSError& rethrown) {
        EXPECT_EQ(rethrown.errnoCode(), EBADF);
    }
}

} // namespace
