// Property checks for the fuzz targets: a violated property aborts, which
// libFuzzer reports as a finding and saves the input for.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool holds, const char* what)
{
    if (!holds) {
        std::printf("property violated: %s\n", what);
        std::fflush(stdout);
        std::abort();
    }
}
