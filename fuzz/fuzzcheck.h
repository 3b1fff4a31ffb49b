#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant in a fuzz target: says which one and aborts, so that
// libFuzzer stops, saves the input that broke it and exits with an error.
inline void fuzzCheck(bool holds, const char *invariant)
{
    if (holds)
        return;
    std::fprintf(stderr, "Invariant broken: %s\n", invariant);
    std::abort();
}
