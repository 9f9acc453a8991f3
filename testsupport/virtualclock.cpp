#include "virtualclock.h"

#include <atomic>

namespace {

std::atomic<uint64_t> g_now{0};
std::atomic<uint64_t> g_sleeps{0};
std::atomic<uint64_t> g_by_ms[1001];

void virtual_sleep(unsigned ms)
{
    g_now += ms;
    ++g_sleeps;
    if (ms <= 1000)
        ++g_by_ms[ms];
}

} // namespace

VirtualClock::VirtualClock() : previous_(us_set_sleep(&virtual_sleep))
{
    reset();
}

VirtualClock::~VirtualClock()
{
    us_set_sleep(previous_);
}

uint64_t VirtualClock::now_ms() { return g_now; }
uint64_t VirtualClock::sleeps() { return g_sleeps; }
uint64_t VirtualClock::sleeps_of(unsigned ms) { return ms <= 1000 ? g_by_ms[ms].load() : 0; }

void VirtualClock::reset()
{
    g_now = 0;
    g_sleeps = 0;
    for (auto &c : g_by_ms)
        c = 0;
}
