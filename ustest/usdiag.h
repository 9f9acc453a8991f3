// The device layer's diagnostic lines, "<source>:<line>:ERROR", where the
// number names the failure site; they go to the layer's trace.
#ifndef USTEST_USDIAG_H
#define USTEST_USDIAG_H

#include "ustrace.h"

inline void us_diag(const char *source, int line)
{
    us_tracef("%s:%d:ERROR\n", source, line);
}

#endif
