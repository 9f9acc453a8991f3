#include "usctlmsg.h"

#include "usdiag.h"

namespace usctl_detail {

namespace {

const char kSource[] = "..\\ustest\\usctl";

} // namespace

void diag(int line)
{
    us_diag(kSource, line);
}

void set_cause(usctl_handle *dev, us_cause cause)
{
    if (dev && *dev)
        (*dev)->cause = cause;
}

bool failed_for_good(usctl_handle *dev)
{
    return us_cause_is_final(usctl_last_cause(dev));
}

bool next_item(UsMsg *msg, Item *item)
{
    return usmsg_get(msg, &item->tag, &item->type, &item->value, &item->length) == 0;
}

int end_and_send(usctl_handle *dev, UsMsg *msg, int end_line, int wait_line, int send_line)
{
    if (usmsg_put(msg, 0, USMSG_TYPE_END, 0, 0) != 0) {
        diag(end_line);
        return 1;
    }
    if (usctl_wait_ready(dev) != 0) {
        diag(wait_line);
        return 1;
    }
    if (usctl_send(dev, msg) != 0) {
        diag(send_line);
        return 1;
    }
    return 0;
}

int send_request(usctl_handle *dev, UsMsg *msg, std::initializer_list<RequestItem> items,
                 std::initializer_list<int> lines)
{
    const int *line = lines.begin();
    usmsg_reset(msg);
    for (const RequestItem &item : items) {
        if (usmsg_put(msg, item.tag, item.type, item.value, 0) != 0) {
            diag(*line);
            return 1;
        }
        ++line;
    }
    return end_and_send(dev, msg, line[0], line[1], line[2]);
}

} // namespace usctl_detail
