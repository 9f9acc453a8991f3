// What an interruption does. Until the transfer starts, SIGINT and SIGQUIT
// end the program at once (exit 130): nothing has been written to the device.
// From then on, until the worker ends, SIGINT, SIGQUIT, SIGTERM and SIGHUP are
// caught and answered once with a warning: a device cut off mid-update may be
// left without working firmware. SIGPIPE is ignored throughout.
#ifndef FWTOOL_INTERRUPT_H
#define FWTOOL_INTERRUPT_H

namespace fwtool {

void interrupt_install();
// Safe from any thread; takes effect before the caller's next step.
void interrupt_protect(bool on);

} // namespace fwtool

#endif
