// The device layer's diagnostic lines go to standard output in one fixed form,
// "<source>:<line>:ERROR", where the number names the failure site.
#ifndef USTEST_USDIAG_H
#define USTEST_USDIAG_H

#include <cstdio>

inline void us_diag(const char *source, int line)
{
    std::printf("%s:%d:ERROR\n", source, line);
}

#endif
