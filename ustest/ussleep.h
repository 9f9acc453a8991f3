// Every wait of the device layer goes through us_sleep_ms, so that tests can
// swap in a virtual clock and run the long time-out paths without waiting.
#ifndef USTEST_USSLEEP_H
#define USTEST_USSLEEP_H

typedef void (*us_sleep_fn)(unsigned ms);

// Blocks the calling thread for ms milliseconds (or whatever the installed
// sleep function does instead).
void us_sleep_ms(unsigned ms);

// Installs fn as the sleep function; null restores the real one. Returns the
// previous function. Not thread-safe: install before any device traffic.
us_sleep_fn us_set_sleep(us_sleep_fn fn);

#endif
