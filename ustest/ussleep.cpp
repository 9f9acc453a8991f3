#include "ussleep.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

void real_sleep(unsigned ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::atomic<us_sleep_fn> g_sleep{&real_sleep};

} // namespace

void us_sleep_ms(unsigned ms)
{
    g_sleep.load()(ms);
}

us_sleep_fn us_set_sleep(us_sleep_fn fn)
{
    return g_sleep.exchange(fn ? fn : &real_sleep);
}
