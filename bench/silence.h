// Sends stdout to the null device until destroyed: the device layer traces
// every message, and a benchmark's figures are printed afterwards.
#ifndef BENCH_SILENCE_H
#define BENCH_SILENCE_H

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#define qel_dup _dup
#define qel_dup2 _dup2
#define qel_fileno _fileno
static const char kNullDevice[] = "NUL";
#else
#include <unistd.h>
#define qel_dup dup
#define qel_dup2 dup2
#define qel_fileno fileno
static const char kNullDevice[] = "/dev/null";
#endif

class Silence {
public:
    Silence()
    {
        std::fflush(stdout);
        saved_ = qel_dup(qel_fileno(stdout));
        if (!std::freopen(kNullDevice, "w", stdout))
            std::exit(1);
    }
    ~Silence()
    {
        std::fflush(stdout);
        qel_dup2(saved_, qel_fileno(stdout));
    }

private:
    int saved_;
};

#endif
