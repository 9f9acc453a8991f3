// A virtual clock for tests: while installed, us_sleep_ms returns at once and
// only advances the clock, so time-outs of minutes run in milliseconds.
#ifndef USTEST_TESTS_VIRTUALCLOCK_H
#define USTEST_TESTS_VIRTUALCLOCK_H

#include <cstdint>

#include "ussleep.h"

class VirtualClock {
public:
    VirtualClock();    // installs itself as the sleep function
    ~VirtualClock();   // restores the previous one

    VirtualClock(const VirtualClock &) = delete;
    VirtualClock &operator=(const VirtualClock &) = delete;

    static uint64_t now_ms();          // virtual milliseconds slept so far
    static uint64_t sleeps();          // number of sleep calls
    static uint64_t sleeps_of(unsigned ms);   // calls asking for exactly ms
    static void reset();

private:
    us_sleep_fn previous_;
};

#endif
