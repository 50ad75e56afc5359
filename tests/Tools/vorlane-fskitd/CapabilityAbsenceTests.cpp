#include "vorlane-fskitd/CapabilityAbsence.h"

#include <gtest/gtest.h>

namespace {

using host::CapabilityAbsence;
using namespace std::chrono_literals;

TEST(CapabilityAbsence, AnAbsenceHoldsForItsValidityUnlessTheNodeChangesMeanwhile)
{
    CapabilityAbsence absence(1s);
    const CapabilityAbsence::Clock::time_point now { 100s };
    EXPECT_FALSE(absence.known(7, now));

    absence.remember(7, now, absence.ticket());
    EXPECT_TRUE(absence.known(7, now + 999ms));
    EXPECT_FALSE(absence.known(7, now + 1s));
    EXPECT_FALSE(absence.known(8, now));

    // Setting or removing the attribute, or the kernel forgetting the node, ends it at once.
    absence.forget(7);
    EXPECT_FALSE(absence.known(7, now));

    // An answer asked for before a change may describe the node as it was: it is not kept.
    CapabilityAbsence::Ticket asked = absence.ticket();
    absence.forget(9);
    absence.remember(7, now, asked);
    EXPECT_FALSE(absence.known(7, now));
}

} // namespace
