// When a driver side is asked to stop, and whether it may stop yet. A stop is
// asked for by SIGINT, SIGTERM, SIGHUP or SIGQUIT (none of them ends the
// program by its default action, which would leave its registry entries
// behind), or, when watched, by the program's standard input reaching its
// end: the launcher holds the other end for as long as the window runs.
//
// Asked once, the request stands: later signals change nothing. Whether the
// program may stop yet is its owner's word (busy: an update of one of its
// devices is running); while it is busy every request is still served whole.
#ifndef CHANNELDRIVER_STOPREQUEST_H
#define CHANNELDRIVER_STOPREQUEST_H

#include <functional>
#include <string>
#include <vector>

#include <poll.h>

namespace qeldriver {

class StopRequest {
public:
    // Installs the signal handlers (once a process). False with *error set.
    bool install(std::string *error);
    // The end of standard input asks for a stop too; data read is dropped.
    void watch_stdin() { stdin_watched_ = true; }

    // The descriptors that bring news of a stop; to be polled for POLLIN.
    void add_pollfds(std::vector<pollfd> *fds) const;
    // Takes what the polled descriptors brought (first: where add_pollfds
    // began). Drains them, so that a standing request never keeps a poll awake.
    void take(const pollfd *first);
    // Takes whatever is there without waiting.
    void take_now();

    bool requested() const { return requested_; }

    // Tells whether the program is busy (an update running); no busy test
    // means never busy.
    void set_busy_test(std::function<bool()> busy) { busy_ = std::move(busy); }
    bool busy() const { return busy_ && busy_(); }
    // Asked to stop and not busy: whatever waits may give up now.
    bool due() const { return requested_ && !busy(); }

private:
    void take_signals();
    void take_stdin();

    bool stdin_watched_ = false;
    bool stdin_ended_ = false;
    bool requested_ = false;
    std::function<bool()> busy_;
};

// How long a driver side asked to stop waits for a running update at most,
// and how often it looks whether the update has ended meanwhile.
enum { kUpdateWaitLimitMs = 10 * 60 * 1000, kUpdatePollMs = 250 };

} // namespace qeldriver

#endif
