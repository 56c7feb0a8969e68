// Generated tests run a few thousand cases by default and far more when
// TAVIX_TEST_LONG=1 is set (scripts/test sets it for the plain stage; the
// sanitizer stages keep the default).
#pragma once

#include <cstdlib>
#include <cstring>

inline bool longTestRun()
{
    const char *value = std::getenv("TAVIX_TEST_LONG");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

// `usual` in a default run, `inLong` in a long one.
inline int casesForRun(int usual, int inLong)
{
    return longTestRun() ? inLong : usual;
}
