/* reply_deadline: the deadline of one connection as its own reads' poll() timeouts.
 * With one thread per call, the thread that waits for a reply is the one that knows the
 * deadline, so it waits with the time left instead of a watchdog thread shutting the
 * connection from outside: nothing is shared between calls, nothing needs a lock, and
 * the descriptor can never be touched after its call has closed it. */
#include "reply_deadline.h"

#include <poll.h>

#include <cerrno>

namespace {

long milliseconds_until(const struct timespec &due) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long left = (due.tv_sec - now.tv_sec) * 1000L + (due.tv_nsec - now.tv_nsec) / 1000000L;
    return left > 0 ? left : 0;
}

}  // namespace

void ArmReplyDeadline(ReplyDeadline *deadline, int milliseconds) {
    clock_gettime(CLOCK_MONOTONIC, &deadline->due);
    deadline->due.tv_sec += milliseconds / 1000;
    deadline->due.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline->due.tv_nsec >= 1000000000L) {
        deadline->due.tv_sec += 1;
        deadline->due.tv_nsec -= 1000000000L;
    }
    deadline->armed = true;
    deadline->passed = false;
}

bool DisarmReplyDeadline(ReplyDeadline *deadline) {
    deadline->armed = false;
    return deadline->passed;
}

bool ReplyDeadlinePassed(const ReplyDeadline *deadline) { return deadline->passed; }

bool AwaitReply(ReplyDeadline *deadline, int descriptor) {
    if (deadline == nullptr || !deadline->armed) return true;
    if (deadline->passed) return false;
    for (;;) {
        struct pollfd wait = {descriptor, POLLIN, 0};
        int ready = poll(&wait, 1, static_cast<int>(milliseconds_until(deadline->due)));
        if (ready > 0) return true;
        if (ready < 0 && errno == EINTR) continue;
        /* A failed poll is left to the read, which reports it. */
        if (ready < 0) return true;
        deadline->passed = true;
        return false;
    }
}
