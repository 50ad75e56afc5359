// The fuzzers' assertion: a broken expectation stops the run at once, as a crash that libFuzzer
// records with its input, in every build (no assert() that NDEBUG would remove).
#pragma once

inline void require(bool condition)
{
    if (!condition)
        __builtin_trap();
}
